// Standard output of the program. Wide and narrow text share one buffer, so
// they come out in call order; a wide character of value 0 to 255 is written
// as the byte of that value (the "C" locale), anything above as '?'.
#ifndef PFNDB_NATIVE_CONSOLE_H_
#define PFNDB_NATIVE_CONSOLE_H_

#include <cstddef>

// printf-like output for the program's messages; formats understand only %s
// (a string of the format's own character type, with an optional precision),
// %x and %X (an unsigned int), and %llx and %llX (an unsigned long long). Anything else is printed as written. Each
// "\n", of the format or of a string printed, is put as kLineEnd
// (native/line_end.h).
void ConsoleWPrintf(const wchar_t* format, ...);
void ConsolePrintf(const char* format, ...);

// Appends bytes as they are: line ends must already be the platform's.
void ConsoleWrite(const char* bytes, size_t count);

// Largest span ConsoleReserve hands out.
const size_t kConsoleMaxReserve = 64 * 1024;

// Returns room for at least `bytes` (at most kConsoleMaxReserve) bytes in the
// buffer; the caller fills a prefix of it and hands the filled length to
// ConsoleCommit before any other console call.
char* ConsoleReserve(size_t bytes);
void ConsoleCommit(size_t bytes);

// Writes out everything buffered. Returns 0, or -1 when any write since the
// program started has failed.
int ConsoleFlush();

// Where buffered bytes go; returns 0 on success. Null restores standard
// output. Tests capture the output through it.
typedef int (*ConsoleSink)(const char* bytes, size_t count);
void SetConsoleSink(ConsoleSink sink);

// Standard output itself, one implementation per platform
// (console_out_posix.cpp, console_out_win32.cpp): the bytes as they are, line
// ends included. Each returns 0, or -1 when a write failed.
int StandardOutputWrite(const char* bytes, size_t count);
int StandardOutputFlush();

// Forgets a failed write (for tests that reuse the console).
void ConsoleClearError();

#endif  // PFNDB_NATIVE_CONSOLE_H_
