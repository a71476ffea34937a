// The Windows entry: the raw command line comes from GetCommandLineW, the
// argument count from the runtime's wide argument parser. On 64-bit Windows
// the 32-bit program hands the run to pfndb64.exe (cli/handover.h).
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "cli/handover.h"
#include "cli/pfndb.h"

// The runtime must not expand wildcards: the count has to match the tokens
// as typed.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** /*argv*/) {
  uint32_t siblingStatus = 0;
  if (HandOverTo64(SystemHandover(), kPfndbHandover, &siblingStatus) == kHandedOver)
    return static_cast<int>(siblingStatus);
  wchar_t* raw = GetCommandLineW();
  // The scan splits the line in place; the process's own copy stays intact,
  // unless there is no memory for another: then it is split itself.
  const size_t bytes = (wcslen(raw) + 1) * sizeof(wchar_t);
  wchar_t* line = static_cast<wchar_t*>(malloc(bytes));
  if (line != nullptr) memcpy(line, raw, bytes);
  int status = RunPfndbAndFlush(argc, line != nullptr ? line : raw);
  free(line);
  return status;
}
