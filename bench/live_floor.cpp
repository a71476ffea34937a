// pfnstat_live_floor and pfnstat64_live_floor [BYTES]: the service calls
// `pfnstat --live` makes (those of the 64-bit `pfndb -p`: the ranges, the
// processes, then the page-frame request a slice at a time), and nothing
// else; with BYTES, then that many bytes written to standard output in the
// console's pieces, which makes it the floor of `pfndb64 -p` too. The floor
// bench/pfnstat_live_bench.sh and bench/slices_bench.sh time the programs
// against. Exits 0, or 2 when a step failed.
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <vector>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

int Discard(const char*, size_t) { return 0; }

// Writes `bytes` bytes to standard output a megabyte at a time, as the
// console hands its buffer over.
int WriteBytes(uint64_t bytes) {
  std::vector<char> piece(1 << 20, '0');
  while (bytes > 0) {
    const size_t n = bytes < piece.size() ? static_cast<size_t>(bytes) : piece.size();
    const ssize_t written = write(1, piece.data(), n);
    if (written <= 0) return -1;
    bytes -= static_cast<uint64_t>(written);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t bytes = argc > 1 ? strtoull(argv[1], nullptr, 10) : 0;
  SetConsoleSink(Discard);
  if (InitNativeQuery(&kNoMessages) != 0) return 2;
  NativeService service = {g_NtQuerySystemInformation, &kNoMessages, nullptr, 0};
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  ProcessNameList names;
  ProcessNameListInit(&names);
  PfnSlices slices = {};
  int failed = GetMemoryRanges(&service, &requestSize, &ranges) != 0 ||
               SetupProcessNameDatabase(&service, &names) != 0 ||
               PfnSlicesStart(&service, requestSize, ranges, kSlicePages, &slices) != 0;
  const PfnEntry* entries;
  uint32_t count;
  int got = 1;
  while (!failed && (got = PfnSlicesNext(&service, &slices, &entries, &count)) == 1) {
  }
  failed = failed || got != 0;
  PfnSlicesEnd(&slices);
  ProcessNameListRelease(&names);
  RuntimeFree(ranges);
  if (!failed && WriteBytes(bytes) != 0) failed = 1;
  return failed ? 2 : 0;
}
