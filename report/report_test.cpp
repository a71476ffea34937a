#include "report/report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "native/console.h"
#include "native/heap.h"
#include "tests/scripted_service.h"

namespace {

const char kHeader[] = "Address        List         Type       Process      VA \n";

struct Page {
  uint32_t pageNumber;
  uint32_t list;
  uint32_t use;
  uint32_t key;
  uint32_t virtualAddress;
  uint32_t word1Extra;  // bits the key must ignore
};

// A filled request with one entry per page, over one range that covers them.
struct Database {
  std::vector<uint32_t> request;  // 32-bit words, so entries are aligned
  std::vector<uint8_t> ranges;
  ProcessNameList names;
  uint32_t requestSize;

  explicit Database(const std::vector<Page>& pages, int32_t rangeCount = 1) {
    requestSize = static_cast<uint32_t>(96 + 16 * pages.size());
    request.assign(requestSize / 4, 0);
    PfnEntry* entries = PfnEntries(reinterpret_cast<PfnRequest*>(request.data()));
    for (size_t j = 0; j < pages.size(); ++j) {
      const Page& page = pages[j];
      entries[j].word0 = page.use | page.list << 4 | (page.key & 0x7FFFFF) << 9;
      entries[j].word1 = (page.key >> 23) | page.word1Extra;
      entries[j].pageFrameNumber = page.pageNumber;
      entries[j].virtualAddress = page.virtualAddress;
    }
    ranges = RangesAnswer(rangeCount, {{0, static_cast<uint32_t>(pages.size())}});
    ProcessNameListInit(&names);
  }
  ~Database() { ProcessNameListRelease(&names); }

  void AddName(uint32_t key, const std::string& name) {
    ProcessNameRecord* record =
        static_cast<ProcessNameRecord*>(RuntimeMalloc(sizeof(ProcessNameRecord), kHeapSiteOther));
    record->key = key;
    record->size = 0;
    memset(record->imageName, 0, sizeof(record->imageName));
    memcpy(record->imageName, name.data(), name.size() < 12 ? name.size() : 12);
    ProcessNameListAppend(&names, record);
  }

  std::string Print() {
    ConsoleCapture capture;
    EXPECT_EQ(PrintPfnDatabase(reinterpret_cast<const PfnRequest*>(request.data()), requestSize,
                               &names, reinterpret_cast<const MemoryRangeInfo*>(ranges.data())),
              0);
    return capture.Take();
  }
};

}  // namespace

TEST(PrintPfnDatabase, AProcessPrivatePageNamesItsOwner) {
  Database db({{0x1a3, 6, 0, 0x2c0, 0x7f0, 0}});
  db.AddName(0x2c0, "init");
  EXPECT_EQ(db.Print(), std::string(kHeader) +
                            "00000000001a3000 Active  list  Process Private  init  "
                            "00000000000007F0 \n");
}

TEST(PrintPfnDatabase, NamesAreCutToFifteenCharacters) {
  Database db({{1, 4, 1, 0, 0x10000, 0}, {2, 7, 5, 0, 0x82001000, 0}, {3, 0, 3, 0, 0, 0}});
  EXPECT_EQ(db.Print(), std::string(kHeader) +
                            "0000000000001000 Modified page l Mem mapped  0000000000010000 \n"
                            "0000000000002000 Transition list Non paged pool  0000000082001000 \n"
                            "0000000000003000 Zero list  Page tabke  0000000000000000 \n");
}

TEST(PrintPfnDatabase, UsesWithoutANameAreNoValueAndNeverLookedUp) {
  // Key bits that would match are set; use 13 must not look them up.
  Database db({{5, 2, 13, 0x2c0, 0xABC, 0}});
  db.AddName(0x2c0, "init");
  EXPECT_EQ(db.Print(),
            std::string(kHeader) + "0000000000005000 Standby list  No Value 0000000000000ABC \n");
}

TEST(PrintPfnDatabase, UnknownOwnerOrEmptyListPrintsNoName) {
  Database empty({{7, 6, 0, 0x2c0, 0x1000, 0}});
  EXPECT_EQ(
      empty.Print(),
      std::string(kHeader) + "0000000000007000 Active  list  Process Private  0000000000001000 \n");
  Database other({{7, 6, 0, 0x2c4, 0x1000, 0}});
  other.AddName(0x2c0, "init");
  EXPECT_EQ(other.Print(), empty.Print());
}

TEST(PrintPfnDatabase, EveryRecordWithTheKeyPrintsInListOrder) {
  Database db({{1, 6, 0, 0x5d4, 0x2000, 0}});
  db.AddName(0x5d4, "cmd.exe");
  db.AddName(0x100, "other");
  db.AddName(0x5d4, "conhost.exe");
  EXPECT_EQ(db.Print(), std::string(kHeader) +
                            "0000000000001000 Active  list  Process Private  cmd.exe  "
                            "conhost.exe  0000000000002000 \n");
}

TEST(PrintPfnDatabase, KeyTakesBit23FromWord1AndIgnoresItsHigherBits) {
  Database db({{1, 6, 0, 0x00800a3c, 0x3000, 0},
               {2, 6, 0, 0x00800a3c, 0x3000, 0xFFFFFE00},
               {3, 6, 0, 0x00000a3c, 0x3000, 0},
               {4, 6, 0, 0xFF000a3c, 0x3000, 0}});
  db.AddName(0x00800a3c, "wmiprvse.exe");
  db.AddName(0xFF000a3c, "high");
  std::string out = db.Print();
  EXPECT_NE(out.find("0000000000001000 Active  list  Process Private  wmiprvse.exe  "),
            std::string::npos);
  EXPECT_NE(out.find("0000000000002000 Active  list  Process Private  wmiprvse.exe  "),
            std::string::npos);
  EXPECT_NE(out.find("0000000000003000 Active  list  Process Private  0000"), std::string::npos);
  EXPECT_NE(out.find("0000000000004000 Active  list  Process Private  high  "), std::string::npos);
}

TEST(PrintPfnDatabase, AddressesAbove4GiBKeepTheirHighBits) {
  Database db({{0x100000, 6, 4, 0, 0xE1000000, 0}, {0xFFFFFFFF, 6, 4, 0, 0xFFFFF000, 0}});
  EXPECT_EQ(db.Print(), std::string(kHeader) +
                            "0000000100000000 Active  list  Paged Pool  00000000E1000000 \n"
                            "00000ffffffff000 Active  list  Paged Pool  00000000FFFFF000 \n");
}

TEST(PrintPfnDatabase, NameBytesPassThroughUnchanged) {
  Database db({{1, 6, 0, 9, 0, 0}});
  db.AddName(9, std::string("Caf\xE9Manager.exe"));
  EXPECT_EQ(db.Print(), std::string(kHeader) +
                            "0000000000001000 Active  list  Process Private  Caf\xE9Manager.  "
                            "0000000000000000 \n");
}

TEST(PrintPfnDatabase, PrintsOnlyWhatTheWalkWroteWithinTheRequest) {
  Database none({{1, 6, 4, 0, 0, 0}}, -1);
  EXPECT_EQ(none.Print(), kHeader);
  Database db({{1, 6, 4, 0, 0, 0}, {2, 6, 4, 0, 0, 0}});
  // A range promising more pages than the request holds.
  db.ranges = RangesAnswer(1, {{0, 1000}});
  EXPECT_EQ(db.Print(), std::string(kHeader) +
                            "0000000000001000 Active  list  Paged Pool  0000000000000000 \n"
                            "0000000000002000 Active  list  Paged Pool  0000000000000000 \n");
}

TEST(PrintPfnDatabase, ManyOwnersOfOnePageAllPrint) {
  // More names for one key than one buffer reservation holds.
  Database db({{1, 6, 0, 7, 0x4000, 0}, {2, 6, 0, 7, 0x5000, 0}});
  std::string names;
  for (int i = 0; i < 6000; ++i) {
    db.AddName(7, "p" + std::to_string(i));
    names += " p" + std::to_string(i) + " ";
  }
  EXPECT_EQ(db.Print(), std::string(kHeader) + "0000000000001000 Active  list  Process Private " +
                            names + " 0000000000004000 \n" +
                            "0000000000002000 Active  list  Process Private " + names +
                            " 0000000000005000 \n");
}

TEST(PrintPfnDatabase, EveryOwnerIsFoundAmongThousandsOfProcesses) {
  // So many keys, spread over all 32 bits, that some must share a slot of
  // the lookup table; each page must still get exactly its own owner.
  const uint32_t kProcesses = 20000;
  auto keyOf = [](uint32_t i) { return (i + 1) * 0x9E3779B1u ^ (i << 7); };
  std::vector<Page> pages;
  for (uint32_t i = 0; i < kProcesses; i += 7) pages.push_back({i + 1, 6, 0, keyOf(i), 0x1000, 0});
  pages.push_back({0xFFFF0, 6, 0, 0x12345677, 0x1000, 0});  // a key without a record
  pages.push_back({0xFFFF1, 6, 4, keyOf(7), 0x1000, 0});    // another use with a known key
  Database db(pages);
  for (uint32_t i = 0; i < kProcesses; ++i) db.AddName(keyOf(i), "n" + std::to_string(i));
  for (uint32_t i = 0; i < kProcesses; i += 1000) ASSERT_NE(keyOf(i), 0x12345677u);

  std::string out = db.Print();
  size_t at = out.find('\n') + 1;
  for (size_t j = 0; j < pages.size(); ++j) {
    size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "line " << j;
    std::string line = out.substr(at, end - at);
    at = end + 1;
    std::string names;
    if (j + 2 < pages.size()) names = " n" + std::to_string(7 * j) + " ";
    std::string fields =
        j + 1 == pages.size() ? "Active  list  Paged Pool " : "Active  list  Process Private ";
    EXPECT_EQ(line.substr(17, line.size() - 17 - 18), fields + names) << "line " << j;
  }
  EXPECT_EQ(at, out.size());
}

TEST(PrintPfnDatabase, LinesMeetingTheEndOfTheConsoleBufferStayInside) {
  // With this much buffered before it, the report's first span is the last
  // 64 KiB of the 1 MiB console buffer: a line overrunning its span would
  // write past the buffer. Owners with 6 to 12 names of varied lengths take
  // turns with short owners, so lines of every length meet the span's end.
  const size_t kBuffered = (1 << 20) - kConsoleMaxReserve - strlen(kHeader);
  for (uint32_t turn = 0; turn < 12; ++turn) {
    std::vector<Page> pages;
    for (uint32_t j = 0; j < 900; ++j)
      pages.push_back({j, 6, 0, j % 3 == 0 ? 0x10 : 0x100 + (j + turn) % 7, j << 12, 0});
    Database db(pages);
    db.AddName(0x10, "a");
    for (uint32_t key = 0x100; key < 0x107; ++key)
      for (uint32_t n = 0; n < 6 + key % 7; ++n)
        db.AddName(key, std::string(1 + (n * key) % 12, 'n'));
    const std::string expected = db.Print();
    for (bool index : {true, false}) {
      ConsoleCapture capture;
      ConsoleWrite(std::string(kBuffered, '.').data(), kBuffered);
      if (!index) SetHeapFailureHook([](HeapSite site) { return site == kHeapSiteNameIndex; });
      PrintPfnDatabase(reinterpret_cast<const PfnRequest*>(db.request.data()), db.requestSize,
                       &db.names, reinterpret_cast<const MemoryRangeInfo*>(db.ranges.data()));
      SetHeapFailureHook(nullptr);
      EXPECT_TRUE(capture.Take().substr(kBuffered) == expected) << "turn " << turn << index;
    }
  }
}

TEST(PrintPfnDatabase, LongOwnerListsAcrossBufferBoundaries) {
  // Owner names too long for one fixed-size copy, on enough lines that
  // some fall at the end of a buffer reservation, and past the console's
  // buffer, which the lines after them must not overrun.
  std::vector<Page> pages;
  for (uint32_t j = 0; j < 16000; ++j)
    pages.push_back({j, 6, j % 3 == 2 ? 4u : 0u, 0x40 + j % 2, j * 0x1000, 0});
  Database db(pages);
  db.AddName(0x40, "explorer.exe");
  db.AddName(0x40, "svchost.exe");
  db.AddName(0x40, "SearchIndexer");
  db.AddName(0x41, "a");
  std::string out = db.Print();
  const std::string longNames = " explorer.exe  svchost.exe  SearchIndexe ";
  size_t at = out.find('\n') + 1, lines = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    std::string line = out.substr(at, end - at);
    const uint32_t j = static_cast<uint32_t>(lines++);
    std::string names = j % 3 == 2 ? "" : j % 2 == 0 ? longNames : " a ";
    std::string fields =
        j % 3 == 2 ? "Active  list  Paged Pool " : "Active  list  Process Private ";
    ASSERT_EQ(line.size(), 17 + fields.size() + names.size() + 18) << "line " << j << ": " << line;
    EXPECT_EQ(line.substr(17, fields.size() + names.size()), fields + names) << "line " << j;
    at = end + 1;
  }
  EXPECT_EQ(lines, pages.size());
}
