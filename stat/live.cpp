#include "stat/live.h"

#include <cstdlib>
#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/line_end.h"
#include "native/native_query.h"
#include "stat/feed.h"

const char kLiveName[] = "(this machine)";

namespace {

// Keys kept apart in the key table beyond those with records: keys without
// a record come from the pages themselves, and a hostile answer could have
// millions; past the room, such a key is looked up again for every page.
const uint32_t kLeastKeyBits = 12;

int Fail(LiveMachine* machine, const NativeService& service, LiveStep step, uint64_t failedBefore) {
  // Whatever step it was, a request the heaps refused is why it failed.
  machine->failed = HeapFailedRequests() != failedBefore ? kLiveNoMemory : step;
  machine->status = static_cast<uint32_t>(service.lastStatus);
  return -1;
}

// The steps print pfndb's messages as they go (the size probes' "failed
// c0000023" lines, the processes' names); none of them is pfnstat's to
// print, so they go nowhere.
int AskTheService(LiveMachine* machine) {
  const uint64_t failedBefore = HeapFailedRequests();
  const int init = InitNativeQuery(&kNoMessages);
  if (init != 0) {
    machine->failed = init == kNoAdjustPrivilegeEntry ? kLiveNoAdjustPrivilege : kLiveNoQuery;
    return -1;
  }
  machine->service = {g_NtQuerySystemInformation, &kNoMessages,
                      TraceRequested() ? TraceToStandardError : nullptr, 0};
  NativeService* service = &machine->service;
  if (GetMemoryRanges(service, &machine->requestSize, &machine->ranges) != 0) {
    return Fail(machine, *service, kLiveRanges, failedBefore);
  }
  if (SetupProcessNameDatabase(service, &machine->names) != 0) {
    return Fail(machine, *service, kLiveProcesses, failedBefore);
  }
  if (PfnSlicesStart(service, machine->requestSize, machine->ranges, kSlicePages,
                     &machine->slices) != 0) {
    return Fail(machine, *service, kLivePfnQuery, failedBefore);
  }
  return 0;
}

uint64_t RecordsIn(const ProcessNameList* list) {
  uint64_t records = 0;
  for (const ProcessNameLinks* l = list->head.next; l != &list->head; l = l->next) ++records;
  return records;
}

// The key table's room: four entries a record, at least 2^kLeastKeyBits.
uint32_t KeyBitsFor(uint64_t records) { return OpenTableBits(records, 4, kLeastKeyBits, 30); }

}  // namespace

int LiveMachineRead(LiveMachine* machine) {
  memset(machine, 0, sizeof(*machine));
  ProcessNameListInit(&machine->names);
  if (AskTheService(machine) != 0) return -1;

  BuildNameIndex(&machine->names, &machine->index);
  machine->indexBuilt = 1;
  const uint64_t records = RecordsIn(&machine->names);
  const uint32_t keyBits = KeyBitsFor(records);
  void* keys = calloc(size_t{1} << keyBits, sizeof(OpenEntry<ProcessKeyValue>));
  OpenTableStart(&machine->keys, static_cast<OpenEntry<ProcessKeyValue>*>(keys), keyBits);
  // Without the index the names are found as the report then finds them,
  // in the list, into room for every record's name under one key and the
  // 16 bytes the tally reads: far less than the index wanted.
  const int searchList = machine->index.groups == nullptr && records != 0;
  const uint64_t namesRoom = records * (kImageNameBytes * kLineEndLength + 2) + 16;
  if (searchList && namesRoom <= UINT32_MAX) {
    machine->listNames = static_cast<char*>(malloc(static_cast<size_t>(namesRoom)));
  }
  if (machine->keys.entries == nullptr || (searchList && machine->listNames == nullptr)) {
    machine->failed = kLiveNoMemory;
    return -1;
  }
  return 0;
}

void LiveMachineFree(LiveMachine* machine) {
  if (machine->indexBuilt) ReleaseNameIndex(&machine->index);
  machine->indexBuilt = 0;
  ProcessNameListRelease(&machine->names);
  RuntimeFree(machine->ranges);
  PfnSlicesEnd(&machine->slices);
  free(machine->keys.entries);
  free(machine->listNames);
  machine->listNames = nullptr;
  machine->ranges = nullptr;
  machine->keys.entries = nullptr;
}

namespace {

// The names the report prints for key when it searches the list, " a  b ",
// at out. Returns 1 with their length, or 0 when no record has the key.
int ListNames(const ProcessNameList& list, decltype(ProcessNameRecord::key) key, char* out,
              uint32_t* length) {
  uint32_t n = 0;
  for (const ProcessNameLinks* l = list.head.next; l != &list.head; l = l->next) {
    const ProcessNameRecord* record = ProcessNameRecordOf(l);
    if (record->key != key) continue;
    out[n++] = ' ';
    for (size_t i = 0; i < kImageNameBytes && record->imageName[i] != '\0'; ++i) {
      if (record->imageName[i] == '\n' && kLineEndLength == 2) out[n++] = kLineEnd[0];
      out[n++] = record->imageName[i];
    }
    out[n++] = ' ';
  }
  *length = n;
  return n != 0;
}

// The row of key's owner: found in the key table, or made from the names
// the report prints for it (or "(none)") the first time the key comes.
uint32_t RowOfKey(LiveMachine* machine, StatTally* tally, ProcessKeyValue key) {
  const uint32_t at = OpenFind(machine->keys, key);
  if (machine->keys.entries[at].value != 0) return machine->keys.entries[at].value - 1;
  const char* names = nullptr;
  uint32_t length = 0;
  // " a  b " is printed; the dump's owner text is what lies between the
  // outer spaces, and 16 bytes or more can be read past its end.
  int found = FindNames(machine->index, key, &names, &length);
  if (found < 0) {
    names = machine->listNames;
    found = ListNames(machine->names, key, machine->listNames, &length);
  }
  const uint32_t row =
      found == 1 ? TallyOwnerRow(tally, names + 1, length - 2) : TallyNoOwnerRow(tally);
  // Past half the room, the key is looked up again when it comes again.
  OpenPut(&machine->keys, at, key, row + 1);
  return row;
}

}  // namespace

int NextLivePages(void* source, StatTally* tally, TallyPage* pages, size_t room, size_t* got) {
  LiveMachine* machine = static_cast<LiveMachine*>(source);
  if (machine->next == machine->last) {
    const uint64_t failedBefore = HeapFailedRequests();
    uint32_t count = 0;
    const int asked = PfnSlicesNext(&machine->service, &machine->slices, &machine->next, &count);
    if (asked < 0) {
      *got = 0;
      return Fail(machine, machine->service,
                  asked == kPfnLayoutUnknown ? kLiveLayout : kLivePfnQuery, failedBefore);
    }
    if (asked == 0) machine->next = nullptr;
    machine->last = machine->next + count;
  }
  const PfnEntry* entry = machine->next;
  const size_t left = static_cast<size_t>(machine->last - entry);
  const size_t n = left < room ? left : room;
  for (size_t i = 0; i < n; ++i, ++entry) {
    // Read as the report reads it: the use (12 to 15 print "No Value"),
    // the list, the page number, and the key only for a private page.
    const uint32_t use = PageUseIndex(*entry);
    TallyPage& page = pages[i];
    page.address = uint64_t{entry->pageFrameNumber} << 12;
    page.list = static_cast<uint8_t>(PageListIndex(*entry));
    page.use = static_cast<uint8_t>(use >= kNoValueUse ? kNoValueUse : use);
    page.row = use == 0 ? RowOfKey(machine, tally, ProcessKey(*entry)) : kNotOwnedRow;
  }
  machine->next = entry;
  *got = n;
  return n > 0 ? 1 : 0;
}

void PrintLiveFailure(const LiveMachine& machine, FILE* err) {
  const char* step = "out of memory";
  const char* query = nullptr;
  switch (machine.failed) {
    case kLiveNoAdjustPrivilege: step = "no RtlAdjustPrivilege in ntdll"; break;
    case kLiveNoQuery: step = "no NtQuerySystemInformation in ntdll"; break;
    case kLiveRanges: query = "the physical ranges query"; break;
    case kLivePfnQuery: query = "the page-frame query"; break;
    case kLiveProcesses: query = "the process list query"; break;
    case kLiveLayout:
      step =
          "the page-frame query answered in no layout pfnstat knows (run it with PFNDB_TRACE=1 and "
          "report the lines)";
      break;
    case kLiveRead:
    case kLiveNoMemory: break;
  }
  fputs("pfnstat: cannot read this machine's page-frame database: ", err);
  if (query == nullptr) {
    fprintf(err, "%s\n", step);
    return;
  }
  fprintf(err, "%s failed (status %08x)\n", query, static_cast<unsigned>(machine.status));
  // Access denied, privilege not held: what a console without administrator
  // rights gets.
  if (machine.status == 0xC0000022u || machine.status == 0xC0000061u) {
    fputs("pfnstat: run it from an elevated console (as administrator)\n", err);
  }
}
