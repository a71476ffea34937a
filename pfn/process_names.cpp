#include <cstdio>
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

namespace {

uint64_t ReadField(const unsigned char* record, SourceField field) {
  uint64_t value = 0;
  memcpy(&value, record + field.offset, field.width);  // little-endian
  return value;
}

}  // namespace

void ReadPrivateSource(const unsigned char* answer, const SourceLayout& layout, uint32_t r,
                       PrivateSource* source) {
  const unsigned char* record = answer + layout.headerBytes + size_t{r} * layout.recordBytes;
  memcpy(&source->sourceType, record + layout.typeOffset, sizeof(source->sourceType));
  source->shownId = ReadField(record, layout.shownId);
  source->size = ReadField(record, layout.size);
  source->keys[0] =
      static_cast<ProcessKeyValue>(ReadField(record, layout.keys[0]) & Format::kKeyMask);
  source->keys[1] =
      static_cast<ProcessKeyValue>(ReadField(record, layout.keys[1]) & Format::kKeyMask);
  source->hasSecondKey = source->keys[1] != 0 && source->keys[1] != source->keys[0];
  memcpy(source->imageName, record + layout.nameOffset, kImageNameBytes);
}

int MakeProcessNameRecord(const MessageSink* messages, const PrivateSource* source,
                          ProcessNameRecord** record) {
  if (source->sourceType != kPrivateSourceProcess) return 0;
  ProcessNameRecord* made = static_cast<ProcessNameRecord*>(
      RuntimeMalloc(sizeof(ProcessNameRecord), kHeapSiteNameRecord));
  if (made == nullptr) {
    messages->narrow("cannot allocate memory\n");
    return 1;
  }
  made->key = source->keys[0];
  made->size = static_cast<uint32_t>(source->size);
  memcpy(made->imageName, source->imageName, kImageNameBytes);
  made->links.next = &made->links;
  made->links.previous = &made->links;
  // 64-bit fields print whole; a 32-bit one prints as "%X" would.
  messages->narrow("Client ID %llX ", static_cast<unsigned long long>(source->shownId));
  messages->narrow("Name: %.12s \n", made->imageName);
  messages->narrow("size %llx\n", static_cast<unsigned long long>(source->size));
  *record = made;
  return 0;
}

namespace {

const uint32_t kLayouts = sizeof(Format::kSourceLayouts) / sizeof(Format::kSourceLayouts[0]);

void PrintQueryFailure(NativeService* service, QueryStatus status) {
  service->lastStatus = status;
  service->messages->wide(L"NativeQuerySuperFecthInformation failed %x\n",
                          static_cast<unsigned>(status));
  service->messages->narrow("NativeQuerySuperFecthInformation get process database failed %X \n",
                            static_cast<unsigned>(status));
}

// Appends a record per process key among the sources that fit in the first
// bytes of answer (a block of bufferBytes) the service reported filling.
// Returns 0 or MakeProcessNameRecord's failure.
int CollectProcesses(NativeService* service, const unsigned char* answer,
                     const SourceLayout& layout, uint32_t bufferBytes, uint32_t reported,
                     ProcessNameList* list) {
  int64_t room = ItemsWithin(bufferBytes, reported, layout.headerBytes, layout.recordBytes);
  int32_t promised;
  memcpy(&promised, answer + layout.countOffset, sizeof(promised));
  int64_t count = promised < room ? promised : room;
  for (int64_t r = 0; r < count; ++r) {
    PrivateSource source;
    ReadPrivateSource(answer, layout, static_cast<uint32_t>(r), &source);
    ProcessNameRecord* record = nullptr;
    int result = MakeProcessNameRecord(service->messages, &source, &record);
    if (result != 0) return result;
    if (record == nullptr) continue;
    ProcessNameListAppend(list, record);
    if (!source.hasSecondKey) continue;
    ProcessNameRecord* second = static_cast<ProcessNameRecord*>(
        RuntimeMalloc(sizeof(ProcessNameRecord), kHeapSiteNameRecord));
    if (second == nullptr) {
      service->messages->narrow("cannot allocate memory\n");
      return 1;
    }
    memcpy(second, record, sizeof(*second));
    second->key = source.keys[1];
    ProcessNameListAppend(list, second);
  }
  return 0;
}

// The version tried, for the trace.
void Tried(const SourceLayout& layout, char (&out)[16]) {
  snprintf(out, sizeof(out), "version %u", static_cast<unsigned>(layout.version));
}

}  // namespace

int SetupProcessNameDatabase(NativeService* service, ProcessNameList* list) {
  ProcessNameListInit(list);
  QueryStatus firstStatus = kStatusSuccess;
  for (uint32_t l = 0; l < kLayouts; ++l) {
    const SourceLayout& layout = Format::kSourceLayouts[l];
    char tried[16];
    Tried(layout, tried);
    // Aligned storage for the header and one record.
    uint64_t probe[(16 + 96) / sizeof(uint64_t)];
    const uint32_t probeBytes = layout.headerBytes + layout.recordBytes;
    memset(probe, 0, sizeof(probe));
    memcpy(probe, &layout.version, sizeof(layout.version));
    SuperfetchInformation envelope;
    MakeSuperfetchInformation(&envelope, kSuperfetchPrivateSourceQuery, probe, probeBytes);
    uint32_t returnLength = 0;
    QueryStatus status = QuerySuperfetch(service, &envelope, &returnLength, tried);

    // A system with at most one source answers the probe in full. A size
    // that cannot even hold the header leaves nothing to read: the step
    // fails with no message of its own, as the ranges do.
    const unsigned char* answer = reinterpret_cast<const unsigned char*>(probe);
    if (status == kStatusSuccess) {
      if (returnLength < layout.headerBytes) return -1;
      return CollectProcesses(service, answer, layout, probeBytes, returnLength, list);
    }
    // A version this system does not take: the next, silently; when none
    // is taken, the first refusal is what is reported.
    if (status == kStatusInvalidParameter && l + 1 < kLayouts) {
      if (l == 0) firstStatus = status;
      continue;
    }
    if (status != kStatusBufferTooSmall) {
      PrintQueryFailure(service, l == 0 ? status : firstStatus);
      return -1;
    }
    service->messages->wide(L"NativeQuerySuperFecthInformation failed %x\n",
                            static_cast<unsigned>(status));
    if (returnLength < layout.headerBytes) return -1;

    uint32_t bufferLength = returnLength;
    unsigned char* info =
        static_cast<unsigned char*>(ProcessHeapAlloc(bufferLength, kHeapSitePrivateSources));
    if (info == nullptr) return -1;
    memcpy(info, &layout.version, sizeof(layout.version));
    MakeSuperfetchInformation(&envelope, kSuperfetchPrivateSourceQuery, info, bufferLength);
    status = QuerySuperfetch(service, &envelope, &returnLength, tried);
    if (status != kStatusSuccess) {
      PrintQueryFailure(service, status);
      ProcessHeapFree(info);
      return -1;
    }
    int result = CollectProcesses(service, info, layout, bufferLength, returnLength, list);
    ProcessHeapFree(info);
    return result;
  }
  return -1;
}
