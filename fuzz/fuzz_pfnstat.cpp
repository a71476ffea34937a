// Arbitrary bytes as one or two dumps through pfnstat's reader, tally and
// views. The reader is checked against a plain reimplementation that splits
// the whole text into lines at once; the tally against the pages read.
//
// Input, read front to back (fuzz_input.h: zeros past the end):
//   u8 piece     the most bytes one read of the source hands out (0: all)
//   u8 split     0: the rest is one dump; otherwise the rest is DUMP up to
//                its first byte 0x00 and AFTER after it
//   bytes        the dump text(s)
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
  std::vector<std::string> pages;  // each page line as parsed, in order
  DumpError error = kDumpNoError;
  uint64_t errorLine = 0;
  uint64_t cutShortLine = 0;
};

// What the reader must make of text, worked out the slow way.
Expected Reference(const std::string& text) {
  Expected expected;
  bool inTable = false;
  uint64_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t newline = text.find('\n', start);
    const bool ended = newline != std::string::npos;
    std::string line = text.substr(start, ended ? newline - start : std::string::npos);
    start = ended ? newline + 1 : text.size();
    ++number;
    if (line.size() >= kDumpMaxLine) return expected;  // not what fuzz inputs hold
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!ended) {
      if (inTable) expected.cutShortLine = number;
      break;
    }
    if (!inTable) {
      inTable = line == kDumpHeader;
      continue;
    }
    PageLine page;
    if (ParsePageLine(line.data(), line.size(), &page) != 0) {
      expected.error = kDumpNotPageLine;
      expected.errorLine = number;
      return expected;
    }
    expected.pages.push_back(line);
  }
  if (!inTable) expected.error = kDumpNoTable;
  return expected;
}

std::string Describe(uint64_t address, unsigned list, unsigned use, int hasOwner,
                     const std::string& owner) {
  char head[64];
  snprintf(head, sizeof(head), "%016llx %u %u %d ", static_cast<unsigned long long>(address), list,
           use, hasOwner);
  return head + owner;
}

std::string Describe(const PageLine& page) {
  return Describe(page.address, page.list, page.use, page.hasOwner,
                  std::string(page.owner, page.ownerLength));
}

// A page as the tally got it: its owner is the text of its row.
std::string Describe(const StatTally& tally, const TallyPage& page) {
  const OwnerRow& row = tally.owners[page.row];
  const int hasOwner = page.use == 0 && row.text != kNoOwner;
  return Describe(page.address, page.list, page.use, hasOwner,
                  hasOwner ? std::string(row.text, row.length) : std::string());
}

// The pages of the dump reader, each checked against the reference's.
struct CheckedPages {
  DumpReader* reader;
  const std::vector<std::string>* described;
  size_t count;
};

int NextCheckedPages(void* source, StatTally* tally, TallyPage* pages, size_t room, size_t* got) {
  CheckedPages* checked = static_cast<CheckedPages*>(source);
  const int result = NextDumpPages(checked->reader, tally, pages, room, got);
  for (size_t i = 0; result > 0 && i < *got; ++i) {
    const TallyPage& page = pages[i];
    FUZZ_REQUIRE(page.address % 4096 == 0 && page.list < kListCount && page.use < kUseCount);
    FUZZ_REQUIRE(checked->count < checked->described->size() &&
                 Describe(*tally, page) == (*checked->described)[checked->count]);
    ++checked->count;
  }
  return result;
}

void ReadOne(const std::string& text, size_t piece, StatTally* tally, int dump,
             uint64_t* pagesRead) {
  Expected expected = Reference(text);
  std::vector<std::string> described;
  for (const std::string& line : expected.pages) {
    PageLine page;
    ParsePageLine(line.data(), line.size(), &page);
    described.push_back(Describe(page));
  }

  MemorySource source = {text.data(), text.size(), 0, piece, 0};
  // One buffer for every run: a fresh megabyte each time is most of the cost.
  static DumpReader reader;
  static const int made = DumpReaderInit(&reader, ReadFromMemory, &source);
  FUZZ_REQUIRE(made == 0);
  DumpReaderRestart(&reader, ReadFromMemory, &source);
  CheckedPages checked = {&reader, &described, 0};
  int mapFull = 0;
  const int next = FeedTally(NextCheckedPages, &checked, tally, dump, nullptr, &mapFull);
  const size_t count = checked.count;
  FUZZ_REQUIRE(count == described.size());
  FUZZ_REQUIRE(reader.error == expected.error && reader.errorLine == expected.errorLine);
  FUZZ_REQUIRE(next == (expected.error == kDumpNoError ? 0 : -1));
  FUZZ_REQUIRE(reader.cutShortLine == expected.cutShortLine);
  PageLine page;
  FUZZ_REQUIRE(DumpReaderNext(&reader, &page) == next);
  *pagesRead = count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in;
  FuzzInputStart(&in, data, size);
  const size_t piece = TakeU8(&in);
  const bool two = TakeU8(&in) != 0;
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

  static FILE* sink = fopen("/dev/null", "w");
  ViewSource source = {&tally, change, "a", change ? "b" : nullptr};
  FUZZ_REQUIRE(PrintViews(source, sink) == 0);
  for (StatView view : {kViewUses, kViewProcesses, kViewRanges}) {
    FUZZ_REQUIRE(WriteViewCsv(source, view, sink) == 0);
  }
  return 0;
}
