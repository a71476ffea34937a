// A DumpReadFn over bytes in memory, handing them out in pieces of a chosen
// size, so that lines fall across every possible boundary; for tests and
// the fuzz target.
#ifndef PFNDB_STAT_MEMORY_SOURCE_H_
#define PFNDB_STAT_MEMORY_SOURCE_H_

#include <cstring>

#include "stat/dump_reader.h"

struct MemorySource {
  const char* bytes;
  size_t size;
  size_t taken;
  size_t piece;   // the most one read hands out; 0: no limit
  int failAtEnd;  // the end is a read error instead
};

inline int ReadFromMemory(void* source, char* buffer, size_t capacity, size_t* got) {
  MemorySource* from = static_cast<MemorySource*>(source);
  size_t n = from->size - from->taken;
  if (n == 0 && from->failAtEnd) return -1;
  if (from->piece != 0 && n > from->piece) n = from->piece;
  if (n > capacity) n = capacity;
  memcpy(buffer, from->bytes + from->taken, n);
  from->taken += n;
  *got = n;
  return 0;
}

#endif  // PFNDB_STAT_MEMORY_SOURCE_H_
