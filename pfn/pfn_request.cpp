#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

int SetUpPfnDatabase(uint32_t requestSize, const MemoryRangeInfo* ranges, PfnRequest** request) {
  *request = nullptr;
  if (requestSize < sizeof(PfnRequest)) return -1;
  PfnRequest* built = static_cast<PfnRequest*>(ProcessHeapAlloc(requestSize, kHeapSitePfnRequest));
  if (built == nullptr) {
    ConsoleWPrintf(L"Memory allocation failed from heap\n");
    return -1;
  }
  built->version = 1;
  built->requestFlags = 1;

  // Overlapping ranges, or ranges past the highest page, could name more
  // pages than there are entries; the rest are left out.
  PfnEntry* entries = PfnEntries(built);
  const uint32_t capacity = PfnRequestCapacity(requestSize);
  uint32_t written = 0;
  RangeWalk walk;
  RangeWalkStart(&walk, ranges);
  uint32_t page, count;
  while (written < capacity && RangeWalkNextRun(&walk, &page, &count)) {
    uint32_t take = capacity - written < count ? capacity - written : count;
    for (uint32_t i = 0; i < take; ++i) entries[written++].pageFrameNumber = page + i;
  }
  built->entryCount = written;

  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchPfnQuery, built, requestSize);
  uint32_t returnLength = 0;
  QueryStatus status = QuerySuperfetch(&envelope, &returnLength);
  if (status != kStatusSuccess) {
    ConsoleWPrintf(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
    ConsolePrintf("NativeQuerySuperFecthInformation get pfn database failed\n");
    ProcessHeapFree(built);
    return -1;
  }
  *request = built;
  return 0;
}
