#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

void ProcessNameListInit(ProcessNameList* list) {
  list->head.next = &list->head;
  list->head.previous = &list->head;
}

bool ProcessNameListEmpty(const ProcessNameList* list) {
  return list->head.next == &list->head && list->head.previous == &list->head;
}

void ProcessNameListAppend(ProcessNameList* list, ProcessNameRecord* record) {
  ProcessNameLinks* tail = list->head.previous;
  record->links.next = &list->head;
  record->links.previous = tail;
  tail->next = &record->links;
  list->head.previous = &record->links;
}

void ProcessNameListRelease(ProcessNameList* list) {
  ProcessNameLinks* links = list->head.next;
  while (links != &list->head) {
    ProcessNameLinks* next = links->next;
    RuntimeFree(ProcessNameRecordOf(links));
    links = next;
  }
  ProcessNameListInit(list);
}

int MakeProcessNameRecord(const PrivateSourceRecord* source, ProcessNameRecord** record) {
  if (source->sourceType != kPrivateSourceProcess) return 0;
  ProcessNameRecord* made = static_cast<ProcessNameRecord*>(
      RuntimeMalloc(sizeof(ProcessNameRecord), kHeapSiteNameRecord));
  if (made == nullptr) {
    ConsolePrintf("cannot allocate memory\n");
    return 1;
  }
  made->key = source->key;
  made->size = source->size;
  memcpy(made->imageName, source->imageName, kImageNameBytes);
  made->links.next = &made->links;
  made->links.previous = &made->links;
  ConsolePrintf("Client ID %X ", made->key);
  ConsolePrintf("Name: %.12s \n", made->imageName);
  ConsolePrintf("size %x\n", made->size);
  *record = made;
  return 0;
}

namespace {

const uint32_t kProbeBytes = sizeof(PrivateSourceInfo) + sizeof(PrivateSourceRecord);

void PrintQueryFailure(QueryStatus status) {
  ConsoleWPrintf(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
  ConsolePrintf("NativeQuerySuperFecthInformation get process database failed %X \n",
                static_cast<unsigned>(status));
}

// Appends a record per process among the sources that fit in the first
// bytes of info (a block of bufferBytes) the service reported filling.
// Returns 0 or MakeProcessNameRecord's failure.
int CollectProcesses(PrivateSourceInfo* info, uint32_t bufferBytes, uint32_t reported,
                     ProcessNameList* list) {
  int64_t room =
      ItemsWithin(bufferBytes, reported, sizeof(PrivateSourceInfo), sizeof(PrivateSourceRecord));
  int64_t count = info->recordCount < room ? info->recordCount : room;
  const PrivateSourceRecord* sources = PrivateSourceRecords(info);
  for (int64_t r = 0; r < count; ++r) {
    ProcessNameRecord* record = nullptr;
    int result = MakeProcessNameRecord(&sources[r], &record);
    if (result != 0) return result;
    if (record != nullptr) ProcessNameListAppend(list, record);
  }
  return 0;
}

}  // namespace

int SetupProcessNameDatabase(ProcessNameList* list) {
  ProcessNameListInit(list);

  // Aligned storage for the header and one record.
  uint32_t probe[kProbeBytes / sizeof(uint32_t)];
  memset(probe, 0, sizeof(probe));
  PrivateSourceInfo* probeInfo = reinterpret_cast<PrivateSourceInfo*>(probe);
  probeInfo->version = kPrivateSourceVersion;
  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchPrivateSourceQuery, probe, kProbeBytes);
  uint32_t returnLength = 0;
  QueryStatus status = QuerySuperfetch(&envelope, &returnLength);

  // A system with at most one source answers the probe in full. A size that
  // cannot even hold the header leaves nothing to read: the step fails with
  // no message of its own, as the ranges do.
  if (status == kStatusSuccess) {
    if (returnLength < sizeof(PrivateSourceInfo)) return -1;
    return CollectProcesses(probeInfo, kProbeBytes, returnLength, list);
  }
  if (status != kStatusBufferTooSmall) {
    PrintQueryFailure(status);
    return -1;
  }
  ConsoleWPrintf(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
  if (returnLength < sizeof(PrivateSourceInfo)) return -1;

  uint32_t bufferLength = returnLength;
  PrivateSourceInfo* info =
      static_cast<PrivateSourceInfo*>(ProcessHeapAlloc(bufferLength, kHeapSitePrivateSources));
  if (info == nullptr) return -1;
  info->version = kPrivateSourceVersion;
  MakeSuperfetchInformation(&envelope, kSuperfetchPrivateSourceQuery, info, bufferLength);
  status = QuerySuperfetch(&envelope, &returnLength);
  if (status != kStatusSuccess) {
    PrintQueryFailure(status);
    ProcessHeapFree(info);
    return -1;
  }
  int result = CollectProcesses(info, bufferLength, returnLength, list);
  ProcessHeapFree(info);
  return result;
}
