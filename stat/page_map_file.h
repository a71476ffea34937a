// The file operations of the page map that differ between platforms
// (page_map_file_posix.cpp, page_map_file_win32.cpp). Names are as the
// command line gives them: on Windows, UTF-8.
#ifndef PFNDB_STAT_PAGE_MAP_FILE_H_
#define PFNDB_STAT_PAGE_MAP_FILE_H_

#include <cstddef>
#include <cstdio>

// Creates `name` for binary writing, failing when anything already has that
// name. Returns the open file, or null with errno set (EEXIST when taken).
FILE* CreateNewFile(const char* name);

// Puts the file `from` in the place of `to`, replacing a file already there.
// Returns 0, or -1 with the system's reason (no newline) in
// reason[0 .. reasonSize); `from` is then left as it was.
int MoveFileOver(const char* from, const char* to, char* reason, size_t reasonSize);

// Removes the file `name`, if it can.
void RemoveNamedFile(const char* name);

#endif  // PFNDB_STAT_PAGE_MAP_FILE_H_
