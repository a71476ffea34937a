// The Windows entry: the raw command line comes from GetCommandLineW, the
// argument count from the runtime's wide argument parser.
#include <windows.h>

#include <cwchar>
#include <vector>

#include "cli/pfndb.h"

// The runtime must not expand wildcards: the count has to match the tokens
// as typed.
extern "C" {
int _dowildcard = 0;
}

int wmain(int argc, wchar_t** /*argv*/) {
  const wchar_t* raw = GetCommandLineW();
  // The scan splits the line in place; the process's own copy stays intact.
  std::vector<wchar_t> line(raw, raw + wcslen(raw) + 1);
  return RunPfndbAndFlush(argc, line.data());
}
