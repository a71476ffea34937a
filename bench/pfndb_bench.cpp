// Times pfndb's -p dump of a simulated machine (64 GiB unless told
// otherwise) in one process, with the output going to /dev/null, against two
// yardsticks measured on the same machine in the same run: the report as a
// straightforward implementation prints it, and the cost of merely moving the
// same number of bytes to the same place. Ratios taken within one run hold
// up on a busy or different host far better than absolute times do.
#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/naive_report.h"
#include "cli/pfndb.h"
#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"
#include "report/report.h"
#include "standin/machine.h"

namespace {

typedef std::chrono::steady_clock Clock;

struct Settings {
  uint32_t pages = 16777216;  // 64 GiB of 4 KiB pages
  int processes = 200;
  int repeat = 3;       // best of, for every phase but the naive report
  int naiveRepeat = 1;  // the naive report alone takes longer than the rest
};

int g_devNull = -1;
uint64_t g_sunkBytes = 0;
// The console hands its buffer over in pieces of at most this size.
const size_t kSinkChunk = 1 << 20;

int DevNullSink(const char* bytes, size_t count) {
  g_sunkBytes += count;
  while (count > 0) {
    ssize_t n = write(g_devNull, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

QueryStatus PFNDB_NTAPI GrantPrivilege(uint32_t, uint8_t enable, uint8_t, uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = enable ? 0 : 1;
  return kStatusSuccess;
}

// InitNativeQuery finds the stand-in linked into this program instead of
// loading the module, so the machine selected here is the one dumped.
NativeEntry StandinLookup(const wchar_t*, const char* entryName) {
  if (strcmp(entryName, "NtQuerySystemInformation") == 0)
    return reinterpret_cast<NativeEntry>(StandinNtQuerySystemInformation);
  if (strcmp(entryName, "RtlAdjustPrivilege") == 0)
    return reinterpret_cast<NativeEntry>(GrantPrivilege);
  return nullptr;
}

// The stand-in, except that a page-frame request comes back as it was sent:
// what SetUpPfnDatabase then costs is its own walk.
QueryStatus PFNDB_NTAPI UnfilledPfnService(uint32_t infoClass, void* buffer, uint32_t bufferLength,
                                           uint32_t* returnLength) {
  if (infoClass == kSystemSuperfetchInformation && buffer != nullptr &&
      bufferLength == sizeof(SuperfetchInformation)) {
    const SuperfetchInformation* envelope = static_cast<const SuperfetchInformation*>(buffer);
    if (envelope->subClass == kSuperfetchPfnQuery) {
      if (returnLength != nullptr) *returnLength = envelope->length;
      return kStatusSuccess;
    }
  }
  return StandinNtQuerySystemInformation(infoClass, buffer, bufferLength, returnLength);
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident set in KiB: VmHWM, which can be reset, else ru_maxrss.
long PeakResidentKiB() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status != nullptr) {
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof(line), status) != nullptr)
      if (strncmp(line, "VmHWM:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    fclose(status);
    if (kib >= 0) return kib;
  }
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

long CurrentResidentKiB() {
  FILE* status = fopen("/proc/self/status", "r");
  long kib = -1;
  if (status == nullptr) return kib;
  char line[256];
  while (fgets(line, sizeof(line), status) != nullptr)
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  fclose(status);
  return kib;
}

// Starts the peak over from what is resident now; false where the kernel
// does not offer it (the peak then covers the whole process so far).
bool ResetPeakResident() {
  int fd = open("/proc/self/clear_refs", O_WRONLY);
  if (fd < 0) return false;
  bool done = write(fd, "5", 1) == 1;
  close(fd);
  return done;
}

struct Phase {
  double seconds = 0;  // best run
  uint64_t bytes = 0;  // written to the sink by the best run
};

void Keep(Phase* phase, int run, double seconds, uint64_t bytes) {
  if (run == 0 || seconds < phase->seconds) {
    phase->seconds = seconds;
    phase->bytes = bytes;
  }
}

void PrintPhase(const char* name, const Phase& phase, uint64_t pages) {
  printf("  %-34s %9.3f s", name, phase.seconds);
  if (pages != 0 && phase.seconds > 0)
    printf("  %8.2f Mpages/s", pages / phase.seconds / 1e6);
  else
    printf("  %17s", "");
  if (phase.bytes != 0 && phase.seconds > 0)
    printf("  %9.1f MB/s", phase.bytes / phase.seconds / 1e6);
  printf("\n");
  fflush(stdout);
}

bool ParseArguments(int argc, char** argv, Settings* settings) {
  // Every option takes a number.
  for (int i = 1; i < argc; i += 2) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    long number = value != nullptr ? strtol(value, nullptr, 10) : 0;
    if (strcmp(argv[i], "--pages") == 0 && number > 0 && number <= 0x3FFFFFFF) {
      settings->pages = static_cast<uint32_t>(number);
    } else if (strcmp(argv[i], "--processes") == 0 && number > 0 && number <= 100000) {
      settings->processes = static_cast<int>(number);
    } else if (strcmp(argv[i], "--repeat") == 0 && number > 0 && number <= 100) {
      settings->repeat = static_cast<int>(number);
    } else if (strcmp(argv[i], "--naive-repeat") == 0 && number > 0 && number <= 100) {
      settings->naiveRepeat = static_cast<int>(number);
    } else {
      fprintf(stderr,
              "usage: %s [--pages N] [--processes N] [--repeat N] [--naive-repeat N]\n"
              "  defaults: 16777216 pages (64 GiB), 200 processes, best of 3, naive once\n",
              argv[0]);
      return false;
    }
  }
  return true;
}

// Everything the report needs, fetched the way the program fetches it.
struct Fetched {
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;
};

void Release(Fetched* fetched) {
  ProcessNameListRelease(&fetched->names);
  RuntimeFree(fetched->ranges);
  ProcessHeapFree(fetched->request);
  fetched->ranges = nullptr;
  fetched->request = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, &settings)) return 2;

  g_devNull = open("/dev/null", O_WRONLY);
  if (g_devNull < 0) {
    perror("/dev/null");
    return 1;
  }
  StandinMachine* machine = StandinCreateMachine(settings.pages, settings.processes);
  if (machine == nullptr) {
    fprintf(stderr, "no machine of %u pages\n", settings.pages);
    return 1;
  }
  // The format's usual system: 32-bit Windows 7, or a 64-bit Windows 10.
  StandinSetWindows(machine, Format::kBits == 64 ? kStandinWindows1909x64 : kStandinWindows7);
  StandinSelectMachine(machine);
  SetNativeEntryLookup(StandinLookup);
  SetConsoleSink(DevNullSink);

  const uint32_t pages = settings.pages;
  printf(
      "pfndb_bench: %u pages (%.2f GiB), %d processes; output to /dev/null in writes of "
      "up to %zu KiB; best of %d (naive: %d)\n",
      pages, pages / 262144.0, settings.processes, kSinkChunk / 1024, settings.repeat,
      settings.naiveRepeat);
  fflush(stdout);

  // ---- The program's whole dump, first, so its peak is its own. ----
  long residentBefore = CurrentResidentKiB();
  bool peakIsOwn = ResetPeakResident();
  Phase dump;
  long dumpPeakKiB = 0;
  for (int run = 0; run < settings.repeat; ++run) {
    wchar_t commandLine[] = L"pfndb -p";
    g_sunkBytes = 0;
    Clock::time_point start = Clock::now();
    int status = RunPfndbAndFlush(2, commandLine);
    double seconds = SecondsSince(start);
    if (status != 0) {
      fprintf(stderr, "the dump failed (%d)\n", status);
      return 1;
    }
    Keep(&dump, run, seconds, g_sunkBytes);
    if (run == 0) dumpPeakKiB = PeakResidentKiB();
  }

  // ---- Its parts, on a request fetched as the program fetches it. ----
  Fetched fetched;
  ProcessNameListInit(&fetched.names);
  Phase construction, fill, names, report, naive, limit, bareWrite;
  for (int run = 0; run < settings.repeat; ++run) {
    Release(&fetched);
    g_NtQuerySystemInformation = UnfilledPfnService;
    Clock::time_point start = Clock::now();
    if (GetMemoryRanges(&fetched.requestSize, &fetched.ranges) != 0 ||
        SetUpPfnDatabase(fetched.requestSize, fetched.ranges, &fetched.request) != 0) {
      fprintf(stderr, "the request could not be built\n");
      return 1;
    }
    Keep(&construction, run, SecondsSince(start), 0);
  }
  g_NtQuerySystemInformation = StandinNtQuerySystemInformation;
  for (int run = 0; run < settings.repeat; ++run) {
    SuperfetchInformation envelope;
    MakeSuperfetchInformation(&envelope, kSuperfetchPfnQuery, fetched.request, fetched.requestSize);
    uint32_t returnLength = 0;
    Clock::time_point start = Clock::now();
    QueryStatus status = StandinQuery(machine, kSystemSuperfetchInformation, &envelope,
                                      sizeof(envelope), &returnLength);
    Keep(&fill, run, SecondsSince(start), 0);
    if (status != kStatusSuccess) {
      fprintf(stderr, "the stand-in refused the request (%x)\n", static_cast<unsigned>(status));
      return 1;
    }
  }
  for (int run = 0; run < settings.repeat; ++run) {
    ProcessNameListRelease(&fetched.names);
    g_sunkBytes = 0;
    Clock::time_point start = Clock::now();
    int status = SetupProcessNameDatabase(&fetched.names);
    ConsoleFlush();
    Keep(&names, run, SecondsSince(start), g_sunkBytes);
    if (status != 0) {
      fprintf(stderr, "the process names could not be fetched\n");
      return 1;
    }
  }
  const uint32_t entries = PfnRequestEntriesFor(fetched.ranges, fetched.requestSize);

  for (int run = 0; run < settings.repeat; ++run) {
    g_sunkBytes = 0;
    Clock::time_point start = Clock::now();
    PrintPfnDatabase(fetched.request, fetched.requestSize, &fetched.names, fetched.ranges);
    int flushed = ConsoleFlush();
    Keep(&report, run, SecondsSince(start), g_sunkBytes);
    if (flushed != 0) {
      fprintf(stderr, "writing to /dev/null failed\n");
      return 1;
    }
  }
  for (int run = 0; run < settings.naiveRepeat; ++run) {
    g_sunkBytes = 0;
    Clock::time_point start = Clock::now();
    NaivePrintPfnDatabase(fetched.request, fetched.requestSize, &fetched.names, fetched.ranges);
    ConsoleFlush();
    Keep(&naive, run, SecondsSince(start), g_sunkBytes);
  }
  if (naive.bytes != report.bytes) {
    fprintf(stderr, "the naive report wrote %llu bytes, pfndb's %llu: they must agree\n",
            static_cast<unsigned long long>(naive.bytes),
            static_cast<unsigned long long>(report.bytes));
    return 1;
  }

  // The write limit: the report's byte count, already formatted, copied into
  // the console in the report's own reservation size and drained to the
  // same sink. Any producer must at least store each byte once into the
  // buffer that is written, which this does at memcpy speed.
  std::vector<char> prepared(kSinkChunk);
  {
    const char line[] =
        "0000000100abc000 Active  list  Process Private  svchost.exe  "
        "000000000012F000 \n";
    for (size_t i = 0; i < prepared.size(); ++i) prepared[i] = line[i % (sizeof(line) - 1)];
  }
  for (int run = 0; run < settings.repeat; ++run) {
    g_sunkBytes = 0;
    Clock::time_point start = Clock::now();
    for (uint64_t left = report.bytes; left > 0;) {
      size_t piece = left < kConsoleMaxReserve ? static_cast<size_t>(left) : kConsoleMaxReserve;
      ConsoleWrite(prepared.data(), piece);
      left -= piece;
    }
    ConsoleFlush();
    Keep(&limit, run, SecondsSince(start), g_sunkBytes);
  }
  // And the system call alone, the same bytes in the console's chunk size
  // straight from the prepared buffer: /dev/null never reads them, so this is
  // only the price of the calls.
  for (int run = 0; run < settings.repeat; ++run) {
    g_sunkBytes = 0;
    Clock::time_point start = Clock::now();
    for (uint64_t left = report.bytes; left > 0;) {
      size_t piece = left < kSinkChunk ? static_cast<size_t>(left) : kSinkChunk;
      DevNullSink(prepared.data(), piece);
      left -= piece;
    }
    Keep(&bareWrite, run, SecondsSince(start), g_sunkBytes);
  }
  long overallPeakKiB = PeakResidentKiB();

  // ---- What the machine looked like. ----
  uint64_t privatePages = 0, namedPages = 0;
  {
    const PfnEntry* entry = PfnEntries(fetched.request);
    std::vector<ProcessKeyValue> namedKeys;
    for (const ProcessNameLinks* l = fetched.names.head.next; l != &fetched.names.head; l = l->next)
      namedKeys.push_back(ProcessNameRecordOf(l)->key);
    std::sort(namedKeys.begin(), namedKeys.end());
    for (uint32_t j = 0; j < entries; ++j, ++entry) {
      if (PageUseIndex(*entry) != 0) continue;
      ++privatePages;
      namedPages += std::binary_search(namedKeys.begin(), namedKeys.end(), ProcessKey(*entry));
    }
  }
  const double mib = 1024.0 * 1024.0;
  const double requestMiB = fetched.requestSize / mib;
  printf(
      "machine: %d ranges, %u entries printed, request %.1f MiB; process-private pages "
      "%.1f %% (%.1f %% with a named owner)\n",
      fetched.ranges->rangeCount, entries, requestMiB, 100.0 * privatePages / entries,
      100.0 * namedPages / entries);
  printf("report: %llu bytes, %.1f bytes a line\n", static_cast<unsigned long long>(report.bytes),
         static_cast<double>(report.bytes) / (entries + 1));
  printf("\nphase (best run)\n");
  PrintPhase("pfndb -p, whole dump", dump, entries);
  PrintPhase("  ranges + request walk (+ faults)", construction, entries);
  PrintPhase("  stand-in fill", fill, entries);
  PrintPhase("  process names", names, 0);
  PrintPhase("  report (PrintPfnDatabase)", report, entries);
  PrintPhase("naive report (snprintf, list scan)", naive, entries);
  PrintPhase("write limit (console copy + write)", limit, 0);
  PrintPhase("write(2) alone", bareWrite, 0);

  double partsSum = construction.seconds + fill.seconds + names.seconds + report.seconds;
  printf("\nreport share of the dump: %.1f %% (fill %.1f %%, walk %.1f %%)\n",
         100.0 * report.seconds / partsSum, 100.0 * fill.seconds / partsSum,
         100.0 * construction.seconds / partsSum);
  printf("whole dump with the naive report instead: about %.3f s (%.1fx pfndb's)\n",
         dump.seconds - report.seconds + naive.seconds,
         (dump.seconds - report.seconds + naive.seconds) / dump.seconds);
  double speedup = naive.seconds / report.seconds;
  double cost = report.seconds / limit.seconds;
  printf("report vs naive: %.1fx faster (goal >= 10x)\n", speedup);
  printf("report vs write limit: %.2fx its time (goal <= 3x); vs write(2) alone: %.0fx\n", cost,
         report.seconds / bareWrite.seconds);
  double peakMiB = dumpPeakKiB / 1024.0;
  printf(
      "peak resident during the dump: %.1f MiB%s (resident before it %.1f MiB; whole "
      "bench %.1f MiB); goal <= %.1f MiB\n",
      peakMiB, peakIsOwn ? "" : " (process peak)", residentBefore / 1024.0, overallPeakKiB / 1024.0,
      requestMiB + 64);
  // The dump's floor: its service calls as the program makes them, and
  // moving its bytes as the console does.
  const double floor = construction.seconds + fill.seconds + names.seconds + limit.seconds;
  printf("whole dump vs its floor (service calls + write limit): %.2fx (goal <= 1.5x)\n",
         dump.seconds / floor);
  printf(
      "format=%d speedup_vs_naive=%.2f cost_vs_limit=%.2f dump_vs_floor=%.2f peak_mib=%.1f "
      "request_mib=%.1f\n",
      Format::kBits, speedup, cost, dump.seconds / floor, peakMiB, requestMiB);
  fflush(stdout);

  Release(&fetched);
  SetConsoleSink(nullptr);
  StandinSelectMachine(nullptr);
  StandinDestroyMachine(machine);
  close(g_devNull);
  return 0;
}
