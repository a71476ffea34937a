#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stat/page_map_file.h"

FILE* CreateNewFile(const char* name) {
  int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    int error = errno;
    _close(fd);
    _unlink(name);
    errno = error;
  }
  return file;
}

int MoveFileOver(const char* from, const char* to, char* reason, size_t reasonSize) {
  // The C runtime's rename refuses to replace an existing file.
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
  DWORD error = GetLastError();
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
