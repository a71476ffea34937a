// pfnstat --live against scripted services: every view equals the same view
// of the dump `pfndb -p` prints for the same answers, titles aside; each
// failing step gives its line.
#include "stat/live.h"

#include <gtest/gtest.h>

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
  // Each page's key, list and use (word 0 and 1) and virtual address.
  std::function<void(uint32_t page, PfnEntry* entry)> entry;
};

void PutEntry(PfnEntry* e, uint32_t key, uint32_t list, uint32_t use, uint32_t va) {
  e->word0 = key << 9 | list << 4 | use;
  e->word1 = key >> 23;
  e->virtualAddress = va;
}

// The queries of a run, in the order `pfndb -p` makes them.
enum Query { kBasic, kRangesProbe, kRangesFetch, kPfn, kSourcesProbe, kSourcesFetch, kNone };

// The answers of a whole `pfndb -p` run (or, live, of pfnstat --live's, which
// asks for the pages last, in one slice here), the one to failAt (if any)
// replaced by failure.
void Script(ScriptedService* s, const Machine& m, bool live, Query failAt = kNone,
            QueryStatus failure = 0) {
  const uint32_t rangeBytes = static_cast<uint32_t>(8 + 8 * m.ranges.size());
  const uint32_t sourceBytes = static_cast<uint32_t>(8 + 48 * m.sources.size());
  std::vector<std::function<void()>> answers = {
      [&] { s->AnswerHighestPage(m.highest); }, [&] { s->AnswerStatus(kTooSmall, rangeBytes); },
      [&] { s->AnswerBytes(0, rangeBytes, RangesAnswer(int32_t(m.ranges.size()), m.ranges)); },
      [&] {
        ScriptedAnswer pfn;
        pfn.fill = [m](void* data, uint32_t) {
          PfnRequest* request = static_cast<PfnRequest*>(data);
          PfnEntry* e = PfnEntries(request);
          for (uint32_t j = 0; j < request->entryCount; ++j) m.entry(e[j].pageFrameNumber, &e[j]);
        };
        s->Answer(pfn);
      },
      // At most one source fits the probe, which then holds the whole answer.
      [&] {
        if (m.sources.size() > 1) s->AnswerStatus(kTooSmall, sourceBytes);
      },
      [&] { s->AnswerBytes(0, sourceBytes, SourcesAnswer(int32_t(m.sources.size()), m.sources)); }};
  s->ProvideEntries(true, true);
  const Query dumpOrder[] = {kBasic, kRangesProbe,  kRangesFetch,
                             kPfn,   kSourcesProbe, kSourcesFetch};
  const Query liveOrder[] = {kBasic,        kRangesProbe,  kRangesFetch,
                             kSourcesProbe, kSourcesFetch, kPfn};
  for (Query query : live ? liveOrder : dumpOrder) {
    if (query == failAt) return s->AnswerStatus(failure, 0);
    answers[query]();
  }
}

struct Ran {
  int status;
  std::string out;
  std::string err;
};

std::string Contents(FILE* file) {
  std::string text(static_cast<size_t>(ftell(file)), '\0');
  rewind(file);
  EXPECT_EQ(fread(&text[0], 1, text.size(), file), text.size());
  fclose(file);
  return text;
}

Ran Stat(std::vector<std::string> args, const std::string& input) {
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  fwrite(input.data(), 1, input.size(), in);
  rewind(in);
  args.insert(args.begin(), "pfnstat");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  const int status = RunPfnstat(static_cast<int>(argv.size()), argv.data(), in, out, err);
  fclose(in);
  return Ran{status, Contents(out), Contents(err)};
}

void ExpectLiveEqualsDump(const Machine& m) {
  std::string dump;
  {
    ScriptedService service;
    Script(&service, m, false);
    ConsoleCapture capture;
    wchar_t command[] = L"pfndb -p";
    ASSERT_EQ(RunPfndbAndFlush(2, command), 0);
    dump = capture.Take();
  }
  for (std::vector<std::string> view : std::vector<std::vector<std::string>>{
           {}, {"--csv", "uses"}, {"--csv", "processes"}, {"--csv", "ranges"}}) {
    view.push_back("-");
    Ran dumped = Stat(view, dump);
    ASSERT_EQ(dumped.status, 0) << dumped.err;
    for (size_t at; (at = dumped.out.find("(standard input)")) != std::string::npos;)
      dumped.out.replace(at, 16, kLiveName);
    view.back() = "--live";
    ScriptedService service;
    Script(&service, m, true);
    const Ran live = Stat(view, "");
    EXPECT_EQ(live.status, 0);
    EXPECT_EQ(live.err, "");
    EXPECT_EQ(live.out, dumped.out);
    EXPECT_EQ(service.unanswered(), 0u);
  }
}

TEST(Live, EveryViewEqualsThatOfTheDumpOfTheSameAnswers) {
  // Keys with two records, with none, an empty name, names cut to 12 bytes
  // or exactly 12, a Latin-1 byte, a key with bit 23, a source that is no
  // process; every use, "No Value" among them, on every list.
  Machine owners = {0x40,
                    {{1, 9}, {0x20, 0}, {0x10, 0x18}},
                    {{2, 0x10, 1, "cmd.exe"},
                     {2, 0x20, 2, ""},
                     {2, 0x10, 3, "conhost.exe"},
                     {2, 0x30, 4, "averyveryverylongname.exe"},
                     {2, 0x40, 5, "twelve_bytes"},
                     {2, 0x50, 6, "b\xE9 \"x\","},
                     {1, 0x60, 7, "notaprocess"},
                     {2, 0x800001, 8, "high.exe"}},
                    [](uint32_t page, PfnEntry* e) {
                      const uint32_t keys[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x999, 0x800001};
                      const uint32_t use = page % 3 == 0 ? 0 : page % 16;
                      PutEntry(e, keys[page % 8], page / 3 % 8, use, page * 0x1000);
                    }};
  ExpectLiveEqualsDump(owners);
  // Without memory for the name index both search the list.
  SetHeapFailureHook([](HeapSite site) { return site == kHeapSiteNameIndex; });
  ExpectLiveEqualsDump(owners);
  SetHeapFailureHook(nullptr);
  // Pages above 4 GiB, ranges out of order, the last cut by the request's
  // room (highest page 16: 17 entries for 20 pages); no process, then one
  // whose record the probe brings.
  Machine high = {16, {{0x100000, 4}, {0xFFFFFFF0, 0x20}}, {}, [](uint32_t page, PfnEntry* e) {
                    PutEntry(e, page, page % 8, page % 2, 0);
                  }};
  ExpectLiveEqualsDump(high);
  high.sources = {{2, 0xFFFFFFF3, 1, "init"}};
  ExpectLiveEqualsDump(high);
}

HeapSite g_failing;

TEST(Live, EachFailingStepSaysWhichWithStatus2AndNothingOnStdout) {
  const Machine m = {
      8, {{1, 3}}, {{2, 4, 1, "a.exe"}, {2, 5, 1, "b.exe"}}, [](uint32_t page, PfnEntry* e) {
        PutEntry(e, 4, 0, 0, page);
      }};
  const std::string line = "pfnstat: cannot read this machine's page-frame database: ";
  const std::string elevated = "pfnstat: run it from an elevated console (as administrator)\n";
  const std::string ranges = "the physical ranges query failed (status ";
  const struct {
    bool adjust, query;
    Query failAt;
    uint32_t status;
    HeapSite failing;
    std::string err;
  } cases[] = {
      {false, true, kNone, 0, kHeapSiteOther, "no RtlAdjustPrivilege in ntdll\n"},
      {true, false, kNone, 0, kHeapSiteOther, "no NtQuerySystemInformation in ntdll\n"},
      {true, true, kBasic, 0xC0000022u, kHeapSiteOther, ranges + "c0000022)\n" + elevated},
      {true, true, kRangesFetch, 0xC000009Au, kHeapSiteOther, ranges + "c000009a)\n"},
      {true, true, kNone, 0, kHeapSiteMemoryRanges, "out of memory\n"},
      {true, true, kPfn, 0xC0000061u, kHeapSiteOther,
       "the page-frame query failed (status c0000061)\n" + elevated},
      {true, true, kNone, 0, kHeapSitePfnRequest, "out of memory\n"},
      {true, true, kSourcesProbe, 0xC0000001u, kHeapSiteOther,
       "the process list query failed (status c0000001)\n"},
      {true, true, kNone, 0, kHeapSitePrivateSources, "out of memory\n"},
      {true, true, kNone, 0, kHeapSiteNameRecord, "out of memory\n"},
  };
  for (const auto& c : cases) {
    const int64_t blocks = HeapLiveBlocks();
    ScriptedService service;
    Script(&service, m, true, c.failAt, static_cast<QueryStatus>(c.status));
    service.ProvideEntries(c.adjust, c.query);
    g_failing = c.failing;
    SetHeapFailureHook([](HeapSite site) { return site == g_failing && site != kHeapSiteOther; });
    const Ran ran = Stat({"--csv", "uses", "--live"}, "");
    SetHeapFailureHook(nullptr);
    EXPECT_EQ(ran.status, 2) << c.err;
    EXPECT_EQ(ran.out, "") << c.err;
    EXPECT_EQ(ran.err, line + c.err);
    EXPECT_EQ(HeapLiveBlocks(), blocks) << c.err;
  }
  // A request too large for 32 bits ends a step whose queries all succeeded.
  Machine huge = m;
  huge.highest = 0xFFFFFFFF;
  ScriptedService service;
  Script(&service, huge, true);
  EXPECT_EQ(Stat({"--live"}, "").err, line + ranges + "00000000)\n");
}

}  // namespace
