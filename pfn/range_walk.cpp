#include "pfn/pfn.h"

void RangeWalkStart(RangeWalk* walk, const MemoryRangeInfo* info) {
  walk->info = info;
  walk->nextRange = 0;
}

bool RangeWalkNextRun(RangeWalk* walk, PageNumber* firstPage, PageNumber* pageCount) {
  const PhysicalRange* ranges = MemoryRanges(walk->info);
  while (walk->nextRange < walk->info->rangeCount) {
    const PhysicalRange& range = ranges[walk->nextRange++];
    if (range.pageCount == 0) continue;
    // A range never wraps back to page 0.
    const PageNumber room = static_cast<PageNumber>(~range.firstPage);  // pages after the first
    *firstPage = range.firstPage;
    *pageCount = range.pageCount - 1 <= room ? range.pageCount : room + 1;
    return true;
  }
  return false;
}

uint64_t RangeWalkPageCount(const MemoryRangeInfo* info) {
  RangeWalk walk;
  RangeWalkStart(&walk, info);
  uint64_t total = 0;
  PageNumber first, count;
  while (RangeWalkNextRun(&walk, &first, &count)) total += count;
  return total;
}

uint64_t PfnRequestEntriesFor(const MemoryRangeInfo* ranges, PfnRequestSize requestSize) {
  const uint64_t pages = RangeWalkPageCount(ranges);
  const uint64_t capacity = PfnRequestCapacity(requestSize);
  return pages < capacity ? pages : capacity;
}
