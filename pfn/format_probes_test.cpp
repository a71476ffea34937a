// The three steps against every Windows generation of this build's format,
// and the ways a system that answers as none of them does must end. Built
// once per format (pfndb_tests, pfndb64_tests).
#include <gtest/gtest.h>

#include <string>

#include "native/heap.h"
#include "pfn/pfn.h"
#include "report/report.h"
#include "standin/machine.h"
#include "tests/scripted_service.h"

namespace {

const StandinWindows kGenerations[] = {kStandinWindows7, kStandinWindows10, kStandinWindows7x64,
                                       kStandinWindows1909x64, kStandinWindows24H2x64};

bool OfThisFormat(StandinWindows windows) {
  return (windows <= kStandinWindows10) == (Format::kBits == 32);
}

struct Steps {
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;
  int result[3] = {1, 1, 1};
  Steps() { ProcessNameListInit(&names); }
  ~Steps() {
    ProcessNameListRelease(&names);
    RuntimeFree(ranges);
    ProcessHeapFree(request);
  }
};

// Runs the steps, as far as each succeeds, against machine.
void RunSteps(StandinMachine* machine, Steps* steps) {
  StandinSelectMachine(machine);
  NativeService service = {StandinNtQuerySystemInformation, &kConsoleMessages, nullptr, 0};
  steps->result[0] = GetMemoryRanges(&service, &steps->requestSize, &steps->ranges);
  if (steps->result[0] == 0)
    steps->result[1] =
        SetUpPfnDatabase(&service, steps->requestSize, steps->ranges, &steps->request);
  if (steps->result[1] == 0) steps->result[2] = SetupProcessNameDatabase(&service, &steps->names);
  StandinSelectMachine(nullptr);
}

}  // namespace

// Whatever layout a generation wants, the steps find it and print what
// Windows 7 made them print, no more: a refused first try says nothing.
// A generation of the other format fails at its first query.
TEST(FormatProbes, EachGenerationOfTheFormatAnswersAsWindows7Does) {
  StandinMachine* machine = StandinCreateMachine(5000, 6);
  for (StandinWindows windows : kGenerations) {
    ConsoleCapture capture;
    StandinSetWindows(machine, windows);
    Steps steps;
    RunSteps(machine, &steps);
    const std::string out = capture.Take();
    if (!OfThisFormat(windows)) {
      EXPECT_EQ(steps.result[0], -1) << windows;
      EXPECT_EQ(out, "NativeQueryBasicInformation failed c0000004\n") << windows;
      continue;
    }
    ASSERT_EQ(steps.result[2], 0) << windows << out;
    EXPECT_EQ(out.find("NativeQuerySuperFecthInformation failed c0000023\n"
                       "NativeQuerySuperFecthInformation failed c0000023\nClient ID "),
              0u)
        << windows << out;
    // Every page's number where the report reads it.
    const PfnEntry* entries = PfnEntries(steps.request);
    const uint32_t count = PfnRequestEntriesFor(steps.ranges, steps.requestSize);
    ASSERT_EQ(count, 5000u);
    uint32_t j = 0;
    RangeWalk walk;
    RangeWalkStart(&walk, steps.ranges);
    PageNumber page, run;
    while (RangeWalkNextRun(&walk, &page, &run))
      for (PageNumber i = 0; i < run; ++i, ++j) ASSERT_EQ(entries[j].pageFrameNumber, page + i);
    // Each page's owner key finds its process, by id or by pointer.
    size_t named = 0;
    NameIndex index;
    BuildNameIndex(&steps.names, &index);
    for (j = 0; j < count; ++j) {
      const char* names;
      uint32_t length;
      named += PageUseIndex(entries[j]) == 0 &&
               FindNames(index, ProcessKey(entries[j]), &names, &length) == 1;
    }
    ReleaseNameIndex(&index);
    EXPECT_GT(named, count / 4) << windows;
  }
  StandinDestroyMachine(machine);
}

// A system that answers in no known layout, or takes no private-source
// version: one clear failure each, nothing leaked.
TEST(FormatProbes, NoKnownLayoutEndsTheStepWithOneMessage) {
  StandinMachine* machine = StandinCreateMachine(300, 3);
  for (StandinWindows windows : kGenerations) {
    if (!OfThisFormat(windows)) continue;
    StandinSetWindows(machine, windows);
    const int64_t blocks = HeapLiveBlocks();
    {
      ConsoleCapture capture;
      StandinSetFaults(machine, kStandinFaultEntryLayout);
      Steps steps;
      RunSteps(machine, &steps);
      EXPECT_EQ(steps.result[1], kPfnLayoutUnknown) << windows;
      EXPECT_EQ(steps.request, nullptr);
      const std::string out = capture.Take();
      EXPECT_EQ(out.substr(out.find('\n') + 1),
                "page-frame entries come back in no layout this program knows\n")
          << windows;
    }
    {
      // Every version refused: the first refusal is what is said. A
      // version 2 answer naming pages past the highest is refused too.
      ConsoleCapture capture;
      StandinSetFaults(machine, kStandinFaultRanges);
      Steps steps;
      RunSteps(machine, &steps);
      EXPECT_EQ(steps.result[0], -1) << windows;
      EXPECT_EQ(capture.Take(),
                "NativeQuerySuperFecthInformation failed c0000023\n"
                "NativeQuerySuperFecthInformation failed c000000d\n")
          << windows;
      StandinSetFaults(machine, kStandinFaultRangesBeyond);
      Steps beyond;
      RunSteps(machine, &beyond);
      EXPECT_EQ(beyond.result[0], windows == kStandinWindows24H2x64 ? -1 : 0) << windows;
      EXPECT_EQ(capture.Take().find("memory ranges come back in no layout this program knows\n") !=
                    std::string::npos,
                windows == kStandinWindows24H2x64)
          << windows;
    }
    {
      ConsoleCapture capture;
      StandinSetFaults(machine, kStandinFaultSources);
      Steps steps;
      RunSteps(machine, &steps);
      EXPECT_EQ(steps.result[2], -1) << windows;
      EXPECT_TRUE(ProcessNameListEmpty(&steps.names));
      const std::string out = capture.Take();
      // The first try's refusal: the other version's (c000000d) where that
      // is tried first, else the one the system refused on its own.
      const bool otherFirst = windows == kStandinWindows10 || windows == kStandinWindows7x64;
      EXPECT_EQ(out.substr(out.find('\n') + 1),
                otherFirst
                    ? "NativeQuerySuperFecthInformation failed c000000d\n"
                      "NativeQuerySuperFecthInformation get process database failed C000000D \n"
                    : "NativeQuerySuperFecthInformation failed c0000002\n"
                      "NativeQuerySuperFecthInformation get process database failed C0000002 \n")
          << windows;
    }
    EXPECT_EQ(HeapLiveBlocks(), blocks) << windows;
  }
  StandinSetFaults(machine, 0);
  StandinDestroyMachine(machine);
}

// The stand-in, refusing every page-frame request after the first
// g_slicesAnswered.
int g_slicesAnswered;
QueryStatus PFNDB_NTAPI RefusingLaterSlices(uint32_t infoClass, void* buffer, uint32_t length,
                                            uint32_t* returnLength) {
  if (infoClass == kSystemSuperfetchInformation &&
      static_cast<SuperfetchInformation*>(buffer)->subClass == kSuperfetchPfnQuery &&
      g_slicesAnswered-- <= 0)
    return static_cast<QueryStatus>(0xC0000022u);
  return StandinNtQuerySystemInformation(infoClass, buffer, length, returnLength);
}

// The report of a request asked in slices of any size is that of the one
// request: boundaries inside a range, at a range's end (158, 243, 246) and
// at the last page (300); one slice larger than the machine.
TEST(FormatProbes, SlicesOfAnySizePrintTheOneRequest) {
  StandinMachine* machine = StandinCreateMachine(300, 4);
  for (StandinWindows windows : kGenerations) {
    if (!OfThisFormat(windows)) continue;
    StandinSetWindows(machine, windows);
    std::string whole;
    Steps steps;
    {
      ConsoleCapture capture;
      RunSteps(machine, &steps);
      ASSERT_EQ(steps.result[2], 0);
      capture.Take();
      EXPECT_EQ(PrintPfnDatabase(steps.request, steps.requestSize, &steps.names, steps.ranges), 0);
      whole = capture.Take();
    }
    StandinSelectMachine(machine);
    for (uint32_t pages = 1; pages <= 301; ++pages) {
      NativeService service = {StandinNtQuerySystemInformation, &kConsoleMessages, nullptr, 0};
      ConsoleCapture capture;
      PfnSlices slices;
      ASSERT_EQ(PfnSlicesStart(&service, steps.requestSize, steps.ranges, pages, &slices), 0);
      PfnReport report;
      PfnReportStart(&steps.names, &report);
      const PfnEntry* entries;
      uint32_t count;
      int got;
      size_t asked = 0;
      while ((got = PfnSlicesNext(&service, &slices, &entries, &count)) == 1) {
        ++asked;
        EXPECT_LE(count, pages);
        PfnReportLines(&report, entries, entries + count);
      }
      EXPECT_EQ(got, 0);
      EXPECT_EQ(PfnSlicesNext(&service, &slices, &entries, &count), 0);
      PfnReportEnd(&report);
      PfnSlicesEnd(&slices);
      EXPECT_EQ(asked, (300 + pages - 1) / pages) << windows << " " << pages;
      ASSERT_EQ(capture.Take(), whole) << windows << " " << pages;
    }
    // A refused privilege is no layout's doing: the one request (the
    // 64-bit program's short request first) tells the status.
    {
      NativeService refusingAll = {RefusingLaterSlices, &kConsoleMessages, nullptr, 0};
      g_slicesAnswered = 0;
      ConsoleCapture capture;
      PfnRequest* request = nullptr;
      EXPECT_EQ(SetUpPfnDatabase(&refusingAll, steps.requestSize, steps.ranges, &request), -1);
      EXPECT_EQ(request, nullptr);
      EXPECT_EQ(capture.Take(),
                "NativeQuerySuperFecthInformation failed c0000022\n"
                "NativeQuerySuperFecthInformation get pfn database failed\n");
    }
    // A slice refused after the first: the request's failure lines, and
    // every later call fails alike.
    NativeService refusing = {RefusingLaterSlices, &kConsoleMessages, nullptr, 0};
    g_slicesAnswered = 100;
    ConsoleCapture capture;
    PfnSlices slices;
    ASSERT_EQ(PfnSlicesStart(&refusing, steps.requestSize, steps.ranges, 100, &slices), 0);
    const PfnEntry* entries;
    uint32_t count;
    EXPECT_EQ(PfnSlicesNext(&refusing, &slices, &entries, &count), 1);
    g_slicesAnswered = 0;
    EXPECT_EQ(PfnSlicesNext(&refusing, &slices, &entries, &count), -1);
    EXPECT_EQ(PfnSlicesNext(&refusing, &slices, &entries, &count), -1);
    EXPECT_EQ(capture.Take(),
              "NativeQuerySuperFecthInformation failed c0000022\n"
              "NativeQuerySuperFecthInformation get pfn database failed\n");
    EXPECT_EQ(refusing.lastStatus, static_cast<QueryStatus>(0xC0000022u));
    PfnSlicesEnd(&slices);
    StandinSelectMachine(nullptr);
  }
  StandinDestroyMachine(machine);
}
