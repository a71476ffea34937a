// One run of pfndb, apart from how the platform hands over its command line.
#ifndef PFNDB_CLI_PFNDB_H_
#define PFNDB_CLI_PFNDB_H_

// Prints the banner, picks the mode from commandLine (the raw command line,
// split in place) and argumentCount (the runtime's argument count), makes the
// native service usable and carries the mode out. Returns the exit status: 0,
// or -1 after printing what failed. Output stays buffered; the caller flushes.
int RunPfndb(int argumentCount, wchar_t* commandLine);

// Runs RunPfndb and writes out all output; an output that could not be
// written turns the status into -1.
int RunPfndbAndFlush(int argumentCount, wchar_t* commandLine);

#endif  // PFNDB_CLI_PFNDB_H_
