// The platform's line end, which every line the program prints carries from
// the moment it is made: standard output then takes the bytes as they are.
// CMake names the platform's header (line_end_posix.h, line_end_win32.h).
#ifndef PFNDB_NATIVE_LINE_END_H_
#define PFNDB_NATIVE_LINE_END_H_

#include PFNDB_LINE_END_HEADER

static_assert(kLineEndLength >= 1 && kLineEndLength <= 2 && kLineEnd[kLineEndLength - 1] == '\n',
              "a line end is \"\\n\", optionally preceded by one byte");

#endif  // PFNDB_NATIVE_LINE_END_H_
