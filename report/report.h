// The page-frame database printed as a table, one line per page.
#ifndef PFNDB_REPORT_REPORT_H_
#define PFNDB_REPORT_REPORT_H_

#include <cstdint>

#include "pfn/pfn.h"
#include "report/page_names.h"

inline uint32_t PageUseIndex(const PfnEntry& entry) { return entry.word0 & 0xF; }
inline uint32_t PageListIndex(const PfnEntry& entry) { return (entry.word0 >> 4) & 0x7; }

// The key of the process owning a process-private page: bits 9-31 of word 0
// give key bits 0-22, bits 0-8 of word 1 give key bits 23-31.
inline uint32_t ProcessKey(const PfnEntry& entry) {
  return (entry.word0 >> 9) | (entry.word1 << 23);
}

// Prints the header and one line for each entry the walk over ranges wrote
// into request (a block of requestSize bytes), naming the processes of list
// whose key matches each process-private page. Returns 0.
int PrintPfnDatabase(const PfnRequest* request, uint32_t requestSize, const ProcessNameList* list,
                     const MemoryRangeInfo* ranges);

// Whether the report makes its digits with SSE2: the processor's answer, as
// read when the program started, unless a test forced the plain digits.
bool ReportUsesSse2Digits();

// For tests, which check both ways of making digits on one processor: true
// makes the report use its plain digits, false gives the choice back.
void ForcePlainReportDigits(bool plain);

#endif  // PFNDB_REPORT_REPORT_H_
