// pfnstat_live_floor: the service calls `pfnstat --live` makes (those of
// `pfndb -p`), and nothing else: the floor bench/pfnstat_live_bench.sh
// times pfnstat --live against. Prints nothing; exits 0, or 2 when a step
// failed.
#include <cstddef>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

int Discard(const char*, size_t) { return 0; }

}  // namespace

int main() {
  SetConsoleSink(Discard);
  if (InitNativeQuery() != 0) return 2;
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;
  ProcessNameListInit(&names);
  const int failed = GetMemoryRanges(&requestSize, &ranges) != 0 ||
                     SetUpPfnDatabase(requestSize, ranges, &request) != 0 ||
                     SetupProcessNameDatabase(&names) != 0;
  ProcessNameListRelease(&names);
  RuntimeFree(ranges);
  ProcessHeapFree(request);
  ConsoleFlush();
  return failed ? 2 : 0;
}
