#include <cstdlib>

#include "native/heap.h"

// The host has one allocator; calloc gives the process heap's zeroed blocks.
void* PlatformProcessHeapAlloc(size_t bytes) { return calloc(bytes, 1); }

void PlatformProcessHeapFree(void* block) { free(block); }
