#include "standin/machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"
#include "report/report.h"
#include "tests/scripted_service.h"

namespace {

// Runs the three queries against the selected stand-in machine.
struct Dumped {
  uint32_t requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;
  std::string messages;

  explicit Dumped(const StandinMachine* machine) {
    StandinSelectMachine(machine);
    g_NtQuerySystemInformation = StandinNtQuerySystemInformation;
    ProcessNameListInit(&names);
    ConsoleCapture capture;
    EXPECT_EQ(GetMemoryRanges(&requestSize, &ranges), 0);
    EXPECT_EQ(SetUpPfnDatabase(requestSize, ranges, &request), 0);
    EXPECT_EQ(SetupProcessNameDatabase(&names), 0);
    messages = capture.Take();
  }
  ~Dumped() {
    ProcessNameListRelease(&names);
    RuntimeFree(ranges);
    ProcessHeapFree(request);
    g_NtQuerySystemInformation = nullptr;
    StandinSelectMachine(nullptr);
  }
  uint32_t entries() const { return PfnRequestEntriesFor(ranges, requestSize); }
};

}  // namespace

TEST(StandinMachine, DefaultMachineLooksLikeAPc) {
  Dumped dump(StandinDefaultMachine());
  ASSERT_NE(dump.request, nullptr);
  EXPECT_GE(dump.ranges->rangeCount, 4);
  bool above4GiB = false;
  const PhysicalRange* ranges = MemoryRanges(dump.ranges);
  for (int k = 0; k < dump.ranges->rangeCount; ++k) above4GiB |= ranges[k].firstPage >= 0x100000;
  EXPECT_TRUE(above4GiB);
  uint64_t megabytes = RangeWalkPageCount(dump.ranges) * 4096 / (1 << 20);
  EXPECT_GE(megabytes, 200u);
  EXPECT_LE(megabytes, 900u);
  EXPECT_EQ(dump.messages.find("NativeQuerySuperFecthInformation failed c0000023\n"
                               "NativeQuerySuperFecthInformation failed c0000023\n"),
            0u);

  std::set<uint32_t> keys;
  int processes = 0;
  for (const ProcessNameLinks* l = dump.names.head.next; l != &dump.names.head; l = l->next) {
    ++processes;
    keys.insert(ProcessNameRecordOf(l)->key);
  }
  EXPECT_GE(processes, 25);
  EXPECT_LT(keys.size(), static_cast<size_t>(processes));  // a shared key
  EXPECT_EQ(keys.count(0x00800a3c), 1u);                   // key bit 23
  EXPECT_NE(dump.messages.find("Name: SearchIndexe \n"), std::string::npos);

  std::set<uint32_t> lists, uses;
  int unmatched = 0, bit23 = 0;
  const PfnEntry* entries = PfnEntries(dump.request);
  for (uint32_t j = 0; j < dump.entries(); ++j) {
    const PfnEntry& entry = entries[j];
    lists.insert(PageListIndex(entry));
    uses.insert(PageUseIndex(entry));
    if (PageUseIndex(entry) != 0) continue;
    if (PageListIndex(entry) != 0 && PageListIndex(entry) != 1 && PageListIndex(entry) != 5) {
      EXPECT_LT(entry.virtualAddress, 0x80000000u) << "page " << entry.pageFrameNumber;
    }
    uint32_t key = ProcessKey(entry);
    unmatched += keys.count(key) == 0;
    bit23 += key == 0x00800a3c;
  }
  EXPECT_EQ(lists.size(), 8u);
  EXPECT_EQ(uses.size(), 16u);
  EXPECT_GT(unmatched, 0);
  EXPECT_GT(bit23, 0);
}

TEST(StandinMachine, AnswersDependOnlyOnThePage) {
  Dumped first(StandinDefaultMachine());
  std::vector<PfnEntry> a(PfnEntries(first.request), PfnEntries(first.request) + first.entries());
  Dumped second(StandinDefaultMachine());
  ASSERT_EQ(second.entries(), a.size());
  EXPECT_EQ(memcmp(a.data(), PfnEntries(second.request), a.size() * sizeof(PfnEntry)), 0);
}

TEST(StandinMachine, ScalesToTheAskedSize) {
  StandinMachine* machine = StandinCreateMachine(300000, 200);
  ASSERT_NE(machine, nullptr);
  {
    Dumped dump(machine);
    EXPECT_EQ(RangeWalkPageCount(dump.ranges), 300000u);
    EXPECT_EQ(dump.entries(), 300000u);
    int processes = 0;
    for (const ProcessNameLinks* l = dump.names.head.next; l != &dump.names.head; l = l->next)
      ++processes;
    EXPECT_EQ(processes, 200);
  }
  StandinDestroyMachine(machine);
  EXPECT_EQ(StandinCreateMachine(0, 10), nullptr);
}

TEST(StandinMachine, LargeMachinesHaveEveryPageOnce) {
  // 64 GiB and 16 GiB: the ranges must not overlap, so the walk names each
  // page once and the request sized from the highest page holds them all.
  for (uint32_t pages : {16777216u, 4194304u, 300000u}) {
    StandinMachine* machine = StandinCreateMachine(pages, 200);
    ASSERT_NE(machine, nullptr);
    std::vector<uint32_t> answer(2 + 2 * 8, 0);
    answer[0] = 1;
    SuperfetchInformation envelope;
    MakeSuperfetchInformation(&envelope, kSuperfetchMemoryRangesQuery, answer.data(),
                              static_cast<uint32_t>(answer.size() * 4));
    uint32_t length = 0;
    ASSERT_EQ(StandinQuery(machine, 79, &envelope, sizeof(envelope), &length), kStatusSuccess);
    const MemoryRangeInfo* info = reinterpret_cast<const MemoryRangeInfo*>(answer.data());
    const PhysicalRange* ranges = MemoryRanges(info);
    uint64_t total = 0, highest = 0;
    for (int k = 0; k < info->rangeCount; ++k) {
      total += ranges[k].pageCount;
      highest =
          std::max<uint64_t>(highest, uint64_t{ranges[k].firstPage} + ranges[k].pageCount - 1);
      if (k > 0) {
        EXPECT_GE(ranges[k].firstPage, uint64_t{ranges[k - 1].firstPage} + ranges[k - 1].pageCount)
            << pages << " pages, range " << k;
      }
    }
    EXPECT_EQ(total, pages);
    SystemBasicInformation basic;
    ASSERT_EQ(StandinQuery(machine, 0, &basic, sizeof(basic), &length), kStatusSuccess);
    EXPECT_EQ(basic.highestPhysicalPageNumber, highest);
    EXPECT_GE(basic.highestPhysicalPageNumber + 1, uint64_t{pages});
    StandinDestroyMachine(machine);
  }
}

TEST(StandinMachine, RejectsMalformedRequests) {
  const StandinMachine* machine = StandinDefaultMachine();
  uint32_t length = 0;
  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchMemoryRangesQuery, nullptr, 16);
  EXPECT_EQ(StandinQuery(machine, 79, &envelope, sizeof(envelope) - 4, &length),
            static_cast<QueryStatus>(0xC0000004u));
  envelope.magic = 0;
  EXPECT_EQ(StandinQuery(machine, 79, &envelope, sizeof(envelope), &length),
            static_cast<QueryStatus>(0xC000000Du));
  EXPECT_EQ(StandinQuery(machine, 5, &envelope, sizeof(envelope), &length),
            static_cast<QueryStatus>(0xC0000003u));
  // A request whose count overstates its buffer is refused, not overrun.
  std::vector<uint32_t> request(24 + 4, 0);
  request[0] = 1;
  request[2] = 1000;
  MakeSuperfetchInformation(&envelope, kSuperfetchPfnQuery, request.data(), 112);
  EXPECT_EQ(StandinQuery(machine, 79, &envelope, sizeof(envelope), &length),
            static_cast<QueryStatus>(0xC0000004u));
}

TEST(StandinMachine, SettingsNameTheMachineOrARefusal) {
  const StandinMachine* machine = nullptr;
  std::string reason;
  ASSERT_EQ(StandinMachineFromSettings(nullptr, nullptr, nullptr, nullptr, &machine, &reason), 0);
  EXPECT_EQ(machine, StandinDefaultMachine());
  ASSERT_EQ(StandinMachineFromSettings(nullptr, nullptr, "0", nullptr, &machine, &reason), 0);
  EXPECT_EQ(machine, StandinDefaultMachine());

  ASSERT_EQ(StandinMachineFromSettings("300000", "7", nullptr, nullptr, &machine, &reason), 0);
  {
    Dumped dump(machine);
    EXPECT_EQ(dump.entries(), 300000u);
    EXPECT_EQ(std::count(dump.messages.begin(), dump.messages.end(), '\n'), 2 + 2 * 7);
  }
  StandinDestroyMachine(const_cast<StandinMachine*>(machine));

  // Never a silent default: each of these names no machine.
  const char* const badPages[] = {"", "12x", "-1", " 5", "0", "4294967296", "99999999999999999999"};
  for (const char* pages : badPages) {
    reason.clear();
    EXPECT_EQ(StandinMachineFromSettings(pages, nullptr, nullptr, nullptr, &machine, &reason), -1)
        << pages;
    EXPECT_EQ(machine, nullptr);
    EXPECT_EQ(reason.find(std::string("PFNDB_STANDIN_PAGES=") + pages + " "), 0u) << reason;
  }
  EXPECT_EQ(StandinMachineFromSettings(nullptr, "65537", nullptr, nullptr, &machine, &reason), -1);
  EXPECT_EQ(StandinMachineFromSettings(nullptr, nullptr, "2", nullptr, &machine, &reason), -1);
  EXPECT_EQ(reason, "PFNDB_STANDIN_LATER=2 is not 0 or 1");
  EXPECT_EQ(StandinMachineFromSettings(nullptr, nullptr, nullptr, "Even", &machine, &reason), -1);
  EXPECT_EQ(reason, "PFNDB_STANDIN_OWNERS=Even is not weighted or even");
}

TEST(StandinMachine, EvenOwnersHoldAlikeShares) {
  const StandinMachine* even = nullptr;
  std::string reason;
  ASSERT_EQ(StandinMachineFromSettings(nullptr, nullptr, nullptr, "even", &even, &reason), 0);
  {
    Dumped dump(even);
    std::map<uint32_t, uint32_t> pages;  // private pages by owner key
    const PfnEntry* entries = PfnEntries(dump.request);
    for (uint32_t j = 0; j < dump.entries(); ++j)
      if (PageUseIndex(entries[j]) == 0) ++pages[ProcessKey(entries[j])];
    // Weighted, firefox.exe owns thirty times what notepad.exe owns.
    EXPECT_LT(pages[0x6e0], pages[0x8a0] * 5 / 4);
    EXPECT_GT(pages[0x6e0], pages[0x8a0] * 3 / 4);
  }
  StandinDestroyMachine(const_cast<StandinMachine*>(even));
}

TEST(StandinMachine, LaterTheLeakersHoldPagesTakenFromFreeAndStandby) {
  const StandinMachine* later = nullptr;
  std::string reason;
  ASSERT_EQ(StandinMachineFromSettings(nullptr, nullptr, "1", nullptr, &later, &reason), 0);
  Dumped before(StandinDefaultMachine());
  std::vector<PfnEntry> a(PfnEntries(before.request),
                          PfnEntries(before.request) + before.entries());
  {
    Dumped after(later);
    ASSERT_EQ(after.entries(), a.size());
    std::set<uint32_t> grown;
    size_t moved = 0;
    const PfnEntry* b = PfnEntries(after.request);
    for (size_t j = 0; j < a.size(); ++j) {
      if (memcmp(&a[j], &b[j], sizeof(PfnEntry)) == 0) continue;
      ++moved;
      EXPECT_TRUE(PageListIndex(a[j]) == 1 || PageListIndex(a[j]) == 2) << j;
      EXPECT_EQ(PageListIndex(b[j]), 6u);
      EXPECT_EQ(PageUseIndex(b[j]), 0u);
      grown.insert(ProcessKey(b[j]));
    }
    // Firefox and devenv weigh most among the default machine's processes.
    EXPECT_EQ(grown, (std::set<uint32_t>{0x6e0, 0xbe0}));
    EXPECT_GT(moved, a.size() / 20);
    EXPECT_LT(moved, a.size() / 5);
  }
  StandinDestroyMachine(const_cast<StandinMachine*>(later));
}
