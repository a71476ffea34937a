// Arbitrary bytes as one or two dumps through pfnstat's reader, tally and
// views. The reader is checked against a plain reimplementation that splits
// the whole text into lines at once; the tally against the pages read.
//
// Input, read front to back (fuzz_input.h: zeros past the end):
//   u8 piece     the most bytes one read of the source hands out (0: all)
//   u8 mode      bit 0: 0, the rest is one dump; 1, the rest is DUMP up
//                to its first byte 0x00 and AFTER after it
//                bits 1-7, modulo 5: the view printed of the tally: 0
//                none, 1 the tables, 2 to 4 the CSV of the uses,
//                processes or ranges
//   bytes        the dump text(s)
#include <stdio_ext.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "stat/dump_reader.h"
#include "stat/feed.h"
#include "stat/memory_source.h"
#include "stat/tally.h"
#include "stat/views.h"

namespace {

struct Expected {
  std::vector<PageLine> pages;  // each page line as parsed, in order; the
                                // owners point into the text
  DumpError error = kDumpNoError;
  uint64_t errorLine = 0;
  uint64_t cutShortLine = 0;
};

// What the reader must make of text, worked out the slow way, into
// *expected, whose blocks are kept from run to run.
void Reference(const std::string& text, Expected* expected) {
  expected->pages.clear();
  expected->error = kDumpNoError;
  expected->errorLine = 0;
  expected->cutShortLine = 0;
  bool inTable = false;
  uint64_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    const bool ended = newline != std::string::npos;
    const char* line = text.data() + start;
    size_t length = (ended ? newline : text.size()) - start;
    start = ended ? newline + 1 : text.size();
    ++number;
    if (length >= kDumpMaxLine) return;  // not what fuzz inputs hold
    if (length > 0 && line[length - 1] == '\r') --length;
    if (!ended) {
      if (inTable) expected->cutShortLine = number;
      break;
    }
    if (!inTable) {
      inTable = length == strlen(kDumpHeader) && memcmp(line, kDumpHeader, length) == 0;
      continue;
    }
    PageLine page;
    if (ParsePageLine(line, length, &page) != 0) {
      expected->error = kDumpNotPageLine;
      expected->errorLine = number;
      return;
    }
    expected->pages.push_back(page);
  }
  if (!inTable) expected->error = kDumpNoTable;
}

// Whether the tally got page as the reference parsed it: its owner is the
// text of its row.
bool SamePage(const StatTally& tally, const TallyPage& page, const PageLine& parsed) {
  const OwnerRow& row = tally.owners[page.row];
  const int hasOwner = page.use == 0 && row.text != kNoOwner;
  return page.address == parsed.address && page.list == parsed.list && page.use == parsed.use &&
         hasOwner == parsed.hasOwner &&
         (!hasOwner ||
          (row.length == parsed.ownerLength && memcmp(row.text, parsed.owner, row.length) == 0));
}

// The pages of the dump reader, each checked against the reference's.
struct CheckedPages {
  DumpReader* reader;
  const std::vector<PageLine>* expected;
  size_t count;
};

int NextCheckedPages(void* source, StatTally* tally, TallyPage* pages, size_t room, size_t* got) {
  CheckedPages* checked = static_cast<CheckedPages*>(source);
  const int result = NextDumpPages(checked->reader, tally, pages, room, got);
  for (size_t i = 0; result > 0 && i < *got; ++i) {
    const TallyPage& page = pages[i];
    FUZZ_REQUIRE(page.address % 4096 == 0 && page.list < kListCount && page.use < kUseCount);
    FUZZ_REQUIRE(checked->count < checked->expected->size() &&
                 SamePage(*tally, page, (*checked->expected)[checked->count]));
    ++checked->count;
  }
  return result;
}

void ReadOne(const std::string& text, size_t piece, StatTally* tally, int dump,
             uint64_t* pagesRead) {
  static Expected expected;
  Reference(text, &expected);

  MemorySource source = {text.data(), text.size(), 0, piece, 0};
  // One buffer for every run: a fresh megabyte each time is most of the cost.
  static DumpReader reader;
  static const int made = DumpReaderInit(&reader, ReadFromMemory, &source);
  FUZZ_REQUIRE(made == 0);
  DumpReaderRestart(&reader, ReadFromMemory, &source);
  CheckedPages checked = {&reader, &expected.pages, 0};
  int mapFull = 0;
  const int next = FeedTally(NextCheckedPages, &checked, tally, dump, nullptr, &mapFull);
  const size_t count = checked.count;
  FUZZ_REQUIRE(count == expected.pages.size());
  FUZZ_REQUIRE(reader.error == expected.error && reader.errorLine == expected.errorLine);
  FUZZ_REQUIRE(next == (expected.error == kDumpNoError ? 0 : -1));
  FUZZ_REQUIRE(reader.cutShortLine == expected.cutShortLine);
  PageLine page;
  FUZZ_REQUIRE(DumpReaderNext(&reader, &page) == next);
  *pagesRead = count;
}

// Where the views go. Only this thread writes to it, so its calls need not
// take the stream's lock: the views' padding is a call a character.
FILE* OpenSink() {
  FILE* sink = fopen("/dev/null", "w");
  FUZZ_REQUIRE(sink != nullptr);
  __fsetlocking(sink, FSETLOCKING_BYCALLER);
  return sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in;
  FuzzInputStart(&in, data, size);
  const size_t piece = TakeU8(&in);
  const uint8_t mode = TakeU8(&in);
  const bool two = (mode & 1) != 0;
  const std::string rest(reinterpret_cast<const char*>(data) + in.position,
                         size - (in.position < size ? in.position : size));
  const size_t split = two ? rest.find('\0') : std::string::npos;
  const bool change = split != std::string::npos;
  const std::string texts[2] = {rest.substr(0, split),
                                change ? rest.substr(split + 1) : std::string()};

  // Made once: its blocks are large, and every run clears what it used.
  static StatTally tally;
  static const int made = TallyInit(&tally);
  FUZZ_REQUIRE(made == 0);
  TallyClear(&tally);
  uint64_t pages[2] = {0, 0};
  for (int dump = 0; dump < (change ? 2 : 1); ++dump) {
    ReadOne(texts[dump], piece, &tally, dump, &pages[dump]);
  }

  for (int dump = 0; dump < 2; ++dump) {
    uint64_t used = 0, owned = 0, privatePages = 0;
    for (unsigned list = 0; list < kListCount; ++list) {
      for (unsigned use = 0; use < kUseCount; ++use) used += tally.uses[dump][use][list];
      privatePages += tally.uses[dump][0][list];
      for (uint32_t row = 0; row < tally.ownerCount; ++row) {
        owned += tally.owners[row].pages[dump][list];
      }
    }
    FUZZ_REQUIRE(used == pages[dump] && owned == privatePages);
  }
  uint64_t ranged = tally.pagesLeftOut;
  for (size_t i = 0; i < tally.rangeCount; ++i) {
    FUZZ_REQUIRE(tally.ranges[i].end - tally.ranges[i].start >= 4096);
    ranged += (tally.ranges[i].end - tally.ranges[i].start) >> 12;
  }
  FUZZ_REQUIRE(ranged == pages[change ? 1 : 0]);

  // At most one view a run, as the input asks: formatting every view's
  // figures took three quarters of each run (7 k inputs/s a processor
  // second against 27 k without the views), and the tables alone two thirds.
  static FILE* sink = OpenSink();
  ViewSource source = {&tally, change, "a", change ? "b" : nullptr};
  const StatView csv[] = {kViewUses, kViewProcesses, kViewRanges};
  const unsigned view = (mode >> 1) % 5;
  if (view == 1) FUZZ_REQUIRE(PrintViews(source, sink) == 0);
  if (view >= 2) FUZZ_REQUIRE(WriteViewCsv(source, csv[view - 2], sink) == 0);
  return 0;
}
