#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "native/heap.h"
#include "pfn/pfn.h"
#include "tests/scripted_service.h"

namespace {

const QueryStatus kTooSmall = static_cast<QueryStatus>(0xC0000023u);

uint32_t BytesFor(size_t records) { return static_cast<uint32_t>(8 + 48 * records); }

// Walks the list both ways and checks each record is linked exactly once.
std::vector<uint32_t> Keys(const ProcessNameList& list) {
  std::vector<uint32_t> forward, backward;
  for (const ProcessNameLinks* l = list.head.next; l != &list.head; l = l->next) {
    forward.push_back(ProcessNameRecordOf(l)->key);
    EXPECT_EQ(l->next->previous, l);
    if (forward.size() > 10000) break;
  }
  for (const ProcessNameLinks* l = list.head.previous; l != &list.head; l = l->previous) {
    backward.insert(backward.begin(), ProcessNameRecordOf(l)->key);
    if (backward.size() > 10000) break;
  }
  EXPECT_EQ(forward, backward);
  return forward;
}

struct Names {
  ProcessNameList list;
  int result = 0;
  Names() { ProcessNameListInit(&list); }
  ~Names() { ProcessNameListRelease(&list); }
};

int g_failRecordAt = -1;  // which name-record allocation fails, counting from 0
int g_recordAllocations = 0;
bool g_failSources = false;
bool FailSome(HeapSite site) {
  if (site == kHeapSitePrivateSources) return g_failSources;
  if (site == kHeapSiteNameRecord) return g_recordAllocations++ == g_failRecordAt;
  return false;
}

}  // namespace

TEST(SetupProcessNameDatabase, KeepsProcessesInServiceOrderAndSkipsOtherSources) {
  ScriptedService service;
  ConsoleCapture capture;
  std::vector<SourceSpec> sources = {{1, 0x10, 1, "PagedPool"},
                                     {2, 0x2c0, 0x1a, "init"},
                                     {3, 0x11, 1, "Session"},
                                     {2, 0x508, 0x148, "explorer.exe"},
                                     {2, 0x53c, 0xc6, "SearchIndexer.exe"},
                                     {2, 0x2c0, 0x2, "twin"},
                                     {0, 0x12, 1, "Other"}};
  service.AnswerStatus(kTooSmall, BytesFor(sources.size()));
  service.AnswerBytes(0, BytesFor(sources.size()), SourcesAnswer(7, sources));
  Names names;
  names.result = SetupProcessNameDatabase(&names.list);
  ASSERT_EQ(names.result, 0);
  EXPECT_EQ(capture.Take(),
            "NativeQuerySuperFecthInformation failed c0000023\n"
            "Client ID 2C0 Name: init \nsize 1a\n"
            "Client ID 508 Name: explorer.exe \nsize 148\n"
            "Client ID 53C Name: SearchIndexe \nsize c6\n"
            "Client ID 2C0 Name: twin \nsize 2\n");
  EXPECT_EQ(Keys(names.list), (std::vector<uint32_t>{0x2c0, 0x508, 0x53c, 0x2c0}));

  ASSERT_EQ(service.calls().size(), 2u);
  EXPECT_EQ(service.calls()[0].subClass, 8u);
  EXPECT_EQ(service.calls()[0].dataLength, 56u);
  EXPECT_EQ(service.calls()[0].dataFirstWord, 3u);
  EXPECT_EQ(service.calls()[1].dataLength, BytesFor(7));
  EXPECT_EQ(service.calls()[1].dataFirstWord, 3u);
}

TEST(SetupProcessNameDatabase, NoSourcesLeaveTheListEmpty) {
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerStatus(kTooSmall, 8);
  service.AnswerBytes(0, 8, SourcesAnswer(0, {}));
  Names names;
  EXPECT_EQ(SetupProcessNameDatabase(&names.list), 0);
  EXPECT_TRUE(ProcessNameListEmpty(&names.list));
  EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed c0000023\n");
}

TEST(SetupProcessNameDatabase, ASuccessfulProbeAlreadyHoldsTheAnswer) {
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerBytes(0, BytesFor(1), SourcesAnswer(1, {{2, 0x4, 0x10, "System"}}));
  Names names;
  EXPECT_EQ(SetupProcessNameDatabase(&names.list), 0);
  EXPECT_EQ(capture.Take(), "Client ID 4 Name: System \nsize 10\n");
  EXPECT_EQ(Keys(names.list), (std::vector<uint32_t>{0x4}));
  EXPECT_EQ(service.calls().size(), 1u);
}

TEST(SetupProcessNameDatabase, ProbeFailures) {
  {
    ScriptedService service;
    ConsoleCapture capture;
    service.AnswerStatus(static_cast<QueryStatus>(0xC0000022u), 0);
    Names names;
    EXPECT_EQ(SetupProcessNameDatabase(&names.list), -1);
    EXPECT_EQ(capture.Take(),
              "NativeQuerySuperFecthInformation failed c0000022\n"
              "NativeQuerySuperFecthInformation get process database failed C0000022 \n");
  }
  {
    // Too small a size to hold even the header: nothing is fetched, and
    // the failure adds no message of its own, whether the probe "failed"
    // as expected or succeeded.
    ScriptedService service;
    ConsoleCapture capture;
    service.AnswerStatus(kTooSmall, 4);
    service.AnswerStatus(0, 7);
    Names names;
    EXPECT_EQ(SetupProcessNameDatabase(&names.list), -1);
    EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed c0000023\n");
    EXPECT_EQ(SetupProcessNameDatabase(&names.list), -1);
    EXPECT_EQ(capture.Take(), "");
    EXPECT_EQ(service.calls().size(), 2u);
  }
}

TEST(SetupProcessNameDatabase, FetchFailureReleasesTheBuffer) {
  const int64_t live = HeapLiveBlocks();
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerStatus(kTooSmall, BytesFor(3));
  service.AnswerStatus(static_cast<QueryStatus>(0xC0000023u), BytesFor(4));
  Names names;
  EXPECT_EQ(SetupProcessNameDatabase(&names.list), -1);
  EXPECT_EQ(capture.Take(),
            "NativeQuerySuperFecthInformation failed c0000023\n"
            "NativeQuerySuperFecthInformation failed c0000023\n"
            "NativeQuerySuperFecthInformation get process database failed C0000023 \n");
  EXPECT_EQ(HeapLiveBlocks(), live);
}

TEST(SetupProcessNameDatabase, RecordsAreReadOnlyWithinTheReportedBytes) {
  ScriptedService service;
  ConsoleCapture capture;
  std::vector<SourceSpec> sources = {{2, 1, 1, "a"}, {2, 2, 2, "b"}, {2, 3, 3, "c"}};
  service.AnswerStatus(kTooSmall, BytesFor(3));
  // Promises a million records; says two were written.
  service.AnswerBytes(0, BytesFor(2), SourcesAnswer(1000000, sources));
  Names names;
  EXPECT_EQ(SetupProcessNameDatabase(&names.list), 0);
  EXPECT_EQ(Keys(names.list), (std::vector<uint32_t>{1, 2}));
  // Counts one record in bytes that hold three; then says it wrote more
  // than the buffer holds.
  for (int32_t count : {1, 5}) {
    service.AnswerStatus(kTooSmall, BytesFor(3));
    service.AnswerBytes(0, BytesFor(count == 1 ? 3 : 5), SourcesAnswer(count, sources));
    Names more;
    EXPECT_EQ(SetupProcessNameDatabase(&more.list), 0);
    EXPECT_EQ(Keys(more.list).size(), count == 1 ? 1u : 3u);
  }
}

TEST(SetupProcessNameDatabase, FailedRecordAllocationKeepsEarlierRecords) {
  const int64_t live = HeapLiveBlocks();
  {
    ScriptedService service;
    ConsoleCapture capture;
    std::vector<SourceSpec> sources = {{2, 1, 1, "a"}, {2, 2, 2, "b"}, {2, 3, 3, "c"}};
    service.AnswerStatus(kTooSmall, BytesFor(3));
    service.AnswerBytes(0, BytesFor(3), SourcesAnswer(3, sources));
    g_failRecordAt = 1;
    g_recordAllocations = 0;
    SetHeapFailureHook(FailSome);
    Names names;
    int result = SetupProcessNameDatabase(&names.list);
    SetHeapFailureHook(nullptr);
    g_failRecordAt = -1;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(capture.Take(),
              "NativeQuerySuperFecthInformation failed c0000023\n"
              "Client ID 1 Name: a \nsize 1\n"
              "cannot allocate memory\n");
    EXPECT_EQ(Keys(names.list), (std::vector<uint32_t>{1}));
  }
  EXPECT_EQ(HeapLiveBlocks(), live);
}

TEST(SetupProcessNameDatabase, BufferAllocationFailureIsSilent) {
  ScriptedService service;
  ConsoleCapture capture;
  service.AnswerStatus(kTooSmall, BytesFor(3));
  g_failSources = true;
  SetHeapFailureHook(FailSome);
  Names names;
  int result = SetupProcessNameDatabase(&names.list);
  SetHeapFailureHook(nullptr);
  g_failSources = false;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(capture.Take(), "NativeQuerySuperFecthInformation failed c0000023\n");
}

TEST(MakeProcessNameRecord, OnlyProcessesMakeRecords) {
  ConsoleCapture capture;
  std::vector<uint8_t> image = SourcesAnswer(2, {{5, 7, 7, "pool"}, {2, 0x2c0, 0x1a, "init"}});
  PrivateSource records[2];
  for (uint32_t r = 0; r < 2; ++r)
    ReadPrivateSource(image.data(), Format::kSourceLayouts[0], r, &records[r]);
  ProcessNameRecord* record = nullptr;
  EXPECT_EQ(MakeProcessNameRecord(&records[0], &record), 0);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(capture.Take(), "");
  ASSERT_EQ(MakeProcessNameRecord(&records[1], &record), 0);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->key, 0x2c0u);
  EXPECT_EQ(record->size, 0x1au);
  EXPECT_EQ(std::string(record->imageName, 4), "init");
  EXPECT_EQ(record->links.next, &record->links);
  EXPECT_EQ(record->links.previous, &record->links);
  EXPECT_EQ(capture.Take(), "Client ID 2C0 Name: init \nsize 1a\n");
  RuntimeFree(record);
}
