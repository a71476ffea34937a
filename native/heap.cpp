#include "native/heap.h"

#include <cstdlib>

namespace {

HeapFailureHook g_failureHook = nullptr;
// Each heap counts its own blocks: on the host both heaps are the C
// library's, and a block released to the wrong one would otherwise pass.
int64_t g_runtimeBlocks = 0;
int64_t g_processBlocks = 0;
uint64_t g_failedRequests = 0;

bool FailOnPurpose(HeapSite site) {
  const bool fail = g_failureHook != nullptr && g_failureHook(site);
  g_failedRequests += fail;
  return fail;
}

void* Count(void* block, int64_t* blocks) {
  if (block != nullptr) ++*blocks;
  g_failedRequests += block == nullptr;
  return block;
}

}  // namespace

void* RuntimeCalloc(size_t bytes, HeapSite site) {
  if (FailOnPurpose(site)) return nullptr;
  // A zero-byte request still yields a block of its own, as on Windows.
  return Count(calloc(bytes == 0 ? 1 : bytes, 1), &g_runtimeBlocks);
}

void* RuntimeMalloc(size_t bytes, HeapSite site) {
  if (FailOnPurpose(site)) return nullptr;
  return Count(malloc(bytes == 0 ? 1 : bytes), &g_runtimeBlocks);
}

void RuntimeFree(void* block) {
  if (block == nullptr) return;
  --g_runtimeBlocks;
  free(block);
}

void* ProcessHeapAlloc(size_t bytes, HeapSite site) {
  if (FailOnPurpose(site)) return nullptr;
  return Count(PlatformProcessHeapAlloc(bytes == 0 ? 1 : bytes), &g_processBlocks);
}

void ProcessHeapFree(void* block) {
  if (block == nullptr) return;
  --g_processBlocks;
  PlatformProcessHeapFree(block);
}

void SetHeapFailureHook(HeapFailureHook hook) { g_failureHook = hook; }

uint64_t HeapFailedRequests() { return g_failedRequests; }

int64_t HeapLiveBlocks() { return g_runtimeBlocks + (g_processBlocks << 32); }
