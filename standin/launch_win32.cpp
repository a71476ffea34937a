// pfndb_launch.exe MACHINE.dll PROGRAM.exe [ARGS...]
//
// Runs PROGRAM with MACHINE.dll playing ntdll's system-information service:
// any module exporting NtQuerySystemInformation and RtlAdjustPrivilege
// (__stdcall, bare names). PROGRAM is started suspended; a thread of its own
// loads pfndb_redirect.dll (found beside the launcher), and a second one
// runs its PfndbRedirect, which loads MACHINE.dll and points the two entries
// of ntdll's export address table at its functions. GetProcAddress reads
// that table, so PROGRAM finds the module's functions under ntdll's names;
// nothing else of ntdll changes. The paths travel in memory both processes
// map. Then PROGRAM runs with the launcher's standard handles, and its exit
// status is the launcher's.
//
// PROGRAM's command line is its full path in quotes, as Windows' own
// loaders (and Wine) give it, followed by the rest of the launcher's own
// command line as it stands, spacing and quotes included.
//
// When PROGRAM cannot be started or redirected, the reason goes to stderr,
// PROGRAM is ended, and the exit status is kLaunchFailed.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "standin/launch_win32.h"

namespace {

const int kLaunchFailed = 126;

int Fail(const char* what) {
  fprintf(stderr, "pfndb_launch: %s (error %lu)\n", what, GetLastError());
  return -1;
}

// The rest of a raw command line after its first `count` arguments, split
// as the C runtime splits them: the program name ends at its closing quote
// or at white space; later arguments at white space outside quotes, where a
// quote after an odd run of backslashes is an ordinary character.
const wchar_t* SkipArguments(const wchar_t* line, int count) {
  const wchar_t* p = line;
  for (int i = 0; i < count; ++i) {
    while (*p == L' ' || *p == L'\t') ++p;
    if (i == 0 && *p == L'"') {
      p = wcschr(p + 1, L'"');
      p = p != nullptr ? p + 1 : line + wcslen(line);
    }
    bool quoted = false;
    while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
      if (*p == L'\\' && i > 0) {
        const wchar_t* q = p;
        while (*q == L'\\') ++q;
        p = *q == L'"' && (q - p) % 2 == 1 ? q + 1 : q;
        continue;
      }
      if (*p == L'"' && i > 0) quoted = !quoted;
      ++p;
    }
  }
  return p;
}

// Full path of `path` into out (kLaunchPathChars); false when it does not fit.
bool FullPath(const wchar_t* path, wchar_t* out) {
  DWORD length = GetFullPathNameW(path, kLaunchPathChars, out, nullptr);
  return length != 0 && length < kLaunchPathChars;
}

// Runs start(parameter) on a new thread of `process` and waits for it; its
// exit code in *result. A thread of a process that is suspended before its
// first instruction initialises the process first (loader, kernel32, the
// program's imports), so kernel32's functions are usable as starts.
int RunRemote(HANDLE process, uintptr_t start, uintptr_t parameter, DWORD* result) {
  LPTHREAD_START_ROUTINE routine;
  memcpy(&routine, &start, sizeof(routine));
  HANDLE thread = CreateRemoteThread(process, nullptr, 0, routine,
                                     reinterpret_cast<void*>(parameter), 0, nullptr);
  if (thread == nullptr) return Fail("cannot start a thread in the program");
  bool finished =
      WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0 && GetExitCodeThread(thread, result);
  CloseHandle(thread);
  return finished ? 0 : Fail("a thread in the program did not finish");
}

// The address in the program of a module loaded here at `local`, of which
// a thread's exit code gave the low 32 bits. On x86 that is the whole
// address. On x64 the high half is taken from here: a module lies at the
// same address in every process that loads it, unless it had to move, and
// its move would have to keep within one 4 GiB window.
uintptr_t RemoteModule(HMODULE local, DWORD remoteLow) {
  const uint64_t high = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(local)) & ~0xFFFFFFFFull;
  return static_cast<uintptr_t>(high | remoteLow);
}

// NtMapViewOfSection maps into another process without touching its
// memory otherwise; kernel32 has no such call on older systems.
typedef LONG(NTAPI* MapViewFn)(HANDLE section, HANDLE process, void** base, ULONG_PTR zeroBits,
                               SIZE_T commitSize, LARGE_INTEGER* offset, SIZE_T* viewSize,
                               DWORD inherit, ULONG allocationType, ULONG protection);

// Maps `section` into `process`; the view's address in *remote.
int MapIntoProcess(HANDLE section, HANDLE process, uintptr_t* remote) {
  FARPROC entry = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtMapViewOfSection");
  MapViewFn mapView;
  memcpy(&mapView, &entry, sizeof(mapView));
  void* base = nullptr;
  SIZE_T size = 0;
  const DWORD kViewUnmap = 2;  // not inherited by the program's children
  if (entry == nullptr ||
      mapView(section, process, &base, 0, 0, nullptr, &size, kViewUnmap, 0, PAGE_READWRITE) != 0)
    return Fail("cannot map the launch block into the program");
  *remote = reinterpret_cast<uintptr_t>(base);
  return 0;
}

// Makes the suspended `process` load the redirector and redirect ntdll to
// the machine module that `block` (mapped here and at `remote` there) names.
int Redirect(HANDLE process, LaunchBlock* block, uintptr_t remote) {
  // kernel32, like any module, lies at the same address in both processes
  // as long as neither had to relocate it.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  HMODULE redirector = LoadLibraryW(block->redirector);
  if (redirector == nullptr) return Fail("cannot load pfndb_redirect.dll");
  FARPROC load = GetProcAddress(kernel32, "LoadLibraryW");
  FARPROC redirect = GetProcAddress(redirector, kRedirectEntry);
  if (load == nullptr || redirect == nullptr) return Fail("an entry is missing");
  DWORD remoteRedirector = 0, failed = 0;
  if (RunRemote(process, reinterpret_cast<uintptr_t>(load),
                remote + offsetof(LaunchBlock, redirector), &remoteRedirector) != 0)
    return -1;
  if (remoteRedirector == 0) return Fail("the program cannot load pfndb_redirect.dll");
  uintptr_t entry = RemoteModule(redirector, remoteRedirector) +
                    (reinterpret_cast<uintptr_t>(redirect) - reinterpret_cast<uintptr_t>(redirector));
  if (RunRemote(process, entry, remote, &failed) != 0) return -1;
  if (failed != 0) {
    fprintf(stderr, "pfndb_launch: %s\n", block->failure);
    return -1;
  }
  return 0;
}

int Launch(const wchar_t* machinePath, const wchar_t* programPath, DWORD* exitCode) {
  HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(LaunchBlock), nullptr);
  LaunchBlock* block = section == nullptr
                           ? nullptr
                           : static_cast<LaunchBlock*>(
                                 MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, sizeof(LaunchBlock)));
  if (block == nullptr) return Fail("cannot make the launch block");
  wchar_t self[kLaunchPathChars];
  wchar_t program[kLaunchPathChars];
  DWORD selfLength = GetModuleFileNameW(nullptr, self, kLaunchPathChars);
  wchar_t* slash = selfLength < kLaunchPathChars ? wcsrchr(self, L'\\') : nullptr;
  if (slash == nullptr || !FullPath(machinePath, block->machine) || !FullPath(programPath, program))
    return Fail("cannot resolve a path");
  wcscpy(slash + 1, L"pfndb_redirect.dll");
  if (!FullPath(self, block->redirector)) return Fail("cannot resolve a path");
  std::wstring commandLine =
      std::wstring(L"\"") + program + L"\"" + SkipArguments(GetCommandLineW(), 3);

  // The program writes straight to our standard handles.
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  HANDLE* handles[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
  const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    *handles[i] = GetStdHandle(which[i]);
    SetHandleInformation(*handles[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION info;
  if (!CreateProcessW(program, &commandLine[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &info))
    return Fail("cannot start the program");

  uintptr_t remote = 0;
  int status = MapIntoProcess(section, info.hProcess, &remote);
  if (status == 0) status = Redirect(info.hProcess, block, remote);
  if (status == 0 && ResumeThread(info.hThread) == static_cast<DWORD>(-1))
    status = Fail("cannot resume the program");
  if (status != 0) {
    TerminateProcess(info.hProcess, kLaunchFailed);
  } else if (WaitForSingleObject(info.hProcess, INFINITE) != WAIT_OBJECT_0 ||
             !GetExitCodeProcess(info.hProcess, exitCode)) {
    status = Fail("cannot learn how the program ended");
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: pfndb_launch MACHINE.dll PROGRAM.exe [ARGS...]\n");
    return kLaunchFailed;
  }
  DWORD exitCode = 0;
  if (Launch(argv[1], argv[2], &exitCode) != 0) return kLaunchFailed;
  return static_cast<int>(exitCode);
}
