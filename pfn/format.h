// The format this build exchanges with the service: the build chooses it
// (PFNDB_FORMAT_BITS, set by CMake for each core library), so a program is
// either the 32-bit tool or the 64-bit one, and the shared code is the same.
#ifndef PFNDB_PFN_FORMAT_H_
#define PFNDB_PFN_FORMAT_H_

#include "pfn/format32.h"
#include "pfn/format64.h"

template <int Bits>
struct FormatOf;
template <>
struct FormatOf<32> {
  typedef Format32 Type;
};
template <>
struct FormatOf<64> {
  typedef Format64 Type;
};

typedef FormatOf<PFNDB_FORMAT_BITS>::Type Format;

#endif  // PFNDB_PFN_FORMAT_H_
