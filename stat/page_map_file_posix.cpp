#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stat/page_map_file.h"

FILE* CreateNewFile(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    int error = errno;
    close(fd);
    unlink(name);
    errno = error;
  }
  return file;
}

int MoveFileOver(const char* from, const char* to, char* reason, size_t reasonSize) {
  if (rename(from, to) == 0) return 0;
  if (reasonSize > 0) snprintf(reason, reasonSize, "%s", strerror(errno));
  return -1;
}

void RemoveNamedFile(const char* name) { unlink(name); }
