#include "cli/pfndb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "native/heap.h"
#include "pfn/pfn.h"
#include "tests/scripted_service.h"

namespace {

const QueryStatus kTooSmall = static_cast<QueryStatus>(0xC0000023u);

const char kBanner[] =
    "pfndb  Copyright (C) 2026 The pfndb authors \n"
    "This program comes with ABSOLUTELY NO WARRANTY; for details run it with -w.\n"
    "It is free software under the GNU General Public License, version 3 or later.\n";

int RunCaptured(int argumentCount, std::wstring commandLine, std::string* output) {
  ConsoleCapture capture;
  int status = RunPfndb(argumentCount, &commandLine[0]);
  *output = capture.Take();
  return status;
}

// Fills each entry from its page number: page 5 is private to key 0x2c0,
// every other page is paged pool.
void FillEntries(void* data, uint32_t length) {
  PfnRequest* request = static_cast<PfnRequest*>(data);
  ASSERT_GE(length, 96u + 16u * request->entryCount);
  PfnEntry* entries = PfnEntries(request);
  for (uint32_t j = 0; j < request->entryCount; ++j) {
    uint32_t page = entries[j].pageFrameNumber;
    if (page == 5) {
      entries[j].word0 = 0 | 6 << 4 | 0x2c0 << 9;
      entries[j].virtualAddress = 0x7f0000;
    } else {
      entries[j].word0 = 4 | 2 << 4;
      entries[j].virtualAddress = 0xE1000000 + page * 0x1000;
    }
  }
}

// The scripted answers of a whole dump, up to `steps` of its six queries.
void ScriptDump(ScriptedService* service, int steps) {
  if (steps-- > 0) service->AnswerHighestPage(9);
  if (steps-- > 0) service->AnswerStatus(kTooSmall, 24);
  if (steps-- > 0) service->AnswerBytes(0, 24, RangesAnswer(2, {{0, 4}, {5, 2}}));
  if (steps-- > 0) {
    ScriptedAnswer pfn;
    pfn.fill = FillEntries;
    service->Answer(pfn);
  }
  std::vector<SourceSpec> sources = {
      {2, 0x2c0, 0x1a, "init"}, {1, 0x2c0, 1, "pool"}, {2, 0x4, 0x10, "System"}};
  if (steps-- > 0) service->AnswerStatus(kTooSmall, 8 + 48 * 3);
  if (steps-- > 0) service->AnswerBytes(0, 8 + 48 * 3, SourcesAnswer(3, sources));
}

const char kDumpOutput[] =
    "NativeQuerySuperFecthInformation failed c0000023\n"
    "NativeQuerySuperFecthInformation failed c0000023\n"
    "Client ID 2C0 Name: init \n"
    "size 1a\n"
    "Client ID 4 Name: System \n"
    "size 10\n"
    "Address        List         Type       Process      VA \n"
    "0000000000000000 Standby list  Paged Pool  00000000E1000000 \n"
    "0000000000001000 Standby list  Paged Pool  00000000E1001000 \n"
    "0000000000002000 Standby list  Paged Pool  00000000E1002000 \n"
    "0000000000003000 Standby list  Paged Pool  00000000E1003000 \n"
    "0000000000005000 Active  list  Process Private  init  00000000007F0000 \n"
    "0000000000006000 Standby list  Paged Pool  00000000E1006000 \n";

}  // namespace

TEST(RunPfndb, DumpPrintsEveryStepInOrderAndReleasesItsResults) {
  const int64_t live = HeapLiveBlocks();
  ScriptedService service;
  service.ProvideEntries(true, true);
  ScriptDump(&service, 6);
  std::string out;
  EXPECT_EQ(RunCaptured(2, L"pfndb -p", &out), 0);
  EXPECT_EQ(out, std::string(kBanner) + kDumpOutput);
  EXPECT_EQ(service.unanswered(), 0u);
  EXPECT_EQ(HeapLiveBlocks(), live);

  // Both privileges are asked for, process-wide, and their refusal is no
  // reason to stop.
  ASSERT_EQ(service.privilegeCalls().size(), 2u);
  EXPECT_EQ(service.privilegeCalls()[0].privilege, 13u);
  EXPECT_EQ(service.privilegeCalls()[1].privilege, 20u);
  for (const auto& call : service.privilegeCalls()) {
    EXPECT_EQ(call.enable, 1);
    EXPECT_EQ(call.currentThreadOnly, 0);
  }
}

TEST(RunPfndb, EachFailingStepPrintsItsSummaryAndReleasesWhatItHad) {
  struct Case {
    int answered;
    QueryStatus failure;
    const char* tail;
  };
  const Case cases[] = {
      {0, static_cast<QueryStatus>(0xC0000022u),
       "NativeQueryBasicInformation failed c0000022\nfailed to get memory range ...\n"},
      {2, static_cast<QueryStatus>(0xC0000022u),
       "NativeQuerySuperFecthInformation failed c0000023\n"
       "NativeQuerySuperFecthInformation failed c0000022\nfailed to get memory range ...\n"},
      {3, static_cast<QueryStatus>(0xC0000022u),
       "NativeQuerySuperFecthInformation failed c0000023\n"
       "NativeQuerySuperFecthInformation failed c0000022\n"
       "NativeQuerySuperFecthInformation get pfn database failed\nSetUp Pfn Database failed ...\n"},
      {5, static_cast<QueryStatus>(0xC0000022u),
       "NativeQuerySuperFecthInformation failed c0000023\n"
       "NativeQuerySuperFecthInformation failed c0000023\n"
       "NativeQuerySuperFecthInformation failed c0000022\n"
       "NativeQuerySuperFecthInformation get process database failed C0000022 \n"
       "Setup Process Name Database failed ...\n"},
  };
  for (const Case& c : cases) {
    const int64_t live = HeapLiveBlocks();
    ScriptedService service;
    service.ProvideEntries(true, true);
    ScriptDump(&service, c.answered);
    service.AnswerStatus(c.failure, 0);
    std::string out;
    EXPECT_EQ(RunCaptured(2, L"pfndb -p", &out), -1) << c.tail;
    EXPECT_EQ(out, std::string(kBanner) + c.tail);
    EXPECT_EQ(HeapLiveBlocks(), live) << c.tail;
  }
}

namespace {

// Fails the allocation numbered g_failAt (from 0) of the run, recording the
// site of every allocation asked for.
int g_failAt = -1;
std::vector<HeapSite> g_sites;

bool FailNumbered(HeapSite site) {
  g_sites.push_back(site);
  return static_cast<int>(g_sites.size()) - 1 == g_failAt;
}

struct NumberedRun {
  int status;
  std::string output;
  std::vector<HeapSite> sites;
  int64_t leaked;
};

NumberedRun RunFailingAllocation(int failAt, void (*script)(ScriptedService*)) {
  NumberedRun run;
  const int64_t live = HeapLiveBlocks();
  {
    ScriptedService service;
    service.ProvideEntries(true, true);
    script(&service);
    g_failAt = failAt;
    g_sites.clear();
    SetHeapFailureHook(FailNumbered);
    run.status = RunCaptured(2, L"pfndb -p", &run.output);
    SetHeapFailureHook(nullptr);
    g_failAt = -1;
    run.sites = g_sites;
  }
  run.leaked = HeapLiveBlocks() - live;
  return run;
}

void ScriptWholeDump(ScriptedService* service) { ScriptDump(service, 6); }

}  // namespace

TEST(RunPfndb, EachAllocationInTurnFailsAtItsOwnStep) {
  // A clean run names the allocations the dump makes, in order.
  NumberedRun clean = RunFailingAllocation(-1, ScriptWholeDump);
  ASSERT_EQ(clean.status, 0);
  const std::vector<HeapSite> order = {
      kHeapSiteMemoryRanges, kHeapSitePfnRequest, kHeapSitePrivateSources, kHeapSiteNameRecord,
      kHeapSiteNameRecord,   kHeapSiteNameIndex,  kHeapSiteNameIndex};
  ASSERT_EQ(clean.sites, order);
  EXPECT_EQ(clean.leaked, 0);

  const std::string twoProbes =
      "NativeQuerySuperFecthInformation failed c0000023\n"
      "NativeQuerySuperFecthInformation failed c0000023\n";
  const std::string tails[] = {
      // ranges buffer
      "NativeQuerySuperFecthInformation failed c0000023\nMemory allocation failed \n"
      "failed to get memory range ...\n",
      // page-frame request
      "NativeQuerySuperFecthInformation failed c0000023\nMemory allocation failed from heap\n"
      "SetUp Pfn Database failed ...\n",
      // private-source buffer
      twoProbes + "Setup Process Name Database failed ...\n",
      // first name record: no process printed
      twoProbes + "cannot allocate memory\nSetup Process Name Database failed ...\n",
      // second and last: the first is printed, then kept until the end
      twoProbes +
          "Client ID 2C0 Name: init \nsize 1a\n"
          "cannot allocate memory\nSetup Process Name Database failed ...\n",
  };
  for (size_t k = 0; k < order.size(); ++k) {
    NumberedRun run = RunFailingAllocation(static_cast<int>(k), ScriptWholeDump);
    // Without its name index the report searches the list: the same run.
    const bool index = order[k] == kHeapSiteNameIndex;
    EXPECT_EQ(run.status, index ? 0 : -1) << "allocation " << k;
    EXPECT_EQ(run.output, index ? clean.output : std::string(kBanner) + tails[k])
        << "allocation " << k;
    EXPECT_EQ(run.leaked, 0) << "allocation " << k;
    // Nothing is asked for after the failure.
    EXPECT_EQ(run.sites, std::vector<HeapSite>(order.begin(), order.begin() + k + 1))
        << "allocation " << k;
  }
}

namespace {

// Six processes, of which the fetch names four; the probe reports all.
void ScriptManyProcesses(ScriptedService* service) {
  ScriptDump(service, 4);
  std::vector<SourceSpec> sources = {{2, 0x10, 1, "one"},  {3, 0x11, 2, "Session"},
                                     {2, 0x12, 3, "two"},  {2, 0x13, 4, "three"},
                                     {1, 0x14, 5, "Pool"}, {2, 0x2c0, 6, "four"}};
  service->AnswerStatus(kTooSmall, 8 + 48 * 6);
  service->AnswerBytes(0, 8 + 48 * 6, SourcesAnswer(6, sources));
}

}  // namespace

TEST(RunPfndb, ANameRecordFailingMidListReleasesTheRecordsBeforeIt) {
  const char* printed[] = {"Client ID 10 Name: one \nsize 1\n", "Client ID 12 Name: two \nsize 3\n",
                           "Client ID 13 Name: three \nsize 4\n",
                           "Client ID 2C0 Name: four \nsize 6\n"};
  // Allocations 3 .. 6 are the four records.
  for (int record = 0; record < 4; ++record) {
    NumberedRun run = RunFailingAllocation(3 + record, ScriptManyProcesses);
    std::string expected = std::string(kBanner) +
                           "NativeQuerySuperFecthInformation failed c0000023\n"
                           "NativeQuerySuperFecthInformation failed c0000023\n";
    for (int before = 0; before < record; ++before) expected += printed[before];
    expected += "cannot allocate memory\nSetup Process Name Database failed ...\n";
    EXPECT_EQ(run.status, -1) << "record " << record;
    EXPECT_EQ(run.output, expected) << "record " << record;
    EXPECT_EQ(run.leaked, 0) << "record " << record;
    ASSERT_EQ(run.sites.size(), 4u + record) << "record " << record;
    EXPECT_EQ(run.sites.back(), kHeapSiteNameRecord);
  }
  NumberedRun clean = RunFailingAllocation(-1, ScriptManyProcesses);
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.sites.size(), 9u);
  EXPECT_NE(clean.output.find("0000000000005000 Active  list  Process Private  four  "),
            std::string::npos);
  EXPECT_EQ(clean.leaked, 0);
}

namespace {

// A system with one source answers the probe in full: no private-source
// buffer is made, and the record is the third and last allocation.
void ScriptProbeHoldsTheAnswer(ScriptedService* service) {
  ScriptDump(service, 4);
  service->AnswerBytes(0, 8 + 48, SourcesAnswer(1, {{2, 0x2c0, 0x1a, "init"}}));
}

}  // namespace

TEST(RunPfndb, TheRecordOfAFullProbeAnswerCanFailCleanly) {
  NumberedRun clean = RunFailingAllocation(-1, ScriptProbeHoldsTheAnswer);
  ASSERT_EQ(clean.status, 0);
  ASSERT_EQ(clean.sites,
            (std::vector<HeapSite>{kHeapSiteMemoryRanges, kHeapSitePfnRequest, kHeapSiteNameRecord,
                                   kHeapSiteNameIndex, kHeapSiteNameIndex}));
  NumberedRun run = RunFailingAllocation(2, ScriptProbeHoldsTheAnswer);
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(run.output, std::string(kBanner) +
                            "NativeQuerySuperFecthInformation failed c0000023\n"
                            "cannot allocate memory\nSetup Process Name Database failed ...\n");
  EXPECT_EQ(run.leaked, 0);
  EXPECT_EQ(clean.leaked, 0);
}

TEST(RunPfndb, FixedTextsAndUsage) {
  ScriptedService service;
  service.ProvideEntries(true, true);
  std::string out;
  EXPECT_EQ(RunCaptured(1, L"pfndb", &out), 0);
  EXPECT_EQ(out, std::string(kBanner) + "usage: pfndb -p Dump Pfn Database \n");
  EXPECT_EQ(RunCaptured(2, L"pfndb -c", &out), 0);
  EXPECT_EQ(out, std::string(kBanner) + " \n");
  EXPECT_EQ(RunCaptured(3, L"pfndb -a -p", &out), 0);
  EXPECT_EQ(out, std::string(kBanner) + "usage: pfndb -p Dump Pfn Database \n");
  EXPECT_EQ(RunCaptured(2, L"\"C:\\My Tools\\pfndb.exe\" -p", &out), 0);
  // The quoted path splits at its space; its second half takes the only
  // slot the count allows, so -p is never examined.
  EXPECT_EQ(out, "\"C:\\My  Copyright (C) 2026 The pfndb authors \n" +
                     std::string(kBanner).substr(
                         strlen("pfndb  Copyright (C) 2026 The pfndb authors \n")) +
                     "usage: \"C:\\My -p Dump Pfn Database \n");

  EXPECT_EQ(RunCaptured(2, L"pfndb -w", &out), 0);
  const std::string texts = out.substr(strlen(kBanner));
  // Two texts of eight lines, each closed by " \n", single-spaced throughout.
  size_t lines = 0;
  for (char c : texts) lines += c == '\n';
  EXPECT_EQ(lines, 16u);
  EXPECT_EQ(texts.find("  "), std::string::npos);
  EXPECT_EQ(texts.find("THERE IS NO WARRANTY FOR THE PROGRAM"), 0u);
  EXPECT_NE(texts.find("PROVIDE THE PROGRAM \"AS IS\" WITHOUT"), std::string::npos);
  EXPECT_NE(texts.find("CORRECTION. \nIN NO EVENT UNLESS REQUIRED"), std::string::npos);
  EXPECT_EQ(texts.substr(texts.size() - 10), "DAMAGES. \n");
  EXPECT_TRUE(service.calls().empty());
}

TEST(RunPfndb, WithoutAProgramTokenTheBannerAndUsageShowNothing) {
  ScriptedService service;
  service.ProvideEntries(true, true);
  std::string out;
  EXPECT_EQ(RunCaptured(0, L"", &out), 0);
  EXPECT_EQ(out.substr(0, 3), "  C");
  EXPECT_EQ(out.substr(out.size() - 30), "usage:  -p Dump Pfn Database \n");
}

TEST(RunPfndb, MissingEntriesFailEveryModeBeforeItActs) {
  {
    ScriptedService service;
    service.ProvideEntries(false, true);
    std::string out;
    EXPECT_EQ(RunCaptured(2, L"pfndb -w", &out), -1);
    EXPECT_EQ(out, std::string(kBanner) +
                       "cannot get adjust priviledge function pointer\n"
                       "failed to initialized ...\n");
  }
  {
    ScriptedService service;
    service.ProvideEntries(true, false);
    std::string out;
    EXPECT_EQ(RunCaptured(2, L"pfndb -c", &out), -1);
    EXPECT_EQ(out, std::string(kBanner) +
                       "cannot get access to NtQueryInformation\n"
                       "cannot initialize NtQuery pointer\n"
                       "failed to initialized ...\n");
    EXPECT_EQ(service.privilegeCalls().size(), 2u);
  }
}
