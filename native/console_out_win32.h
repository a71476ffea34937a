// The system calls behind standard output on Windows, replaceable so that
// tests can play a console that fails as older Windows consoles do.
#ifndef PFNDB_NATIVE_CONSOLE_OUT_WIN32_H_
#define PFNDB_NATIVE_CONSOLE_OUT_WIN32_H_

#include <windows.h>

struct StandardOutputCalls {
  BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* getConsoleMode)(HANDLE, LPDWORD);
  DWORD(WINAPI* getFileType)(HANDLE);
};

// Makes StandardOutputWrite call these; null restores WriteFile,
// GetConsoleMode and GetFileType. The calls are copied.
void SetStandardOutputCalls(const StandardOutputCalls* calls);

// Bytes per write: to a console or another character device (NUL, a serial
// port), and to anything else (a file, a pipe).
const DWORD kConsoleWritePiece = 16 * 1024;
const DWORD kOtherWritePiece = 1 << 20;

#endif  // PFNDB_NATIVE_CONSOLE_OUT_WIN32_H_
