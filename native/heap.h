// The two heaps of the program: the C runtime heap and the process heap.
// Each block goes back to the heap that made it.
#ifndef PFNDB_NATIVE_HEAP_H_
#define PFNDB_NATIVE_HEAP_H_

#include <cstddef>
#include <cstdint>

// Who asks for a block; lets a test make one particular allocation fail.
enum HeapSite {
  kHeapSiteMemoryRanges,
  kHeapSitePfnRequest,
  kHeapSitePrivateSources,
  kHeapSiteNameRecord,
  kHeapSiteNameIndex,  // the report's lookup of names by key
  kHeapSiteOther,
};

// Runtime heap. RuntimeCalloc zeroes the block. Both return null on failure.
void* RuntimeCalloc(size_t bytes, HeapSite site);
void* RuntimeMalloc(size_t bytes, HeapSite site);
// Accepts null.
void RuntimeFree(void* block);

// Process heap; the block comes back zeroed, or null on failure.
void* ProcessHeapAlloc(size_t bytes, HeapSite site);
// Accepts null.
void ProcessHeapFree(void* block);

// When set, every allocation first asks the hook, and fails when it answers
// true. Null (the default) never fails on purpose.
typedef bool (*HeapFailureHook)(HeapSite site);
void SetHeapFailureHook(HeapFailureHook hook);

// Requests of either heap that were answered with null, whether the heap
// ran out or the hook refused them: a caller whose step failed tells by it
// that memory was the reason.
uint64_t HeapFailedRequests();

// Blocks handed out and not yet released: the runtime heap's count plus 2^32
// times the process heap's, so that a block released to the wrong heap
// changes it as a leak does.
int64_t HeapLiveBlocks();

// The platform's process heap (heap_win32.cpp, heap_posix.cpp).
void* PlatformProcessHeapAlloc(size_t bytes);
void PlatformProcessHeapFree(void* block);

#endif  // PFNDB_NATIVE_HEAP_H_
