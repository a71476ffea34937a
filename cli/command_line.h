// The raw command line a Windows process would get for the same typed
// command, built on the host from its argument vector.
#ifndef PFNDB_CLI_COMMAND_LINE_H_
#define PFNDB_CLI_COMMAND_LINE_H_

#include <cstddef>

// Writes the count arguments of argv as a Windows command line is written:
// separated by one space; an argument that is empty or holds a space, a tab
// or a double quote enclosed in double quotes, with its inner quotes, and the
// backslashes before them or before the closing quote, escaped by
// backslashes; others as they are. Each byte becomes the wide character of
// the same value (the "C" locale). Writes at most room characters, the last
// of them the terminating 0, into line (which may be null when room is 0),
// and returns the characters the whole line takes with its terminator.
size_t JoinCommandLine(int count, const char* const* argv, wchar_t* line, size_t room);

#endif  // PFNDB_CLI_COMMAND_LINE_H_
