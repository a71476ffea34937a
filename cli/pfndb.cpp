#include "cli/pfndb.h"

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
int DumpPfnDatabase() {
  uint32_t requestSize = 0;
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
