// The report's lines in the 64-bit format: all 16 digits of both addresses,
// and owner keys of 48 bits, by process id or by process pointer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "native/heap.h"
#include "report/report.h"
#include "tests/scripted_service.h"

static_assert(Format::kBits == 64, "built for the 64-bit format");

namespace {

void AddName(ProcessNameList* names, uint64_t key, const char* name) {
  ProcessNameRecord* record =
      static_cast<ProcessNameRecord*>(RuntimeMalloc(sizeof(ProcessNameRecord), kHeapSiteOther));
  memset(record, 0, sizeof(*record));
  record->key = key;
  memcpy(record->imageName, name, strlen(name));
  ProcessNameListAppend(names, record);
}

}  // namespace

TEST(PrintPfnDatabase64, SixteenDigitAddressesAnd48BitKeys) {
  struct Page {
    uint64_t word;
    uint64_t pageNumber;
    uint64_t virtualAddress;
    const char* line;
  } pages[] = {
      // A pointer key; bits above 56 are other state and never part of it.
      {0x60 | 0xA00000001040ull << 9 | 0x7Full << 57, 0x123456789, 0xFFFFF80012345678,
       "0000123456789000 Active  list  Process Private  init  FFFFF80012345678 \n"},
      // A process id that two records share; both print, in list order.
      {0x20 | 0x2c0ull << 9, 0x1a3, 0x00007FF6ABCDE000,
       "00000000001a3000 Standby list  Process Private  cmd.exe  conhost.exe  00007FF6ABCDE000 \n"},
      // No name for use 13; the key bits of another use name nobody.
      {0x4D | 0x2c0ull << 9, 0xFFFFFFFFFF, 0,
       "000ffffffffff000 Modified page l No Value 0000000000000000 \n"},
      // A key that differs from a known one in its bit 47 only is another.
      {0x60 | (0xA00000001040ull ^ 1ull << 47) << 9, 7, 0xAB,
       "0000000000007000 Active  list  Process Private  00000000000000AB \n"},
  };
  const size_t count = sizeof(pages) / sizeof(pages[0]);
  std::vector<uint64_t> request((sizeof(PfnRequest) + count * sizeof(PfnEntry)) / 8, 0);
  PfnEntry* entries = PfnEntries(reinterpret_cast<PfnRequest*>(request.data()));
  std::string expected = "Address        List         Type       Process      VA \n";
  for (size_t j = 0; j < count; ++j) {
    entries[j].word = pages[j].word;
    entries[j].pageFrameNumber = pages[j].pageNumber;
    entries[j].virtualAddress = pages[j].virtualAddress;
    expected += pages[j].line;
  }
  std::vector<uint64_t> ranges(3, 0);
  MemoryRangeInfo* info = reinterpret_cast<MemoryRangeInfo*>(ranges.data());
  info->rangeCount = 1;
  MemoryRanges(info)->pageCount = count;
  ProcessNameList names;
  ProcessNameListInit(&names);
  AddName(&names, 0xA00000001040ull, "init");
  AddName(&names, 0x2c0, "cmd.exe");
  AddName(&names, 0x2c0, "conhost.exe");
  for (bool plain : {false, true}) {
    ForcePlainReportDigits(plain);
    ConsoleCapture capture;
    EXPECT_EQ(PrintPfnDatabase(reinterpret_cast<const PfnRequest*>(request.data()),
                               static_cast<uint32_t>(request.size() * 8), &names, info),
              0);
    EXPECT_EQ(capture.Take(), expected) << (plain ? "plain digits" : "SSE2 digits");
  }
  ForcePlainReportDigits(false);
  ProcessNameListRelease(&names);
}
