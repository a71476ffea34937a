#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdlib>

#include "stat/pfnstat.h"
#include "stat/utf8_win32.h"

// In text mode the runtime would drop the CR of every "\r\n" read (and stop
// at a Ctrl-Z byte) and write "\n" as "\r\n": the CSV would not be the same
// bytes as on other systems. Messages keep the console's line ends.
void UseBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

FILE* OpenDumpFile(const char* path) {
  wchar_t* wide = WideFromUtf8(path);
  if (wide == nullptr) return nullptr;
  FILE* file = _wfopen(wide, L"rb");
  const int error = errno;
  free(wide);
  errno = error;
  return file;
}

// Who reads the messages reads them in the console's code page; without a
// console, in the ANSI one, as the runtime's narrow arguments were.
const char* NameToShow(const char* path, char** made) {
  *made = nullptr;
  UINT codePage = GetConsoleOutputCP();
  if (codePage == 0) codePage = GetACP();
  if (codePage == CP_UTF8 || !IsValidCodePage(codePage)) return path;
  wchar_t* wide = WideFromUtf8(path);
  if (wide == nullptr) return errno == ENOMEM ? nullptr : path;
  *made = CodePageFromWide(wide, codePage);
  free(wide);
  return *made;
}
