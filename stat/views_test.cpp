#include "stat/views.h"

#include <gtest/gtest.h>

#include <string>

#include "stat/feed.h"
#include "stat/memory_source.h"

namespace {

struct Tally {
  StatTally tally;
  Tally() { EXPECT_EQ(TallyInit(&tally), 0); }
  ~Tally() { TallyFree(&tally); }
};

// Tallies the page lines (header added) as dump `dump`.
void Add(StatTally* tally, int dump, const std::string& lines) {
  const std::string text = std::string(kDumpHeader) + "\n" + lines;
  MemorySource source = {text.data(), text.size(), 0, 0, 0};
  DumpReader reader;
  ASSERT_EQ(DumpReaderInit(&reader, ReadFromMemory, &source), 0);
  int mapFull = 0;
  EXPECT_EQ(FeedTally(NextDumpPages, &reader, tally, dump, nullptr, &mapFull), 0)
      << reader.errorLine;
  DumpReaderFree(&reader);
}

std::string Line(const char* address, const char* fields) {
  return std::string(address) + " " + fields + " 0000000000401000 \n";
}

// What a view writes, through a real FILE as the program's is.
std::string Render(const StatTally& tally, int change, int csv, StatView view) {
  FILE* file = tmpfile();
  EXPECT_NE(file, nullptr);
  ViewSource source = {&tally, change, "a.txt", change ? "b.txt" : nullptr};
  EXPECT_EQ(csv ? WriteViewCsv(source, view, file) : PrintViews(source, file), 0);
  std::string text(static_cast<size_t>(ftell(file)), '\0');
  rewind(file);
  EXPECT_EQ(fread(&text[0], 1, text.size(), file), text.size());
  fclose(file);
  return text;
}

const std::string kBefore =
    Line("0000000000001000", "Free list  Kernel Locked ") +
    Line("0000000000002000", "Active  list  No Value") +
    Line("0000000000003000", "Active  list  Process Private  cmd.exe  conhost.exe ") +
    Line("0000000000004000", "Standby list  Process Private  b\xE9 \"x\", ") +
    Line("0000000100000000", "Modified page l Process Private  b.exe ") +
    Line("0000000000008000", "Transition list Process Private ") +
    Line("0000000000005000", "Active  list  Process Private  b.exe ");

TEST(Views, ChangeBetweenTwoDumps) {
  Tally t;
  Add(&t.tally, 0, kBefore);
  // cmd.exe's page moves lists, b.exe loses one, a.exe is new with two, and
  // the Latin-1 owner stays as it was.
  Add(&t.tally, 1,
      Line("0000000000010000", "Zero list  Process Private  cmd.exe  conhost.exe ") +
          Line("0000000000011000", "Standby list  Process Private  b\xE9 \"x\", ") +
          Line("0000000000012000", "Active  list  Process Private  b.exe ") +
          Line("0000000000013000", "Active  list  Process Private  a.exe ") +
          Line("0000000000014000", "Active  list  Process Private  a.exe ") +
          Line("0000000000015000", "Transition list Process Private "));
  EXPECT_EQ(Render(t.tally, 1, 1, kViewProcesses),
            "owner,zero,free,standby,modified,modified_no_write,bad,active,transition,total\n"
            "a.exe,0,0,0,0,0,0,2,0,2\n"
            "b.exe,0,0,0,0,-1,0,0,0,-1\n"
            "cmd.exe  conhost.exe,1,0,0,0,0,0,-1,0,0\n");
  const std::string uses = Render(t.tally, 1, 1, kViewUses);
  EXPECT_NE(uses.find("\nprocess_private,1,0,0,0,-1,0,1,0,1\n"), std::string::npos);
  EXPECT_NE(uses.find("\ndriver_locked,0,-1,0,0,0,0,0,0,-1\n"), std::string::npos);
  EXPECT_NE(uses.find("\ntotal,1,-1,0,0,-1,0,0,0,-1\n"), std::string::npos);
  EXPECT_EQ(Render(t.tally, 1, 1, kViewRanges), "start,end,pages\n0x10000,0x16000,6\n");
}

// Owners seen twice each, past the limit: texts whose hashes collide must
// find their rows again. The owner-less row takes no name's place, whether
// it comes first or last.
TEST(Views, PastTheOwnerLimitEveryNameKeptIsCountedOnce) {
  const std::string noOwner = Line("0000000000001000", "Zero list  Process Private ");
  std::string names;
  for (uint32_t i = 0; i < kMaxOwners + 3; ++i) {
    char line[96];
    snprintf(line, sizeof(line), "%016x Zero list  Process Private  p%u  0000000000000000 \n",
             (i + 1) * 0x2000, i);
    names += line;
  }
  for (int noneFirst = 0; noneFirst < 2; ++noneFirst) {
    Tally t;
    // With every row taken, a page of another use counts in none of them.
    Add(&t.tally, 0,
        (noneFirst ? noOwner + names + names : names + names + noOwner) +
            Line("0000000000001000", "Zero list  Kernel stack "));
    const std::string csv = Render(t.tally, 0, 1, kViewProcesses);
    // Largest first: the three left over twice, each name twice, (none) once.
    size_t rows = 0;
    for (char c : csv) rows += c == '\n';
    EXPECT_EQ(rows, 1 + 1 + kMaxOwners + 1) << noneFirst;
    EXPECT_EQ(csv.find("\n(other owners),6,0,0,0,0,0,0,0,6\np0,2,"), csv.find('\n'));
    EXPECT_NE(csv.find("\np32767,2,"), std::string::npos);
    EXPECT_EQ(csv.find("\np32768,"), std::string::npos);
    EXPECT_EQ(csv.rfind("\n(none),1,"), csv.rfind('\n', csv.size() - 2));
  }
  // The same names in AFTER find the rows DUMP made, past the limit too.
  Tally t;
  Add(&t.tally, 0, noOwner + names);
  Add(&t.tally, 1, names);
  const std::string csv = Render(t.tally, 1, 1, kViewProcesses);
  EXPECT_EQ(csv.substr(csv.find('\n')), "\n(none),-1,0,0,0,0,0,0,0,-1\n");
}

// Each reason to quote in the tables (1) but not the CSV (0), which the
// awkward views below do not show; "" where the label is the text itself.
TEST(Views, OwnerLabelsPassForNoOtherRow) {
  const struct {
    const char* text;
    int table;
    const char* label;
  } cases[] = {{"Totals \"hi\" a\\b Caf\xE9", 1, ""},
               {"(other owners) ", 1, "\"(other owners) \""},
               {"(other owners) ", 0, ""},
               {"Total  ", 1, "\"Total  \""},
               {"Total", 0, ""},
               {"\x7f", 1, "\"\\x7f\""},
               {"x\ny\t\\\x01\x1f\x7f", 1, "\"x\\ny\\t\\\\\\x01\\x1f\\x7f\""}};
  for (const auto& c : cases) {
    OwnerRow row = {};
    row.text = c.text;
    row.length = static_cast<uint32_t>(strlen(c.text));
    char label[64] = "";
    const size_t length = OwnerLabel(row, c.table, label);
    EXPECT_EQ(OwnerLabel(row, c.table, nullptr), length) << c.text;
    EXPECT_EQ(std::string(label, length), c.label) << c.text << c.table;
  }
}

// Figures from 1 to 10 digits in KiB (3, 6 and 9 among them, at their
// largest and at the smallest of one more digit), and owners that need
// quoting each for one reason, or a mark to look like no row of the
// tally's own. A dump of a test's size has neither the figures nor a line
// feed in an owner text (it would end the line; a name from the service can
// hold one): the counts are set in the tally, and that owner is fed to it.
TEST(Views, WholeViewsOnAwkwardFiguresAndNames) {
  const uint64_t kWidths[10] = {1,      24,     249,      250,       24999,
                                249999, 250000, 24999999, 249999999, 2499999999};
  Tally t;
  const std::string fed = Line("0000000000020000", "Active  list  Process Private  x\ny ");
  PageLine page;
  ASSERT_EQ(ParsePageLine(fed.data(), fed.size() - 1, &page), 0);
  TallyPage fedPage;
  TallyPageOfLine(&t.tally, page, &fedPage);
  TallyAddPage(&t.tally, 0, fedPage);
  Add(&t.tally, 0,
      Line("fffffffffffff000", "Zero list  Process Private ") +
          Line("0000000000000000", "Zero list  Process Private  (none) ") +
          Line("0000000000001000", "Free list  Process Private  a,b ") +
          Line("0000000000002000", "Standby list  Process Private  say \"hi\" ") +
          Line("0000000000003000", "Modified list  Process Private  x\ry ") +
          Line("0000000000004000", "Modified page l Process Private  \"q ") +
          Line("0000000000005000",
               "Bad pagelist  Process Private  svchost.exe  svchost.exe  svchost.exe  "
               "svchost.exe ") +
          Line("0000000000006000", "Active  list  Process Private  cmd.exe ") +
          Line("0000000000007000", "Active  list  Process Private  cmd ") +
          Line("0000000100000000", "Transition list Process Private  (other owners) ") +
          Line("0000000000010000", "Zero list  Kernel stack "));
  std::string views;
  for (int change = 0; change < 2; ++change) {
    for (unsigned use = 0; use < kUseCount; ++use) {
      for (unsigned list = 0; list < kListCount; ++list) {
        t.tally.uses[change][use][list] =
            kWidths[(use + (2 * change + 1) * list + 5 * change) % 10];
      }
    }
    // The change's ranges are those of an empty table.
    if (change) Add(&t.tally, 1, "");
    views += Render(t.tally, change, 0, kViewUses) + "--\n";
    for (StatView view : {kViewUses, kViewProcesses, kViewRanges}) {
      views += Render(t.tally, change, 1, view) + "--\n";
    }
  }
  FILE* file = fopen(PFNSTAT_TEST_DATA "/awkward_views.txt", "rb");
  ASSERT_NE(file, nullptr);
  std::string expected(views.size() + 1, '\0');
  expected.resize(fread(&expected[0], 1, expected.size(), file));
  fclose(file);
  EXPECT_EQ(views, expected);
}

}  // namespace
