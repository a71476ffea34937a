// pfndb_redirect.dll: pfndb_launch.exe has the program it starts load this
// module and run PfndbRedirect, which redirects ntdll's two entries from
// inside the program. (Under Wine on an emulated x86, as on this project's
// machines, another process's memory can be neither read nor written; a
// thread of the program itself can.)
#include "standin/launch_win32.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char* const kRedirected[] = {"NtQuerySystemInformation", "RtlAdjustPrivilege"};

DWORD Fail(LaunchBlock* block, const char* what, const char* name) {
  snprintf(block->failure, sizeof(block->failure), "%s %s (error %lu)", what, name, GetLastError());
  return 1;
}

// The slot of ntdll's export address table that holds `name`'s address,
// relative to ntdll's base; null when ntdll does not export it.
DWORD* ExportSlot(const char* base, const char* name) {
  const IMAGE_NT_HEADERS32* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_EXPORT_DIRECTORY* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
      base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
  const DWORD* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const WORD* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  DWORD* functions =
      reinterpret_cast<DWORD*>(const_cast<char*>(base) + exports->AddressOfFunctions);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    if (strcmp(base + names[i], name) == 0) return functions + ordinals[i];
  return nullptr;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD WINAPI PfndbRedirect(void* data) {
  LaunchBlock* block = static_cast<LaunchBlock*>(data);
  HMODULE machine = LoadLibraryW(block->machine);
  if (machine == nullptr) return Fail(block, "cannot load", "the machine module");
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const char* base = reinterpret_cast<const char*>(ntdll);
  for (const char* name : kRedirected) {
    FARPROC target = GetProcAddress(machine, name);
    if (target == nullptr) return Fail(block, "the machine module does not export", name);
    DWORD* slot = ExportSlot(base, name);
    if (slot == nullptr) return Fail(block, "ntdll does not export", name);
    // The table holds addresses relative to ntdll's base; the loader adds
    // them modulo 2^32, so a module below ntdll is reached as well.
    DWORD protection;
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection))
      return Fail(block, "cannot unprotect ntdll's export table at", name);
    *slot =
        static_cast<DWORD>(reinterpret_cast<uintptr_t>(target) - reinterpret_cast<uintptr_t>(base));
    VirtualProtect(slot, sizeof(*slot), protection, &protection);
    if (GetProcAddress(ntdll, name) != target)
      return Fail(block, "GetProcAddress does not follow ntdll's export table for", name);
  }
  return 0;
}
