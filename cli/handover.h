// The 32-bit programs on 64-bit Windows: a 32-bit process cannot ask for the
// page-frame database there (WOW64 translates none of its structures), so
// pfndb.exe, and pfnstat.exe for --live, hand the run to their 64-bit
// sibling when it sits beside them, and otherwise say which program to use.
#ifndef PFNDB_CLI_HANDOVER_H_
#define PFNDB_CLI_HANDOVER_H_

#include <windows.h>

#include <cstdint>

// What the handover asks of Windows, passed in so a test can play a Windows
// that fails. Each member behaves as the kernel32 function of its name.
struct HandoverSystem {
  // Null where kernel32 lacks it (before Windows XP SP2, which has no 64-bit
  // sibling to run).
  BOOL(WINAPI* isWow64Process)(HANDLE process, BOOL* wow64);
  DWORD(WINAPI* getModuleFileName)(HMODULE module, wchar_t* path, DWORD capacity);
  DWORD(WINAPI* getFileAttributes)(const wchar_t* path);
  BOOL(WINAPI* createProcess)(const wchar_t* application, wchar_t* commandLine,
                              SECURITY_ATTRIBUTES* processAttributes,
                              SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                              DWORD flags, void* environment, const wchar_t* directory,
                              STARTUPINFOW* startup, PROCESS_INFORMATION* info);
  DWORD(WINAPI* waitForSingleObject)(HANDLE handle, DWORD milliseconds);
  BOOL(WINAPI* getExitCodeProcess)(HANDLE process, DWORD* exitCode);
  // Writes one line of standard error; `line` carries no line end.
  void (*writeErrorLine)(const char* line);
};

// This Windows: kernel32's functions, IsWow64Process looked up at run time.
HandoverSystem SystemHandover();

// Names the 64-bit sibling and the one line said when it is missing.
struct HandoverTarget {
  const char* name;          // this program's, for its messages: "pfndb"
  const wchar_t* program64;  // the sibling's file name: L"pfndb64.exe"
  const char* missing;       // standard error's line when it is not beside us
};
extern const HandoverTarget kPfndbHandover;
extern const HandoverTarget kPfnstatHandover;

const int kRunHere = 0;
const int kHandedOver = 1;

// On 64-bit Windows in a 32-bit process, runs target.program64 from this
// program's folder with this process's raw command line and standard handles,
// waits for it, and returns kHandedOver with its exit code in *exitCode.
// Everywhere else returns kRunHere, writing nothing. When this is 64-bit
// Windows but the sibling is missing or cannot be started, returns kRunHere
// after one line on standard error saying which program to use. Once the
// sibling started the run is its own: should waiting for it fail, one line
// says so and the result is kHandedOver with exit code 0xFFFFFFFF (-1).
// REQUIRES: every member of `system` but isWow64Process set; exitCode non-null.
int HandOverTo64(const HandoverSystem& system, const HandoverTarget& target,
                 uint32_t* exitCode);

#endif  // PFNDB_CLI_HANDOVER_H_
