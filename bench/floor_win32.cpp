// pfndb_floor.exe BYTES: the least any program printing the page-frame
// database must do on Windows, the floor bench/win32_bench.sh times pfndb.exe
// against. It makes the same service calls as `pfndb.exe -p`, through the
// same code (privileges and entries, the ranges probe and query, the
// page-frame request, the private-source probe and query), with their
// messages discarded, and then writes BYTES bytes (the dump's length) to
// standard output a megabyte per WriteFile, filling each piece with
// line-like bytes before writing it. Test-only, never shipped. Exit status
// 0, or 1 when an argument, a query or a write fails.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

const size_t kPiece = 1 << 20;
char g_piece[kPiece];

int Discard(const char*, size_t) { return 0; }

// The service calls of a dump; 0 when each succeeded.
int QueryLikeADump() {
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;
  ProcessNameListInit(&names);
  int status = -1;
  if (InitNativeQuery() == 0 && GetMemoryRanges(&requestSize, &ranges) == 0 &&
      SetUpPfnDatabase(requestSize, ranges, &request) == 0 && SetupProcessNameDatabase(&names) == 0)
    status = 0;
  ProcessNameListRelease(&names);
  RuntimeFree(ranges);
  ProcessHeapFree(request);
  return status;
}

// Writes `bytes` bytes of lines shaped like the dump's, a piece at a time.
int WriteLikeADump(uint64_t bytes) {
  static const char kLine[] =
      "0000000000405000 Active  list  Process Private  0000000000A32000 \r\n";
  const size_t lineBytes = sizeof(kLine) - 1;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  size_t phase = 0;  // where in kLine the next piece starts
  while (bytes > 0) {
    const size_t count = bytes < kPiece ? static_cast<size_t>(bytes) : kPiece;
    // Filled anew for every piece, as a report builds each of its own.
    size_t filled = 0;
    while (filled < count) {
      size_t take = lineBytes - phase;
      if (take > count - filled) take = count - filled;
      memcpy(g_piece + filled, kLine + phase, take);
      filled += take;
      phase = (phase + take) % lineBytes;
    }
    DWORD written = 0;
    if (!WriteFile(out, g_piece, static_cast<DWORD>(count), &written, nullptr) || written != count)
      return -1;
    bytes -= count;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  char* end = nullptr;
  if (argc != 2 || argv[1][0] < '0' || argv[1][0] > '9') return 1;
  const uint64_t bytes = strtoull(argv[1], &end, 10);
  if (*end != '\0') return 1;
  SetConsoleSink(Discard);
  if (QueryLikeADump() != 0) return 1;
  return WriteLikeADump(bytes) == 0 ? 0 : 1;
}
