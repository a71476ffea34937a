#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <cstdlib>

#include "stat/page_map_file.h"
#include "stat/utf8_win32.h"

FILE* CreateNewFile(const char* name) {
  wchar_t* wide = WideFromUtf8(name);
  if (wide == nullptr) return nullptr;
  int fd = _wopen(wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
  int error = errno;
  if (fd >= 0 && file == nullptr) {
    _close(fd);
    _wunlink(wide);
  }
  free(wide);
  errno = error;
  return file;
}

int MoveFileOver(const char* from, const char* to, char* reason, size_t reasonSize) {
  wchar_t* wideFrom = WideFromUtf8(from);
  wchar_t* wideTo = WideFromUtf8(to);
  // The C runtime's rename refuses to replace an existing file.
  const BOOL moved = wideFrom != nullptr && wideTo != nullptr &&
                     MoveFileExW(wideFrom, wideTo, MOVEFILE_REPLACE_EXISTING);
  DWORD error = wideFrom != nullptr && wideTo != nullptr ? GetLastError() : ERROR_OUTOFMEMORY;
  free(wideFrom);
  free(wideTo);
  if (moved) return 0;
  if (reasonSize == 0) return -1;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, reason, static_cast<DWORD>(reasonSize), nullptr);
  // The system's texts end in a full stop and a line break.
  while (n > 0 && (reason[n - 1] == '\n' || reason[n - 1] == '\r' || reason[n - 1] == '.')) --n;
  if (n == 0) {
    snprintf(reason, reasonSize, "system error %lu", static_cast<unsigned long>(error));
  } else {
    reason[n] = '\0';
  }
  return -1;
}

void RemoveNamedFile(const char* name) {
  wchar_t* wide = WideFromUtf8(name);
  if (wide != nullptr) _wunlink(wide);
  free(wide);
}
