#include "native/heap.h"

#include <cstdlib>

namespace {

HeapFailureHook g_failureHook = nullptr;
int64_t g_liveBlocks = 0;

bool FailOnPurpose(HeapSite site) {
  return g_failureHook != nullptr && g_failureHook(site);
}

void* Count(void* block) {
  if (block != nullptr) ++g_liveBlocks;
  return block;
}

}  // namespace

void* RuntimeCalloc(size_t bytes, HeapSite site) {
  if (FailOnPurpose(site)) return nullptr;
  // A zero-byte request still yields a block of its own, as on Windows.
  return Count(calloc(bytes == 0 ? 1 : bytes, 1));
}

void* RuntimeMalloc(size_t bytes, HeapSite site) {
  if (FailOnPurpose(site)) return nullptr;
  return Count(malloc(bytes == 0 ? 1 : bytes));
}

void RuntimeFree(void* block) {
  if (block == nullptr) return;
  --g_liveBlocks;
  free(block);
}

void* ProcessHeapAlloc(size_t bytes, HeapSite site) {
  if (FailOnPurpose(site)) return nullptr;
  return Count(PlatformProcessHeapAlloc(bytes == 0 ? 1 : bytes));
}

void ProcessHeapFree(void* block) {
  if (block == nullptr) return;
  --g_liveBlocks;
  PlatformProcessHeapFree(block);
}

void SetHeapFailureHook(HeapFailureHook hook) { g_failureHook = hook; }

int64_t HeapLiveBlocks() { return g_liveBlocks; }
