#include "bench/naive_report.h"

#include <cstdio>
#include <cstring>

#include "native/console.h"
#include "native/line_end.h"
#include "report/report.h"

namespace {

// Each field goes through snprintf and then to the console on its own, as a
// line-at-a-time printf loop would hand it to the C library's stream, which
// writes each "\n" as the platform's line end.
void PutField(const char* field, int length) {
  if (length <= 0) return;
  size_t rest = static_cast<size_t>(length);
  while (kLineEndLength > 1 && rest > 0) {
    const char* newline = static_cast<const char*>(memchr(field, '\n', rest));
    if (newline == nullptr) break;
    ConsoleWrite(field, static_cast<size_t>(newline - field));
    ConsoleWrite(kLineEnd, kLineEndLength);
    rest -= static_cast<size_t>(newline - field) + 1;
    field = newline + 1;
  }
  ConsoleWrite(field, rest);
}

}  // namespace

int NaivePrintPfnDatabase(const PfnRequest* request, PfnRequestSize requestSize,
                          const ProcessNameList* list, const MemoryRangeInfo* ranges) {
  ConsoleWPrintf(L"Address        List         Type       Process      VA \n");
  const PfnEntry* entries = PfnEntries(request);
  const uint32_t count = PfnRequestEntriesFor(ranges, requestSize);
  char field[64];
  for (uint32_t j = 0; j < count; ++j) {
    const PfnEntry& entry = entries[j];
    PutField(field, snprintf(field, sizeof(field), "%.16llx ",
                             static_cast<unsigned long long>(entry.pageFrameNumber) << 12));
    // The names are ASCII, so the "C" locale's wide-to-byte conversion keeps
    // them as they are.
    PutField(field, snprintf(field, sizeof(field), "%.15ls ", PageListNames[PageListIndex(entry)]));
    uint32_t use = PageUseIndex(entry);
    if (use > 11)
      PutField(field, snprintf(field, sizeof(field), "No Value"));
    else
      PutField(field, snprintf(field, sizeof(field), "%.15ls ", PageUseNames[use]));
    if (use == 0) {
      const ProcessKeyValue key = ProcessKey(entry);
      for (const ProcessNameLinks* links = list->head.next; links != &list->head;
           links = links->next) {
        const ProcessNameRecord* record = ProcessNameRecordOf(links);
        if (record->key == key)
          PutField(field, snprintf(field, sizeof(field), " %.12s ", record->imageName));
      }
    }
    PutField(field, snprintf(field, sizeof(field), " %.16llX \n",
                             static_cast<unsigned long long>(entry.virtualAddress)));
  }
  return 0;
}
