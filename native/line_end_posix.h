// The host's line end: text streams there write "\n" as it is.
#ifndef PFNDB_NATIVE_LINE_END_POSIX_H_
#define PFNDB_NATIVE_LINE_END_POSIX_H_

#include <cstddef>

constexpr char kLineEnd[] = "\n";
constexpr size_t kLineEndLength = sizeof(kLineEnd) - 1;

#endif  // PFNDB_NATIVE_LINE_END_POSIX_H_
