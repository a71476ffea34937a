#include <windows.h>

#include "native/heap.h"

void* PlatformProcessHeapAlloc(size_t bytes) {
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
}

void PlatformProcessHeapFree(void* block) { HeapFree(GetProcessHeap(), 0, block); }
