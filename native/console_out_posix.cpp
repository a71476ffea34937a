#include <cstdio>

#include "native/console.h"

int StandardOutputWrite(const char* bytes, size_t count) {
  return fwrite(bytes, 1, count, stdout) == count ? 0 : -1;
}

int StandardOutputFlush() { return fflush(stdout) == 0 ? 0 : -1; }
