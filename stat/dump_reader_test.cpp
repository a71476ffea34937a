#include "stat/dump_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stat/memory_source.h"

namespace {

const std::string kHeader = std::string(kDumpHeader) + "\n";

int Parse(const std::string& line, PageLine* page) {
  return ParsePageLine(line.data(), line.size(), page);
}

TEST(ParsePageLine, EveryListUseAndOwnerForm) {
  struct Case {
    std::string line;
    uint64_t address;
    unsigned list, use;
    int hasOwner;
    std::string owner;
  };
  const Case cases[] = {
      {"0000000000001000 Zero list  Kernel Locked  0000000000000000 ", 0x1000, 0, 10, 0, ""},
      {"0000000000002000 Free list  No Value 0000000000000000 ", 0x2000, 1, 12, 0, ""},
      {"0000000000003000 Standby list  Page tabke  00000000C0300000 ", 0x3000, 2, 3, 0, ""},
      {"0000000000004000 Modified list  Paged Pool  00000000E1000000 ", 0x4000, 3, 4, 0, ""},
      {"0000000000005000 Modified page l Session private  0000000000000000 ", 0x5000, 4, 7, 0, ""},
      {"0000000000006000 Bad pagelist  AWE  0000000000000000 ", 0x6000, 5, 9, 0, ""},
      {"000000010000a000 Active  list  Process Private  cmd.exe  conhost.exe  0000000000401000 ",
       0x10000a000, 6, 0, 1, "cmd.exe  conhost.exe"},
      {"fffffffffffff000 Transition list Process Private  0000000077000000 ", 0xfffffffffffff000, 7,
       0, 0, ""},
      {"0000000000007000 Active  list  Process Private  Caf\xE9 Man  0000000000401000 ", 0x7000, 6,
       0, 1, "Caf\xE9 Man"},
      {"0000000000008000 Active  list  Process Private    0000000000401000 ", 0x8000, 6, 0, 1, ""},
      // Hex digits of either case, every letter.
      {"FEDCBA9876543000 Zero list  AWE  0000ABCDEFabcdef ", 0xFEDCBA9876543000, 0, 9, 0, ""},
  };
  for (const Case& c : cases) {
    PageLine page;
    ASSERT_EQ(Parse(c.line, &page), 0) << c.line;
    EXPECT_EQ(page.address, c.address) << c.line;
    EXPECT_EQ(page.list, c.list) << c.line;
    EXPECT_EQ(page.use, c.use) << c.line;
    EXPECT_EQ(page.hasOwner, c.hasOwner) << c.line;
    EXPECT_EQ(std::string(page.owner, page.ownerLength), c.owner) << c.line;
  }
}

TEST(ParsePageLine, RefusesWhatThePrinterNeverWrites) {
  const char* const lines[] = {
      "0000000000001000 Zero list  Mem mapped  a.exe  0000000000000000 ",      // names, not private
      "0000000000001000 Zero list  Process Private  a.exe 0000000000000000 ",  // one space
      "0000000000001000 Zero list  Process Private   0000000000000000 ",       // a lone space
      "0000000000001000 Zero list  Kernel Locked  0000000000000000",           // no closing space
      "0000000000001800 Zero list  Kernel Locked  0000000000000000 ",          // not a page
      "000000000000100g Zero list  Kernel Locked  0000000000000000 ",
      "g000000000001000 Zero list  Kernel Locked  0000000000000000 ",
      "0000000000001000 Zero list  Kernel Locked  00000000x0000000 ",
      "0000000000001000 Zero list  Kernel Locked  000000000000000G ",
      "0000000000001000 Modified page list  AWE  0000000000000000 ",  // name not cut
      "0000000000001000 Zero list Kernel Locked  0000000000000000 ",
      "0000000000001000 Zero list  Kernel locked  0000000000000000 ",
      "0000000000001000 Zero list  0000000000000000 ",
      "000000000001000 Zero list  AWE  0000000000000000 ",
      "",
  };
  for (const char* line : lines) {
    PageLine page;
    EXPECT_EQ(Parse(line, &page), -1) << line;
  }
}

struct Outcome {
  std::vector<uint64_t> addresses;
  std::vector<std::string> owners;
  int last;  // 0 or -1
  DumpError error;
  uint64_t errorLine;
  uint64_t cutShortLine;
};

Outcome ReadAll(const std::string& text, size_t piece, int failAtEnd = 0) {
  MemorySource source = {text.data(), text.size(), 0, piece, failAtEnd};
  DumpReader reader;
  EXPECT_EQ(DumpReaderInit(&reader, ReadFromMemory, &source), 0);
  Outcome outcome;
  PageLine page;
  while ((outcome.last = DumpReaderNext(&reader, &page)) == 1) {
    outcome.addresses.push_back(page.address);
    outcome.owners.push_back(std::string(page.owner, page.ownerLength));
  }
  EXPECT_EQ(DumpReaderNext(&reader, &page), outcome.last);
  outcome.error = reader.error;
  outcome.errorLine = reader.errorLine;
  outcome.cutShortLine = reader.cutShortLine;
  DumpReaderFree(&reader);
  return outcome;
}

const std::string kPreamble =
    "pfndb  Copyright (C) 2026 The pfndb authors \nClient ID 4 Name: System \nsize ac\n";
const std::string kLine1 = "0000000000001000 Free list  Kernel Locked  0000000000000000 ";
const std::string kLine2 = "0000000000002000 Active  list  No Value 0000000000000000 ";

TEST(DumpReader, TakesTheTableInAnyPiecesWithEitherLineEnd) {
  for (size_t piece : {1, 2, 7, 0}) {
    Outcome lf = ReadAll(kPreamble + kHeader + kLine1 + "\n" + kLine2 + "\n", piece);
    EXPECT_EQ(lf.last, 0);
    EXPECT_EQ(lf.addresses, (std::vector<uint64_t>{0x1000, 0x2000}));
    EXPECT_EQ(lf.cutShortLine, 0u);
    Outcome crlf = ReadAll(
        "a\r\n" + std::string(kDumpHeader) + "\r\n" + kLine1 + "\r\n" + kLine2 + "\r\n", piece);
    EXPECT_EQ(crlf.last, 0);
    EXPECT_EQ(crlf.addresses, lf.addresses);
  }
  // Only the header: an empty table. A page line before it is not the table's.
  EXPECT_EQ(ReadAll(kHeader, 0).last, 0);
  EXPECT_EQ(ReadAll(kLine2 + "\n" + kHeader + kLine1 + "\n", 0).addresses,
            std::vector<uint64_t>{0x1000});
}

// Lines of every length from 54 to 113 bytes, with either line end: most are
// found in one sweep of the bytes after their start, the longest and the last
// few of the buffer line by line, and a bad line the sweep finds stops the
// table.
TEST(DumpReader, TakesLinesOfEveryLengthWhereTheyLie) {
  for (const std::string end : {"\n", "\r\n"}) {
    std::string text = kHeader;
    Outcome expected;
    for (size_t n = 1; n <= 45; ++n) {
      char address[18];
      snprintf(address, sizeof(address), "%016zx ", n << 13);
      const std::string owner(n, static_cast<char>('a' + n % 26));
      text += address + std::string("Active  list  Process Private  ") + owner +
              "  0000000000401000 " + end + address + "Bad pagelist  AWE  00000000C0000000 " + end;
      expected.addresses.insert(expected.addresses.end(), {n << 13, n << 13});
      expected.owners.insert(expected.owners.end(), {owner, ""});
    }
    const Outcome all = ReadAll(text, 0);
    EXPECT_EQ(all.last, 0);
    EXPECT_EQ(all.addresses, expected.addresses);
    EXPECT_EQ(all.owners, expected.owners);
    const std::string bad = kLine1.substr(0, 40) + "x" + kLine1.substr(41);
    const Outcome stopped = ReadAll(text + bad + end + text.substr(kHeader.size()), 0);
    EXPECT_EQ(stopped.error, kDumpNotPageLine);
    EXPECT_EQ(stopped.errorLine, 92u);
    EXPECT_EQ(stopped.owners, expected.owners);
  }
}

TEST(DumpReader, SaysWhatIsWrongAndWhere) {
  Outcome cut = ReadAll(kPreamble + kHeader + kLine1 + "\n" + kLine2.substr(0, 30), 3);
  EXPECT_EQ(cut.last, 0);
  EXPECT_EQ(cut.addresses, std::vector<uint64_t>{0x1000});
  EXPECT_EQ(cut.cutShortLine, 6u);
  // A whole line without its line end is cut short all the same.
  EXPECT_EQ(ReadAll(kHeader + kLine1, 0).cutShortLine, 2u);

  Outcome bad = ReadAll(kPreamble + kHeader + kLine1 + "\nfailed\n" + kLine2 + "\n", 0);
  EXPECT_EQ(bad.last, -1);
  EXPECT_EQ(bad.error, kDumpNotPageLine);
  EXPECT_EQ(bad.errorLine, 6u);

  // No header, a header cut short or one with more after it, the start of
  // one or a blank line.
  for (const std::string& text :
       {kPreamble + kLine1 + "\n", std::string(), kPreamble + std::string(kDumpHeader),
        kHeader.substr(1), std::string(kDumpHeader) + "x\n" + kLine1 + "\n",
        kHeader.substr(0, 20) + "\n" + kLine1 + "\n", "\r\n" + kLine1 + "\n"}) {
    Outcome none = ReadAll(text, 0);
    EXPECT_EQ(none.last, -1);
    EXPECT_EQ(none.error, kDumpNoTable);
  }
  // A read that fails, in the table or before it, ends neither.
  for (const std::string& text : {kHeader + kLine1 + "\n", kPreamble}) {
    Outcome failed = ReadAll(text, 5, 1);
    EXPECT_EQ(failed.last, -1);
    EXPECT_EQ(failed.error, kDumpReadFailed);
  }
}

TEST(DumpReader, PassesOverLongLinesBeforeTheTableOnly) {
  const std::string longLine(kDumpMaxLine + 10, 'x');
  // The pieces of a long line are one line in the numbering.
  Outcome before = ReadAll(longLine + "\n" + kHeader + kLine1 + "\nbad\n", 0);
  EXPECT_EQ(before.addresses, std::vector<uint64_t>{0x1000});
  EXPECT_EQ(before.errorLine, 4u);
  Outcome within = ReadAll(kHeader + kLine1 + "\n" + longLine + "\n" + kLine2 + "\n", 0);
  EXPECT_EQ(within.error, kDumpNotPageLine);
  EXPECT_EQ(within.errorLine, 3u);
}

}  // namespace
