#include "stat/feed.h"

namespace {

// Pages handed over at a time: small enough to stay in the first-level
// cache, large enough that the source's call costs nothing per page.
const size_t kBatch = 256;

}  // namespace

int FeedTally(PageBatchFn next, void* source, StatTally* tally, int dump, PageMap* map,
              int* mapFull) {
  TallyStartDump(tally);
  TallyPage pages[kBatch];
  size_t got = 0;
  int result;
  while ((result = next(source, tally, pages, kBatch, &got)) > 0) {
    TallyAddPages(tally, dump, pages, got);
    if (map == nullptr) continue;
    for (size_t i = 0; i < got; ++i)
      *mapFull |= PageMapAdd(map, pages[i].address >> 12, pages[i].use);
  }
  TallyEndDump(tally);
  return result;
}

int NextDumpPages(void* reader, StatTally* tally, TallyPage* pages, size_t room, size_t* got) {
  DumpReader* from = static_cast<DumpReader*>(reader);
  PageLine line;
  size_t n = 0;
  int result = 1;
  while (n < room && (result = DumpReaderNext(from, &line)) > 0) {
    TallyPageOfLine(tally, line, &pages[n++]);
  }
  *got = n;
  // The reader keeps its end or failure for the next call.
  return n > 0 ? 1 : result;
}
