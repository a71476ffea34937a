// What pfndb_launch.exe (launch_win32.cpp) and pfndb_redirect.dll
// (redirect_win32.cpp) share: a block both processes map, through which the
// launcher names the modules and the redirector reports a failure.
#ifndef PFNDB_STANDIN_LAUNCH_WIN32_H_
#define PFNDB_STANDIN_LAUNCH_WIN32_H_

#include <windows.h>

const size_t kLaunchPathChars = 4 * MAX_PATH;

struct LaunchBlock {
  wchar_t redirector[kLaunchPathChars];  // full path of pfndb_redirect.dll
  wchar_t machine[kLaunchPathChars];     // full path of the machine module
  char failure[256];                     // why redirecting failed; empty if not
};

// pfndb_redirect.dll's export, a thread start: points the calling process's
// ntdll entries NtQuerySystemInformation and RtlAdjustPrivilege at those of
// the machine module the LaunchBlock at `block` names, which it loads.
// Returns 0, or 1 with the reason in block->failure.
const char kRedirectEntry[] = "PfndbRedirect";
typedef DWORD(WINAPI* RedirectFn)(void* block);

#endif  // PFNDB_STANDIN_LAUNCH_WIN32_H_
