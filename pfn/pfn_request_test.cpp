#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "native/heap.h"
#include "pfn/pfn.h"
#include "tests/scripted_service.h"

namespace {

struct Built {
  int result;
  PfnRequest* request = nullptr;
  ~Built() { ProcessHeapFree(request); }
};

const MemoryRangeInfo* Info(const std::vector<uint8_t>& image) {
  return reinterpret_cast<const MemoryRangeInfo*>(image.data());
}

// Keeps a copy of the request as the service saw it.
ScriptedAnswer Snapshot(std::vector<uint8_t>* seen) {
  ScriptedAnswer answer;
  answer.fill = [seen](void* data, uint32_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    seen->assign(bytes, bytes + length);
  };
  return answer;
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value;
  memcpy(&value, &bytes[offset], 4);
  return value;
}

bool g_failRequest = false;
bool FailRequest(HeapSite site) { return g_failRequest && site == kHeapSitePfnRequest; }

}  // namespace

TEST(SetUpPfnDatabase, NamesEveryPageOfTheWalkInOrder) {
  ScriptedService service;
  ConsoleCapture capture;
  std::vector<uint8_t> seen;
  service.Answer(Snapshot(&seen));
  std::vector<uint8_t> ranges = RangesAnswer(2, {{0, 4}, {5, 2}});
  Built built;
  built.result = SetUpPfnDatabase(256, Info(ranges), &built.request);
  ASSERT_EQ(built.result, 0);
  EXPECT_EQ(capture.Take(), "");

  ASSERT_EQ(service.calls().size(), 1u);
  EXPECT_EQ(service.calls()[0].subClass, 6u);
  EXPECT_EQ(service.calls()[0].dataLength, 256u);  // the whole buffer
  ASSERT_EQ(seen.size(), 256u);
  EXPECT_EQ(Word(seen, 0), 1u);
  EXPECT_EQ(Word(seen, 4), 1u);
  EXPECT_EQ(Word(seen, 8), 6u);
  const uint32_t pages[] = {0, 1, 2, 3, 5, 6};
  for (int j = 0; j < 6; ++j) EXPECT_EQ(Word(seen, 96 + 16 * j + 8), pages[j]) << "entry " << j;
  for (size_t at = 96 + 16 * 6; at < 256; ++at) EXPECT_EQ(seen[at], 0) << "byte " << at;
  for (size_t at = 12; at < 96; ++at) EXPECT_EQ(seen[at], 0) << "byte " << at;
}

TEST(SetUpPfnDatabase, WithNoRangesTheQueryIsStillMade) {
  ScriptedService service;
  ConsoleCapture capture;
  std::vector<uint8_t> seen;
  service.Answer(Snapshot(&seen));
  std::vector<uint8_t> ranges = RangesAnswer(-1, {{0, 4}});
  Built built;
  built.result = SetUpPfnDatabase(256, Info(ranges), &built.request);
  EXPECT_EQ(built.result, 0);
  EXPECT_EQ(Word(seen, 8), 0u);
  EXPECT_EQ(Word(seen, 96 + 8), 0u);
}

TEST(SetUpPfnDatabase, NeverWritesBeyondTheRequest) {
  ScriptedService service;
  ConsoleCapture capture;
  std::vector<uint8_t> seen;
  service.Answer(Snapshot(&seen));
  // Two ranges name 7 pages; 128 bytes hold two entries, one from each.
  std::vector<uint8_t> ranges = RangesAnswer(2, {{7, 1}, {0, 6}});
  Built built;
  built.result = SetUpPfnDatabase(128, Info(ranges), &built.request);
  ASSERT_EQ(built.result, 0);
  EXPECT_EQ(Word(seen, 8), 2u);
  EXPECT_EQ(Word(seen, 96 + 8), 7u);
  EXPECT_EQ(Word(seen, 112 + 8), 0u);
  EXPECT_EQ(PfnRequestEntriesFor(Info(ranges), 128), 2u);
  // Without room for the header nothing is made or asked.
  Built none;
  EXPECT_EQ(SetUpPfnDatabase(95, Info(ranges), &none.request), -1);
  EXPECT_EQ(service.calls().size(), 1u);
}

TEST(SetUpPfnDatabase, AnyNonZeroStatusFailsAndReleasesTheRequest) {
  const int64_t live = HeapLiveBlocks();
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerStatus(0x00000104, 0);  // even a warning
  std::vector<uint8_t> ranges = RangesAnswer(1, {{0, 2}});
  Built built;
  built.result = SetUpPfnDatabase(256, Info(ranges), &built.request);
  EXPECT_EQ(built.result, -1);
  EXPECT_EQ(built.request, nullptr);
  EXPECT_EQ(capture.Take(),
            "NativeQuerySuperFecthInformation failed 104\n"
            "NativeQuerySuperFecthInformation get pfn database failed\n");
  EXPECT_EQ(HeapLiveBlocks(), live);
}

TEST(SetUpPfnDatabase, AllocationFailureIsReported) {
  ScriptedService service;
  ConsoleCapture capture;
  g_failRequest = true;
  SetHeapFailureHook(FailRequest);
  std::vector<uint8_t> ranges = RangesAnswer(1, {{0, 2}});
  Built built;
  built.result = SetUpPfnDatabase(256, Info(ranges), &built.request);
  SetHeapFailureHook(nullptr);
  g_failRequest = false;
  EXPECT_EQ(built.result, -1);
  EXPECT_EQ(built.request, nullptr);
  EXPECT_EQ(capture.Take(), "Memory allocation failed from heap\n");
  EXPECT_TRUE(service.calls().empty());
}
