#include "cli/pfndb.h"

#include <cstring>

#include "cli/options.h"
#include "cli/texts.h"
#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"
#include "report/report.h"

namespace {

// The dump holds its three results until the end of the run, and releases
// them on the way out whether or not every step succeeded: a leak checker
// then sees the same clean exit on every path.
int DumpInOneRequest() {
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  ProcessNameList names;
  ProcessNameListInit(&names);

  int status = -1;
  if (GetMemoryRanges(&requestSize, &ranges) != 0)
    ConsoleWPrintf(L"failed to get memory range ...\n");
  else if (SetUpPfnDatabase(requestSize, ranges, &request) != 0)
    ConsoleWPrintf(L"SetUp Pfn Database failed ...\n");
  else if (SetupProcessNameDatabase(&names) != 0)
    ConsoleWPrintf(L"Setup Process Name Database failed ...\n");
  else if (PrintPfnDatabase(request, requestSize, &names, ranges) != 0)
    ConsoleWPrintf(L"Print Pfn Database failed ...\n");
  else
    status = 0;

  ProcessNameListRelease(&names);
  RuntimeFree(ranges);
  ProcessHeapFree(request);
  return status;
}

// The 64-bit program's dump: the ranges, the processes, then the pages a
// slice at a time, each printed before the next is asked, so the tool's
// own memory stays small on a machine of any size. The output is the one
// request's on a machine that does not change; a slice the service
// refuses ends the run as a refused request does, its lines printed so far
// kept.
int DumpInSlices() {
  NativeService* service = ProgramService();
  PfnRequestSize requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  ProcessNameList names;
  ProcessNameListInit(&names);
  PfnSlices slices;
  memset(&slices, 0, sizeof(slices));

  int status = -1;
  if (GetMemoryRanges(service, &requestSize, &ranges) != 0) {
    ConsoleWPrintf(L"failed to get memory range ...\n");
  } else if (SetupProcessNameDatabase(service, &names) != 0) {
    ConsoleWPrintf(L"Setup Process Name Database failed ...\n");
  } else if (PfnSlicesStart(service, requestSize, ranges, kSlicePages, &slices) != 0) {
    ConsoleWPrintf(L"SetUp Pfn Database failed ...\n");
  } else {
    PfnReport report;
    bool started = false;
    const PfnEntry* entries;
    uint32_t count;
    for (;;) {
      const int got = PfnSlicesNext(service, &slices, &entries, &count);
      if (got < 0) {
        ConsoleWPrintf(L"SetUp Pfn Database failed ...\n");
        break;
      }
      // The header once the first slice has come back, as the one request
      // prints it only once that was filled.
      if (!started) PfnReportStart(&names, &report);
      started = true;
      if (got == 0) {
        status = 0;
        break;
      }
      PfnReportLines(&report, entries, entries + count);
    }
    if (started) PfnReportEnd(&report);
  }
  PfnSlicesEnd(&slices);
  ProcessNameListRelease(&names);
  RuntimeFree(ranges);
  return status;
}

int DumpPfnDatabase() { return Format::kBits == 64 ? DumpInSlices() : DumpInOneRequest(); }

}  // namespace

int RunPfndb(int argumentCount, wchar_t* commandLine) {
  const wchar_t* programToken = nullptr;
  RunMode mode = ScanRunMode(argumentCount, commandLine, &programToken);
  if (programToken == nullptr) programToken = L"";
  ConsoleWPrintf(L"%s %s \n", programToken, kOwnershipNotice);
  ConsoleWPrintf(L"%s\n", kLicenceNotice);

  // Which layouts a system takes is learnt by asking; the trace shows a
  // user whose Windows answers otherwise what was asked and answered.
  if (TraceRequested()) ProgramService()->trace = TraceToStandardError;
  if (InitNativeQuery() != 0) {
    ConsoleWPrintf(L"failed to initialized ...\n");
    return -1;
  }
  switch (mode) {
    case ModeWarranty:
      ConsoleWPrintf(L"%s \n", kWarrantyText);
      ConsoleWPrintf(L"%s \n", kLiabilityText);
      return 0;
    case ModeConditions: ConsoleWPrintf(L"%s \n", kConditionsText); return 0;
    case ModeUsage: ConsoleWPrintf(L"usage: %s -p Dump Pfn Database \n", programToken); return 0;
    case ModeDumpPfn: break;
  }
  return DumpPfnDatabase();
}

int RunPfndbAndFlush(int argumentCount, wchar_t* commandLine) {
  int status = RunPfndb(argumentCount, commandLine);
  if (ConsoleFlush() != 0) status = -1;
  return status;
}
