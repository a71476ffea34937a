// pfnstat: what a page-frame dump says, at a glance.
//   pfnstat [--csv uses|processes|ranges] [--map FILE.png] DUMP [AFTER]
//   pfnstat [--csv uses|processes|ranges] [--map FILE.png] [DUMP] --live
#ifndef PFNDB_STAT_PFNSTAT_H_
#define PFNDB_STAT_PFNSTAT_H_

#include <cstdio>

// Runs the whole program: dumps named "-" are read from in, the views go to
// out and every message to err; --live asks the native service itself.
// Returns the exit status: 0, or 2 for a usage error, a dump that cannot be
// read or is not a dump, a machine that cannot be read, or a map or output
// that cannot be written.
int RunPfnstat(int argc, char** argv, FILE* in, FILE* out, FILE* err);

// Whether the command line is a valid one that asks for --live (not --help).
bool PfnstatAsksLive(int argc, char** argv);

// Makes the standard streams carry bytes as they are (no line-end
// translation), so a dump and the CSV mean the same on every system.
void UseBinaryStdio();

// The file calls of the platform (stdio_posix.cpp, stdio_win32.cpp) on a name
// as the command line gives it, which on Windows is UTF-8 (main_win32.cpp).
//
// Opens the dump path for binary reading. Returns the file, or null with
// errno set.
FILE* OpenDumpFile(const char* path);
// The name path as messages and headings show it: path itself, or, on
// Windows, a copy in the console's code page (characters it lacks as '?'),
// which is then left in *made for the caller to free() (*made is null
// otherwise). Returns null only when that copy cannot be made.
const char* NameToShow(const char* path, char** made);

#endif  // PFNDB_STAT_PFNSTAT_H_
