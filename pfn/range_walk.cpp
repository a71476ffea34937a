#include "pfn/pfn.h"

void RangeWalkStart(RangeWalk* walk, const MemoryRangeInfo* info) {
  walk->info = info;
  walk->nextRange = 0;
}

bool RangeWalkNextRun(RangeWalk* walk, uint32_t* firstPage, uint32_t* pageCount) {
  const PhysicalRange* ranges = MemoryRanges(walk->info);
  while (walk->nextRange < walk->info->rangeCount) {
    const PhysicalRange& range = ranges[walk->nextRange++];
    if (range.pageCount == 0) continue;
    // Page numbers are 32-bit; a range never wraps back to page 0.
    uint64_t room = (uint64_t{1} << 32) - range.firstPage;
    *firstPage = range.firstPage;
    *pageCount = range.pageCount < room ? range.pageCount : static_cast<uint32_t>(room);
    return true;
  }
  return false;
}

uint64_t RangeWalkPageCount(const MemoryRangeInfo* info) {
  RangeWalk walk;
  RangeWalkStart(&walk, info);
  uint64_t total = 0;
  uint32_t first, count;
  while (RangeWalkNextRun(&walk, &first, &count)) total += count;
  return total;
}

uint32_t PfnRequestEntriesFor(const MemoryRangeInfo* ranges, uint32_t requestSize) {
  uint64_t pages = RangeWalkPageCount(ranges);
  uint32_t capacity = PfnRequestCapacity(requestSize);
  return pages < capacity ? static_cast<uint32_t>(pages) : capacity;
}
