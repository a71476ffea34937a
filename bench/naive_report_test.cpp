#include "bench/naive_report.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "report/report.h"
#include "standin/machine.h"
#include "tests/scripted_service.h"

namespace {

typedef int (*Printer)(const PfnRequest*, uint32_t, const ProcessNameList*, const MemoryRangeInfo*);

// The dump's three inputs, from the stand-in or built by hand.
struct Inputs {
  uint32_t requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;

  Inputs() { ProcessNameListInit(&names); }
  ~Inputs() {
    ProcessNameListRelease(&names);
    RuntimeFree(ranges);
    ProcessHeapFree(request);
  }

  std::string Print(Printer printer) const {
    ConsoleCapture capture;
    EXPECT_EQ(printer(request, requestSize, &names, ranges), 0);
    return capture.Take();
  }

  // The report without memory for its name index, which then searches the
  // list for every page.
  std::string PrintWithoutIndex() const {
    SetHeapFailureHook([](HeapSite site) { return site == kHeapSiteNameIndex; });
    std::string out = Print(PrintPfnDatabase);
    SetHeapFailureHook(nullptr);
    return out;
  }

  // The report with the digits a processor without SSE2 gets.
  std::string PrintPlain() const {
    ForcePlainReportDigits(true);
    std::string out = Print(PrintPfnDatabase);
    ForcePlainReportDigits(false);
    return out;
  }
};

void FetchFrom(const StandinMachine* machine, Inputs* inputs) {
  StandinSelectMachine(machine);
  g_NtQuerySystemInformation = StandinNtQuerySystemInformation;
  ConsoleCapture quiet;
  ASSERT_EQ(GetMemoryRanges(&inputs->requestSize, &inputs->ranges), 0);
  ASSERT_EQ(SetUpPfnDatabase(inputs->requestSize, inputs->ranges, &inputs->request), 0);
  ASSERT_EQ(SetupProcessNameDatabase(&inputs->names), 0);
  g_NtQuerySystemInformation = nullptr;
  StandinSelectMachine(nullptr);
}

void AddName(Inputs* inputs, uint32_t key, const char* name, size_t length) {
  ProcessNameRecord* record =
      static_cast<ProcessNameRecord*>(RuntimeMalloc(sizeof(ProcessNameRecord), kHeapSiteOther));
  ASSERT_NE(record, nullptr);
  record->key = key;
  record->size = 0;
  memset(record->imageName, 0, sizeof(record->imageName));
  memcpy(record->imageName, name, length < kImageNameBytes ? length : kImageNameBytes);
  ProcessNameListAppend(&inputs->names, record);
}

// A whole-output comparison would print megabytes on failure; the first
// differing line says what went wrong.
void ExpectSameBytes(const std::string& fast, const std::string& naive) {
  ASSERT_FALSE(fast.empty());
  if (fast == naive) return;
  size_t at = 0;
  while (at < fast.size() && at < naive.size() && fast[at] == naive[at]) ++at;
  size_t lineStart = fast.rfind('\n', at == 0 ? 0 : at - 1);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  ADD_FAILURE() << "outputs differ at byte " << at << " (sizes " << fast.size() << " and "
                << naive.size()
                << ")\n  report: " << fast.substr(lineStart, fast.find('\n', at) - lineStart)
                << "\n  naive:  " << naive.substr(lineStart, naive.find('\n', at) - lineStart);
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace

TEST(NaiveReport, AgreesWithTheReportOnSimulatedMachines) {
  StandinMachine* scaled = StandinCreateMachine(200000, 40);
  ASSERT_NE(scaled, nullptr);
  const StandinMachine* machines[] = {StandinDefaultMachine(), scaled};
  for (const StandinMachine* machine : machines) {
    Inputs inputs;
    FetchFrom(machine, &inputs);
    ASSERT_NE(inputs.request, nullptr);
    std::string fast = inputs.Print(PrintPfnDatabase);
    const std::string naive = inputs.Print(NaivePrintPfnDatabase);
    ExpectSameBytes(fast, naive);
    ExpectSameBytes(inputs.PrintWithoutIndex(), naive);
    ExpectSameBytes(inputs.PrintPlain(), naive);
    // Both printing nothing would agree too: every page must be there.
    EXPECT_EQ(CountLines(fast), PfnRequestEntriesFor(inputs.ranges, inputs.requestSize) + 1u);
    EXPECT_NE(fast.find(" Process Private  "), std::string::npos);
  }
  StandinDestroyMachine(scaled);
}

TEST(NaiveReport, AgreesOnEveryFieldCombinationAndOddName) {
  // Every list with every use, pages and addresses at the extremes, keys
  // that need bit 23 or carry noise above it, and owners with no name,
  // one name, several names and more names than a buffer reservation holds.
  struct Page {
    uint32_t word0, word1, pageNumber, virtualAddress;
  };
  std::vector<Page> pages;
  const uint32_t keys[] = {0x2c0, 0x00800a3c, 0x5d4, 0x9999, 7, 0xFF000a3c, 9};
  uint32_t n = 0;
  for (uint32_t list = 0; list < 8; ++list)
    for (uint32_t use = 0; use < 16; ++use)
      for (uint32_t key : keys) {
        uint32_t page = n * 0x01F3A7u + (n & 1 ? 0xFFF00000u : 0);
        uint32_t noise = (n * 0x9E3779B1u) & ~0x1FFu;
        pages.push_back({use | list << 4 | (key & 0x7FFFFF) << 9, key >> 23 | noise, page,
                         n * 0x10001000u + (n & 3)});
        ++n;
      }
  pages.push_back({0x60, 0, 0xFFFFFFFFu, 0xFFFFFFFFu});

  Inputs inputs;
  inputs.requestSize = static_cast<uint32_t>(sizeof(PfnRequest) + pages.size() * sizeof(PfnEntry));
  inputs.request = static_cast<PfnRequest*>(ProcessHeapAlloc(inputs.requestSize, kHeapSiteOther));
  ASSERT_NE(inputs.request, nullptr);
  PfnEntry* entries = PfnEntries(inputs.request);
  for (size_t j = 0; j < pages.size(); ++j)
    entries[j] = {pages[j].word0, pages[j].word1, pages[j].pageNumber, pages[j].virtualAddress};
  // Two ranges over the entries, so the count comes from the walk.
  const uint32_t half = static_cast<uint32_t>(pages.size() / 2);
  inputs.ranges = static_cast<MemoryRangeInfo*>(
      RuntimeCalloc(sizeof(MemoryRangeInfo) + 2 * sizeof(PhysicalRange), kHeapSiteOther));
  ASSERT_NE(inputs.ranges, nullptr);
  inputs.ranges->rangeCount = 2;
  MemoryRanges(inputs.ranges)[0] = {0x10, half};
  MemoryRanges(inputs.ranges)[1] = {0x100000, static_cast<uint32_t>(pages.size()) - half};

  AddName(&inputs, 0x2c0, "svchost.exe", 11);
  AddName(&inputs, 0x00800a3c, "wmiprvse.exe", 12);
  AddName(&inputs, 0x5d4, "cmd.exe", 7);
  AddName(&inputs, 0x111, "other", 5);
  AddName(&inputs, 0x5d4, "conhost.exe", 11);
  AddName(&inputs, 0xFF000a3c, "Caf\xe9Manager.exe", 16);
  AddName(&inputs, 9, "", 0);
  AddName(&inputs, 9, "in\0it", 5);
  // A line end inside a name is printed as the platform's, as a text stream
  // prints it: on a key of its own and in a list too long for the fast copy.
  AddName(&inputs, 0x9999, "two\nlines", 9);
  AddName(&inputs, 0x5d4, "\nhidden\n", 8);
  for (int i = 0; i < 7000; ++i) {
    std::string name = "p" + std::to_string(i);
    AddName(&inputs, 7, name.c_str(), name.size());
  }

  std::string fast = inputs.Print(PrintPfnDatabase);
  const std::string naive = inputs.Print(NaivePrintPfnDatabase);
  ExpectSameBytes(fast, naive);
  ExpectSameBytes(inputs.PrintWithoutIndex(), naive);
  ExpectSameBytes(inputs.PrintPlain(), naive);
  // Each list has one private page of each key: 0x9999's and 0x5d4's show
  // one and two more line ends.
  EXPECT_EQ(CountLines(fast), pages.size() + 1 + 8 * 3);
  EXPECT_NE(fast.find(" Caf\xe9Manager.  "), std::string::npos);
  EXPECT_NE(fast.find(" conhost.exe  \nhidden\n  "), std::string::npos);
  EXPECT_NE(fast.find(" p6999  "), std::string::npos);
  EXPECT_NE(fast.find("\n00000ffffffff000 Active  list  Process Private  00000000FFFFFFFF \n"),
            std::string::npos);
}

TEST(NaiveReport, AgreesWhenOwnersAreManyOrHaveLongNameLists) {
  // Thousands of keys spread over 32 bits (so the fast lookup must fall back
  // for some), and keys with several names each (too long for its fixed-size
  // copy), over enough lines to cross many buffer reservations.
  const uint32_t kProcesses = 12000;
  auto keyOf = [](uint32_t i) { return (i + 1) * 0x2545F491u ^ (i >> 3); };
  Inputs inputs;
  for (uint32_t i = 0; i < kProcesses; ++i) {
    std::string name = "proc" + std::to_string(i) + ".exe";
    AddName(&inputs, keyOf(i), name.c_str(), name.size());
    // Every fiftieth key gets two more names.
    if (i % 50 == 0) {
      AddName(&inputs, keyOf(i), "svchost.exe", 11);
      AddName(&inputs, keyOf(i), "SearchIndexer.exe", 17);
    }
  }
  const uint32_t kPages = 9000;
  inputs.requestSize = static_cast<uint32_t>(sizeof(PfnRequest) + kPages * sizeof(PfnEntry));
  inputs.request = static_cast<PfnRequest*>(ProcessHeapAlloc(inputs.requestSize, kHeapSiteOther));
  ASSERT_NE(inputs.request, nullptr);
  PfnEntry* entries = PfnEntries(inputs.request);
  for (uint32_t j = 0; j < kPages; ++j) {
    // Mostly private pages, alternating between keys with long lists, other
    // known keys and unknown ones.
    uint32_t key = j % 3 == 0   ? keyOf(j / 3 % 240 * 50)
                   : j % 3 == 1 ? keyOf(j * 7 % kProcesses)
                                : j * 0x01000193u;
    uint32_t use = j % 5 == 4 ? 2 : 0;
    entries[j] = {use | (j % 8) << 4 | (key & 0x7FFFFF) << 9, key >> 23, 0x200000 + j, j << 12};
  }
  inputs.ranges = static_cast<MemoryRangeInfo*>(
      RuntimeCalloc(sizeof(MemoryRangeInfo) + sizeof(PhysicalRange), kHeapSiteOther));
  ASSERT_NE(inputs.ranges, nullptr);
  inputs.ranges->rangeCount = 1;
  MemoryRanges(inputs.ranges)[0] = {0x200000, kPages};

  std::string fast = inputs.Print(PrintPfnDatabase);
  const std::string naive = inputs.Print(NaivePrintPfnDatabase);
  ExpectSameBytes(fast, naive);
  ExpectSameBytes(inputs.PrintWithoutIndex(), naive);
  ExpectSameBytes(inputs.PrintPlain(), naive);
  EXPECT_EQ(CountLines(fast), kPages + 1u);
  EXPECT_GT(fast.size(), 2 * kConsoleMaxReserve);
  EXPECT_NE(fast.find(" proc0.exe  svchost.exe  SearchIndexe "), std::string::npos);
}
