#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "native/heap.h"
#include "pfn/pfn.h"
#include "tests/scripted_service.h"

namespace {

const QueryStatus kTooSmall = static_cast<QueryStatus>(0xC0000023u);

struct Fetched {
  int result;
  uint32_t requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  ~Fetched() { RuntimeFree(ranges); }
};

void Fetch(Fetched* out) { out->result = GetMemoryRanges(&out->requestSize, &out->ranges); }

std::vector<std::pair<uint32_t, uint32_t>> Walk(const MemoryRangeInfo* info) {
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  RangeWalk walk;
  RangeWalkStart(&walk, info);
  uint32_t first, count;
  while (RangeWalkNextRun(&walk, &first, &count)) runs.push_back({first, count});
  return runs;
}

bool g_failRanges = false;
bool FailRanges(HeapSite site) { return g_failRanges && site == kHeapSiteMemoryRanges; }

}  // namespace

TEST(GetMemoryRanges, ProbeThenFetchPrintsOneLineAndSizesTheRequest) {
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerHighestPage(9);
  service.AnswerStatus(kTooSmall, 24);
  service.AnswerBytes(0, 24, RangesAnswer(2, {{0, 4}, {5, 2}}));
  Fetched fetched;
  Fetch(&fetched);
  ASSERT_EQ(fetched.result, 0);
  EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed c0000023\n");
  EXPECT_EQ(fetched.requestSize, 256u);  // 96-byte header and ten entries
  EXPECT_EQ(fetched.ranges->rangeCount, 2);

  const std::vector<ScriptedCall>& calls = service.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].infoClass, 0u);
  EXPECT_EQ(calls[0].bufferLength, 44u);
  EXPECT_EQ(calls[1].infoClass, 79u);
  EXPECT_EQ(calls[1].version, 45u);
  EXPECT_EQ(calls[1].magic, 0x6B756843u);
  EXPECT_EQ(calls[1].subClass, 17u);
  EXPECT_FALSE(calls[1].hasData);
  EXPECT_EQ(calls[1].dataLength, 16u);
  EXPECT_EQ(calls[1].returnLengthOnEntry, 20u);
  EXPECT_EQ(calls[2].subClass, 17u);
  EXPECT_TRUE(calls[2].hasData);
  EXPECT_EQ(calls[2].dataLength, 24u);
  EXPECT_EQ(calls[2].dataFirstWord, 1u);
}

TEST(GetMemoryRanges, FailuresReportTheirStatusAndReleaseTheBuffer) {
  const int64_t live = HeapLiveBlocks();
  {
    ScriptedService service;
    ConsoleCapture capture;
    service.AnswerStatus(static_cast<QueryStatus>(0xC0000022u), 0);
    Fetched fetched;
    Fetch(&fetched);
    EXPECT_EQ(fetched.result, -1);
    EXPECT_EQ(capture.Take(), "NativeQueryBasicInformation failed c0000022\n");
    EXPECT_EQ(service.calls().size(), 1u);
    EXPECT_EQ(HeapLiveBlocks(), live);
  }
  {
    ScriptedService service;
    ConsoleCapture capture;
    service.AnswerHighestPage(9);
    service.AnswerStatus(kTooSmall, 24);
    service.AnswerStatus(static_cast<QueryStatus>(0xC000009Au), 24);
    Fetched fetched;
    Fetch(&fetched);
    EXPECT_EQ(fetched.result, -1);
    EXPECT_EQ(fetched.ranges, nullptr);
    EXPECT_EQ(capture.Take(),
              "NativeQuerySuperFecthInformation failed c0000023\n"
              "NativeQuerySuperFecthInformation failed c000009a\n");
    EXPECT_EQ(HeapLiveBlocks(), live);
  }
  {
    ScriptedService service;
    ConsoleCapture capture;
    g_failRanges = true;
    SetHeapFailureHook(FailRanges);
    service.AnswerHighestPage(9);
    service.AnswerStatus(kTooSmall, 24);
    Fetched fetched;
    Fetch(&fetched);
    SetHeapFailureHook(nullptr);
    g_failRanges = false;
    EXPECT_EQ(fetched.result, -1);
    EXPECT_EQ(capture.Take(),
              "NativeQuerySuperFecthInformation failed c0000023\n"
              "Memory allocation failed \n");
  }
}

TEST(GetMemoryRanges, TheFetchFailsOnlyOnANegativeStatus) {
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerHighestPage(9);
  service.AnswerStatus(0, 16);
  // STATUS_BUFFER_OVERFLOW is called a warning but is negative as a status.
  service.AnswerBytes(static_cast<QueryStatus>(0x80000005u), 16, RangesAnswer(1, {{0, 10}}));
  Fetched fetched;
  Fetch(&fetched);
  EXPECT_EQ(fetched.result, -1);
  EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed 80000005\n");

  ScriptedService warned;
  warned.AnswerHighestPage(9);
  warned.AnswerStatus(0, 16);
  warned.AnswerBytes(0x00000104, 16, RangesAnswer(1, {{0, 10}}));
  Fetched accepted;
  Fetch(&accepted);
  EXPECT_EQ(accepted.result, 0);
  EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed 104\n");
  EXPECT_EQ(accepted.ranges->rangeCount, 1);
}

TEST(GetMemoryRanges, AProbeWithoutRoomForTheHeaderFailsBeforeAllocating) {
  // Wine answers class 79 with 0xC0000003 and leaves a length of 0.
  const int64_t live = HeapLiveBlocks();
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerHighestPage(9);
  service.AnswerStatus(static_cast<QueryStatus>(0xC0000003u), 0);
  Fetched fetched;
  Fetch(&fetched);
  EXPECT_EQ(fetched.result, -1);
  EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed c0000003\n");
  EXPECT_EQ(service.calls().size(), 2u);
  EXPECT_EQ(HeapLiveBlocks(), live);
}

TEST(GetMemoryRanges, RangeCountNeverPromisesMoreThanTheFilledBytes) {
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerHighestPage(100);
  service.AnswerStatus(kTooSmall, 24);
  // Claims 50 ranges in a 24-byte answer, and reports only 20 bytes filled:
  // one range and half of another.
  service.AnswerBytes(0, 20, RangesAnswer(50, {{0, 4}, {8, 4}}));
  Fetched fetched;
  Fetch(&fetched);
  ASSERT_EQ(fetched.result, 0);
  EXPECT_EQ(fetched.ranges->rangeCount, 1);
  EXPECT_EQ(Walk(fetched.ranges), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 4}}));

  // Reports more bytes than the buffer holds: only the buffer counts.
  service.AnswerHighestPage(100);
  service.AnswerStatus(kTooSmall, 24);
  service.AnswerBytes(0, 48, RangesAnswer(50, {{0, 4}, {8, 4}}));
  Fetched beyond;
  Fetch(&beyond);
  ASSERT_EQ(beyond.result, 0);
  EXPECT_EQ(beyond.ranges->rangeCount, 2);
}

TEST(GetMemoryRanges, ARequestSizeBeyond32BitsFails) {
  const int64_t live = HeapLiveBlocks();
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerHighestPage(0x0FFFFFFA);  // (0x0FFFFFFA + 7) * 16 > 0xFFFFFFFF
  service.AnswerStatus(kTooSmall, 16);
  service.AnswerBytes(0, 16, RangesAnswer(1, {{0, 4}}));
  Fetched fetched;
  Fetch(&fetched);
  EXPECT_EQ(fetched.result, -1);
  EXPECT_EQ(HeapLiveBlocks(), live);

  ScriptedService fits;
  fits.AnswerHighestPage(0x0FFFFFF8);
  fits.AnswerStatus(kTooSmall, 16);
  fits.AnswerBytes(0, 16, RangesAnswer(1, {{0, 4}}));
  Fetched largest;
  Fetch(&largest);
  EXPECT_EQ(largest.result, 0);
  EXPECT_EQ(largest.requestSize, 0xFFFFFFF0u);
}

TEST(RangeWalk, VisitsEveryRangeAsFirstPageAndCount) {
  std::vector<uint8_t> image = RangesAnswer(4, {{1, 2}, {10, 0}, {20, 3}, {0xFFFFFFFE, 5}});
  const MemoryRangeInfo* info = reinterpret_cast<const MemoryRangeInfo*>(image.data());
  // An empty range yields nothing; the last stops at page 0xFFFFFFFF.
  EXPECT_EQ(Walk(info),
            (std::vector<std::pair<uint32_t, uint32_t>>{{1, 2}, {20, 3}, {0xFFFFFFFE, 2}}));
  EXPECT_EQ(RangeWalkPageCount(info), 7u);
}

TEST(RangeWalk, ANonPositiveCountVisitsNothing) {
  std::vector<uint8_t> none = RangesAnswer(0, {{1, 2}});
  std::vector<uint8_t> negative = RangesAnswer(-3, {{1, 2}});
  EXPECT_TRUE(Walk(reinterpret_cast<const MemoryRangeInfo*>(none.data())).empty());
  EXPECT_TRUE(Walk(reinterpret_cast<const MemoryRangeInfo*>(negative.data())).empty());
}

// Version 1 refused (either way a system refuses a version): version 2,
// whose ranges follow a 12-byte header here, in a block as large as it
// says it needs; when it is refused too, the first refusal is told.
TEST(GetMemoryRanges, Version2WhenVersion1IsRefused) {
  std::vector<uint8_t> v2(28, 0);
  const uint32_t words[] = {2, 0, 2, 0, 4, 5, 2};  // version, flags, count, two ranges
  memcpy(v2.data(), words, sizeof(words));
  const struct {
    QueryStatus refusal;
    uint32_t probed;    // the size the probe reports, version 1's
    bool askedForMore;  // version 2 first answers that it needs more room
    QueryStatus second;
    const char* out;
  } cases[] = {
      {static_cast<QueryStatus>(0xC0000004u), 24, false, 0, ""},
      {static_cast<QueryStatus>(0xC000000Du), 16, true, 0, ""},
      {static_cast<QueryStatus>(0xC0000004u), 24, false, static_cast<QueryStatus>(0xC000000Du),
       "NativeQuerySuperFecthInformation failed c0000004\n"},
  };
  for (const auto& c : cases) {
    ScriptedService service;
    ConsoleCapture capture;
    service.AnswerHighestPage(9);
    service.AnswerStatus(kTooSmall, c.probed);
    service.AnswerStatus(c.refusal, c.probed);
    if (c.askedForMore) service.AnswerStatus(kTooSmall, 28);
    service.AnswerBytes(c.second, 28, v2);
    Fetched fetched;
    Fetch(&fetched);
    EXPECT_EQ(capture.Take(),
              "NativeQuerySuperFecthInformation failed c0000023\n" + std::string(c.out));
    EXPECT_EQ(service.unanswered(), 0u);
    if (c.second != 0) {
      EXPECT_EQ(fetched.result, -1);
      continue;
    }
    ASSERT_EQ(fetched.result, 0);
    EXPECT_EQ(Walk(fetched.ranges), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 4}, {5, 2}}));
    EXPECT_EQ(service.calls().back().dataFirstWord, 2u);
    EXPECT_GE(service.calls().back().dataLength, 28u);
  }
}
