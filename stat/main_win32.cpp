// The Windows entry. The runtime's main would get each argument in the ANSI
// code page, where a name such as C:\Users\Олег\a.txt on a Western-European
// system has already become C:\Users\????\a.txt and names no file. The
// arguments are taken as the system holds them and handed on as UTF-8, which
// this platform's file calls turn back (stdio_win32.cpp,
// page_map_file_win32.cpp). A name with a lone UTF-16 surrogate, which no
// UTF-8 holds, arrives with U+FFFD in its place and is not found.
// On 64-bit Windows the 32-bit program hands a --live run to pfnstat64.exe
// (cli/handover.h); reading dumps needs no handover.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cli/handover.h"
#include "stat/pfnstat.h"
#include "stat/utf8_win32.h"

int wmain(int argc, wchar_t** wideArgv) {
  UseBinaryStdio();
  char** argv = static_cast<char**>(calloc(argc + 1, sizeof(char*)));
  int made = argv != nullptr;
  for (int i = 0; made && i < argc; ++i) {
    argv[i] = CodePageFromWide(wideArgv[i], CP_UTF8);
    made = argv[i] != nullptr;
  }
  int status = 2;
  uint32_t siblingStatus = 0;
  if (!made) {
    fputs("pfnstat: out of memory\n", stderr);
  } else if (PfnstatAsksLive(argc, argv) &&
             HandOverTo64(SystemHandover(), kPfnstatHandover, &siblingStatus) == kHandedOver) {
    status = static_cast<int>(siblingStatus);
  } else {
    status = RunPfnstat(argc, argv, stdin, stdout, stderr);
  }
  for (int i = 0; argv != nullptr && i < argc; ++i) free(argv[i]);
  free(argv);
  return status;
}
