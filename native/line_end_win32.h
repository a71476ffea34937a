// Windows' line end, as the C runtime's text mode writes each "\n".
#ifndef PFNDB_NATIVE_LINE_END_WIN32_H_
#define PFNDB_NATIVE_LINE_END_WIN32_H_

#include <cstddef>

constexpr char kLineEnd[] = "\r\n";
constexpr size_t kLineEndLength = sizeof(kLineEnd) - 1;

#endif  // PFNDB_NATIVE_LINE_END_WIN32_H_
