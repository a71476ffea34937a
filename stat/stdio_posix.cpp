#include "stat/pfnstat.h"

#include <cstdio>

// Streams carry bytes as they are here already.
void UseBinaryStdio() {}

FILE* OpenDumpFile(const char* path) { return fopen(path, "rb"); }

// Names are bytes, shown as they are.
const char* NameToShow(const char* path, char** made) {
  *made = nullptr;
  return path;
}
