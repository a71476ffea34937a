// pfnstat --live against scripted services: every view equals the same view
// of the dump `pfndb -p` prints for the same answers, titles aside; each
// failing step gives its line.
#include "stat/live.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cli/pfndb.h"
#include "native/heap.h"
#include "stat/pfnstat.h"
#include "tests/scripted_service.h"

namespace {

const QueryStatus kTooSmall = static_cast<QueryStatus>(0xC0000023u);

struct Machine {
  uint32_t highest;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  std::vector<SourceSpec> sources;
  // Word 0's key, list and use and the virtual address of each page.
  std::function<void(uint32_t page, PfnEntry* entry)> entry;
};

void PutEntry(PfnEntry* e, uint32_t key, uint32_t list, uint32_t use, uint32_t va) {
  e->word0 = key << 9 | list << 4 | use;
  e->word1 = key >> 23;
  e->virtualAddress = va;
}

// The answers of a whole `pfndb -p` run, as the scripted service gives them.
void Script(ScriptedService* service, const Machine& m) {
  service->ProvideEntries(true, true);
  service->AnswerHighestPage(m.highest);
  const uint32_t rangeBytes = static_cast<uint32_t>(8 + 8 * m.ranges.size());
  service->AnswerStatus(kTooSmall, rangeBytes);
  service->AnswerBytes(0, rangeBytes,
                       RangesAnswer(static_cast<int32_t>(m.ranges.size()), m.ranges));
  ScriptedAnswer pfn;
  pfn.fill = [m](void* data, uint32_t) {
    PfnRequest* request = static_cast<PfnRequest*>(data);
    PfnEntry* e = PfnEntries(request);
    for (uint32_t j = 0; j < request->entryCount; ++j) m.entry(e[j].pageFrameNumber, &e[j]);
  };
  service->Answer(pfn);
  const uint32_t sourceBytes = static_cast<uint32_t>(8 + 48 * m.sources.size());
  const std::vector<uint8_t> sources =
      SourcesAnswer(static_cast<int32_t>(m.sources.size()), m.sources);
  // At most one source fits the probe, which then holds the whole answer.
  if (m.sources.size() > 1) service->AnswerStatus(kTooSmall, sourceBytes);
  service->AnswerBytes(0, sourceBytes, sources);
}

std::string Contents(FILE* file) {
  std::string text(static_cast<size_t>(ftell(file)), '\0');
  rewind(file);
  EXPECT_EQ(fread(&text[0], 1, text.size(), file), text.size());
  fclose(file);
  return text;
}

struct Ran {
  int status;
  std::string out;
  std::string err;
};

Ran Stat(std::vector<std::string> args, const std::string& input) {
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  fwrite(input.data(), 1, input.size(), in);
  rewind(in);
  args.insert(args.begin(), "pfnstat");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  Ran ran;
  ran.status = RunPfnstat(static_cast<int>(argv.size()), argv.data(), in, out, err);
  fclose(in);
  ran.out = Contents(out);
  ran.err = Contents(err);
  return ran;
}

std::string DumpOf(const Machine& m) {
  ScriptedService service;
  Script(&service, m);
  ConsoleCapture capture;
  wchar_t command[] = L"pfndb -p";
  EXPECT_EQ(RunPfndbAndFlush(2, command), 0);
  EXPECT_EQ(service.unanswered(), 0u);
  return capture.Take();
}

Ran Live(const Machine& m, const std::vector<std::string>& args, const std::string& input = "") {
  ScriptedService service;
  Script(&service, m);
  Ran ran = Stat(args, input);
  EXPECT_EQ(service.unanswered(), 0u);
  return ran;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string ReadBytes(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return "";
  fseek(file, 0, SEEK_END);
  return Contents(file);
}

// Every view, and the map unless it is left out, of --live against the
// dump's. (A map up to page 0xFFFFFFFF is 16 million pixels: the program
// test draws one of the stand-in's, above 4 GiB.)
void ExpectLiveEqualsDump(const Machine& m, bool withMap = true) {
  const std::string dump = DumpOf(m);
  ASSERT_NE(dump.find("Address        List"), std::string::npos) << dump;
  const std::vector<std::vector<std::string>> views = {
      {}, {"--csv", "uses"}, {"--csv", "processes"}, {"--csv", "ranges"}};
  for (const std::vector<std::string>& view : views) {
    std::vector<std::string> fromDump = view, fromLive = view;
    fromDump.push_back("-");
    fromLive.push_back("--live");
    const Ran dumped = Stat(fromDump, dump);
    const Ran live = Live(m, fromLive);
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    EXPECT_EQ(live.status, 0);
    EXPECT_EQ(live.err, "");
    EXPECT_EQ(Replaced(dumped.out, "(standard input)", kLiveName), live.out);
  }
  // The dump before the machine as it still is: nothing changed.
  const Ran same = Live(m, {"--csv", "uses", "-", "--live"}, dump);
  std::string zeros = same.out.substr(0, same.out.find('\n') + 1);
  for (const char* use : {"process_private", "mapped_file", "pagefile_mapped", "page_table",
                          "paged_pool", "nonpaged_pool", "system_pte", "session_private",
                          "metafile", "awe", "driver_locked", "kernel_stack", "unknown", "total"}) {
    zeros += std::string(use) + ",0,0,0,0,0,0,0,0,0\n";
  }
  EXPECT_EQ(same.out, zeros);
  if (!withMap) return;
  const std::string map = testing::TempDir() + "live_test_map.png";
  const Ran dumped = Stat({"--map", map + "1", "-"}, dump);
  const Ran live = Live(m, {"--map", map + "2", "--live"});
  ASSERT_EQ(dumped.status + live.status, 0) << live.err;
  EXPECT_EQ(ReadBytes(map + "1"), ReadBytes(map + "2"));
  EXPECT_GT(ReadBytes(map + "2").size(), 8u);
  remove((map + "1").c_str());
  remove((map + "2").c_str());
}

TEST(Live, EveryViewEqualsThatOfTheDumpOfTheSameAnswers) {
  // Keys with two records, with none, an empty name, names cut to 12 bytes
  // or exactly 12, a Latin-1 byte, a key with bit 23, a source that is no
  // process; every use, "No Value" among them, on every list.
  Machine owners;
  owners.highest = 0x40;
  owners.ranges = {{1, 9}, {0x20, 0}, {0x10, 0x18}};
  owners.sources = {{2, 0x10, 1, "cmd.exe"},      {2, 0x20, 2, ""},
                    {2, 0x10, 3, "conhost.exe"},  {2, 0x30, 4, "averyveryverylongname.exe"},
                    {2, 0x40, 5, "twelve_bytes"}, {2, 0x50, 6, "b\xE9 \"x\","},
                    {1, 0x60, 7, "notaprocess"},  {2, 0x800001, 8, "high.exe"}};
  owners.entry = [](uint32_t page, PfnEntry* e) {
    const uint32_t keys[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x999, 0x800001};
    const uint32_t use = page % 3 == 0 ? 0 : page % 16;
    PutEntry(e, keys[page % 8], page / 3 % 8, use, page * 0x1000);
  };
  ExpectLiveEqualsDump(owners);

  // Pages above 4 GiB, ranges out of order, the last cut by the request's
  // room (highest page 16: 17 entries for 20 pages), and no process.
  Machine high;
  high.highest = 16;
  high.ranges = {{0x100000, 4}, {0xFFFFFFF0, 0x20}};
  high.sources = {};
  high.entry = [](uint32_t page, PfnEntry* e) { PutEntry(e, page, page % 8, page % 2, 0); };
  ExpectLiveEqualsDump(high, false);

  // One process, whose record the probe brings.
  Machine one = high;
  one.sources = {{2, 0xFFFFFFF3, 1, "init"}};
  ExpectLiveEqualsDump(one, false);
}

TEST(Live, EachFailingStepSaysWhichWithStatus2AndNothingOnStdout) {
  const std::string line = "pfnstat: cannot read this machine's page-frame database: ";
  const std::string elevated = "pfnstat: run it from an elevated console (as administrator)\n";
  const QueryStatus denied = static_cast<QueryStatus>(0xC0000022u);
  const QueryStatus notHeld = static_cast<QueryStatus>(0xC0000061u);
  struct Case {
    const char* name;
    std::function<void(ScriptedService*)> script;
    HeapSite failing;
    std::string err;
  };
  auto ranges = [](ScriptedService* s) {
    s->ProvideEntries(true, true);
    s->AnswerHighestPage(8);
    s->AnswerStatus(kTooSmall, 16);
    s->AnswerBytes(0, 16, RangesAnswer(1, {{1, 3}}));
  };
  const Case cases[] = {
      {"no privilege entry", [](ScriptedService* s) { s->ProvideEntries(false, true); },
       kHeapSiteOther, line + "no RtlAdjustPrivilege in ntdll\n"},
      {"no query entry", [](ScriptedService* s) { s->ProvideEntries(true, false); }, kHeapSiteOther,
       line + "no NtQuerySystemInformation in ntdll\n"},
      {"class 0 denied",
       [&](ScriptedService* s) {
         s->ProvideEntries(true, true);
         s->AnswerStatus(denied, 0);
       },
       kHeapSiteOther, line + "the physical ranges query failed (status c0000022)\n" + elevated},
      {"ranges fetch fails",
       [&](ScriptedService* s) {
         s->ProvideEntries(true, true);
         s->AnswerHighestPage(8);
         s->AnswerStatus(kTooSmall, 16);
         s->AnswerStatus(static_cast<QueryStatus>(0xC000009Au), 16);
       },
       kHeapSiteOther, line + "the physical ranges query failed (status c000009a)\n"},
      {"no memory for the ranges",
       [&](ScriptedService* s) {
         s->ProvideEntries(true, true);
         s->AnswerHighestPage(8);
         s->AnswerStatus(kTooSmall, 16);
       },
       kHeapSiteMemoryRanges, line + "out of memory\n"},
      {"page-frame query not held",
       [&](ScriptedService* s) {
         ranges(s);
         s->AnswerStatus(notHeld, 0);
       },
       kHeapSiteOther, line + "the page-frame query failed (status c0000061)\n" + elevated},
      {"no memory for the request", ranges, kHeapSitePfnRequest, line + "out of memory\n"},
      {"process list fails",
       [&](ScriptedService* s) {
         ranges(s);
         s->AnswerStatus(0, 0);
         s->AnswerStatus(static_cast<QueryStatus>(0xC0000001u), 0);
       },
       kHeapSiteOther, line + "the process list query failed (status c0000001)\n"},
      {"no memory for a name",
       [&](ScriptedService* s) {
         ranges(s);
         s->AnswerStatus(0, 0);
         s->AnswerBytes(0, 56, SourcesAnswer(1, {{2, 4, 1, "a.exe"}}));
       },
       kHeapSiteNameRecord, line + "out of memory\n"},
  };
  static HeapSite g_failing;
  for (const Case& c : cases) {
    const int64_t blocks = HeapLiveBlocks();
    ScriptedService service;
    c.script(&service);
    g_failing = c.failing;
    SetHeapFailureHook([](HeapSite site) { return site == g_failing && site != kHeapSiteOther; });
    const Ran ran = Stat({"--csv", "uses", "--live"}, "");
    SetHeapFailureHook(nullptr);
    EXPECT_EQ(ran.status, 2) << c.name;
    EXPECT_EQ(ran.out, "") << c.name;
    EXPECT_EQ(ran.err, c.err) << c.name;
    EXPECT_EQ(service.unanswered(), 0u) << c.name;
    EXPECT_EQ(HeapLiveBlocks(), blocks) << c.name;
  }
}

}  // namespace
