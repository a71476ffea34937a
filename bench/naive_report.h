// The page-frame report written the straightforward way: the C library's
// formatted output for every field and a walk of the whole name list for
// every process-private page. It exists to measure pfndb's report against,
// and to show that report is exact: both must print the same bytes.
#ifndef PFNDB_BENCH_NAIVE_REPORT_H_
#define PFNDB_BENCH_NAIVE_REPORT_H_

#include <cstdint>

#include "pfn/pfn.h"

// Same arguments, same console output and same result as PrintPfnDatabase.
int NaivePrintPfnDatabase(const PfnRequest* request, PfnRequestSize requestSize,
                          const ProcessNameList* list, const MemoryRangeInfo* ranges);

#endif  // PFNDB_BENCH_NAIVE_REPORT_H_
