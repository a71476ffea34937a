#include "cli/handover.h"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <cwchar>

const HandoverTarget kPfndbHandover = {
    "pfndb", L"pfndb64.exe",
    "pfndb: this is 64-bit Windows, whose page-frame database a 32-bit program "
    "cannot read; run pfndb64.exe instead"};
const HandoverTarget kPfnstatHandover = {
    "pfnstat", L"pfnstat64.exe",
    "pfnstat: this is 64-bit Windows, whose page-frame database a 32-bit program "
    "cannot read; for --live run pfnstat64.exe instead"};

namespace {

const DWORD kPathChars = 32768;  // the longest path Windows knows
wchar_t g_path[kPathChars];

void WriteErrorLine(const char* line) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written;
  // Nothing to do when standard error is gone.
  WriteFile(err, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
  WriteFile(err, "\r\n", 2, &written, nullptr);
}

// Whether this is a 32-bit process on 64-bit Windows. Where the question
// cannot be asked or fails, the answer is no: the program runs as always.
bool OnWow64(const HandoverSystem& system) {
  BOOL wow64 = FALSE;
  return system.isWow64Process != nullptr &&
         system.isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The sibling's full path into g_path: this program's own with its file
// name replaced. False when that path cannot be had (Windows XP cuts a path
// that does not fit without a terminator and reports success) or would not
// fit.
bool SiblingPath(const HandoverSystem& system, const wchar_t* name) {
  const DWORD length = system.getModuleFileName(nullptr, g_path, kPathChars);
  if (length == 0 || length >= kPathChars) return false;
  g_path[length] = L'\0';
  wchar_t* slash = wcsrchr(g_path, L'\\');
  if (slash == nullptr || (slash + 1 - g_path) + wcslen(name) >= kPathChars) return false;
  wcscpy(slash + 1, name);
  return true;
}

bool IsFile(const HandoverSystem& system, const wchar_t* path) {
  const DWORD attributes = system.getFileAttributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

HandoverSystem SystemHandover() {
  HandoverSystem system;
  FARPROC isWow64 = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
  memcpy(&system.isWow64Process, &isWow64, sizeof(isWow64));
  system.getModuleFileName = GetModuleFileNameW;
  system.getFileAttributes = GetFileAttributesW;
  system.createProcess = CreateProcessW;
  system.waitForSingleObject = WaitForSingleObject;
  system.getExitCodeProcess = GetExitCodeProcess;
  system.writeErrorLine = WriteErrorLine;
  return system;
}

int HandOverTo64(const HandoverSystem& system, const HandoverTarget& target,
                 uint32_t* exitCode) {
  assert(system.getModuleFileName != nullptr && system.getFileAttributes != nullptr &&
         system.createProcess != nullptr && system.waitForSingleObject != nullptr &&
         system.getExitCodeProcess != nullptr && system.writeErrorLine != nullptr);
  assert(exitCode != nullptr);
  if (!OnWow64(system)) return kRunHere;
  if (!SiblingPath(system, target.program64) || !IsFile(system, g_path)) {
    system.writeErrorLine(target.missing);
    return kRunHere;
  }
  // CreateProcessW may write into the command line it is given; the
  // process's own stays as it came.
  const wchar_t* raw = GetCommandLineW();
  static wchar_t line[kPathChars];
  if (wcslen(raw) >= kPathChars) {
    system.writeErrorLine(target.missing);
    return kRunHere;
  }
  wcscpy(line, raw);

  STARTUPINFOW startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // A handle not marked inheritable would not reach the sibling. Console
  // handles before Windows 8 are no kernel handles and refuse this, but are
  // passed on anyway.
  SetHandleInformation(startup.hStdInput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(startup.hStdOutput, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(startup.hStdError, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  PROCESS_INFORMATION info;
  if (!system.createProcess(g_path, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &info)) {
    system.writeErrorLine(target.missing);
    return kRunHere;
  }
  DWORD code = 0;
  if (system.waitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !system.getExitCodeProcess(info.hProcess, &code)) {
    char message[128];
    snprintf(message, sizeof(message), "%s: cannot learn how the 64-bit program ended (error %lu)",
             target.name, GetLastError());
    system.writeErrorLine(message);
    code = 0xFFFFFFFF;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  *exitCode = code;
  return kHandedOver;
}
