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

// Room for the jumps, reserved once above the module's image; and how much
// of it is used.
char* g_jumps = nullptr;
size_t g_jumpsUsed = 0;
const size_t kJumpRoom = 64 * 1024;  // the allocation granularity

// Executable memory for jumps within the 4 GiB above `base` (the image of
// `imageSize` bytes), at the first free place above the image; null when
// there is none.
char* ReserveAbove(const char* base, size_t imageSize) {
  const uintptr_t low = reinterpret_cast<uintptr_t>(base);
  const uint64_t limit = static_cast<uint64_t>(low) + UINT32_MAX - kJumpRoom;
  uintptr_t at = (low + imageSize + kJumpRoom - 1) & ~(kJumpRoom - 1);
  MEMORY_BASIC_INFORMATION region;
  while (at <= limit && VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof(region)) != 0) {
    const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (region.State == MEM_FREE && end - at >= kJumpRoom) {
      void* room = VirtualAlloc(reinterpret_cast<void*>(at), kJumpRoom, MEM_RESERVE | MEM_COMMIT,
                                PAGE_EXECUTE_READWRITE);
      if (room != nullptr) return static_cast<char*>(room);
    }
    at = (end + kJumpRoom - 1) & ~(kJumpRoom - 1);
  }
  return nullptr;
}

// A jump to `target` within 32-bit reach above `base`: `jmp [rip+0]`
// followed by the 8-byte address. Null when no room is left there.
const char* JumpNear(const char* base, FARPROC target) {
  static const unsigned char kJumpIndirect[] = {0xFF, 0x25, 0, 0, 0, 0};
  const size_t size = sizeof(kJumpIndirect) + sizeof(uint64_t);
  if (g_jumps == nullptr) {
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    g_jumps = ReserveAbove(base, nt->OptionalHeader.SizeOfImage);
    if (g_jumps == nullptr) return nullptr;
  }
  if (g_jumpsUsed + size > kJumpRoom) return nullptr;
  char* jump = g_jumps + g_jumpsUsed;
  const uint64_t address = reinterpret_cast<uintptr_t>(target);
  memcpy(jump, kJumpIndirect, sizeof(kJumpIndirect));
  memcpy(jump + sizeof(kJumpIndirect), &address, sizeof(address));
  g_jumpsUsed += size;
  FlushInstructionCache(GetCurrentProcess(), jump, size);
  return jump;
}

const char* const kRedirected[] = {"NtQuerySystemInformation", "RtlAdjustPrivilege"};

DWORD Fail(LaunchBlock* block, const char* what, const char* name) {
  snprintf(block->failure, sizeof(block->failure), "%s %s (error %lu)", what, name, GetLastError());
  return 1;
}

// The entry recorded for `target` in the export table of the module at
// `base`, written into *rva; 0, or -1 when no such entry can be made. An
// entry is a 32-bit offset from the module's base, which the loader adds
// modulo the pointer size: on x86 every address is reachable, on x64 only
// those in the 4 GiB above the base. A target beyond them is reached
// through a jump placed there (JumpNear), which lives as long as the process.
int EntryFor(const char* base, FARPROC target, DWORD* rva) {
  uintptr_t offset = reinterpret_cast<uintptr_t>(target) - reinterpret_cast<uintptr_t>(base);
  if (static_cast<uint64_t>(offset) > UINT32_MAX) {
    const char* jump = JumpNear(base, target);
    if (jump == nullptr) return -1;
    offset = static_cast<uintptr_t>(jump - base);
  }
  *rva = static_cast<DWORD>(offset);
  return 0;
}

// The slot of ntdll's export address table that holds `name`'s address,
// relative to ntdll's base; null when ntdll does not export it.
DWORD* ExportSlot(const char* base, const char* name) {
  const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
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
    DWORD rva = 0, protection;
    if (EntryFor(base, target, &rva) != 0)
      return Fail(block, "no room for a jump within reach of ntdll to", name);
    if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection))
      return Fail(block, "cannot unprotect ntdll's export table at", name);
    *slot = rva;
    VirtualProtect(slot, sizeof(*slot), protection, &protection);
    const uintptr_t entry = reinterpret_cast<uintptr_t>(base) + rva;
    if (reinterpret_cast<uintptr_t>(GetProcAddress(ntdll, name)) != entry)
      return Fail(block, "GetProcAddress does not follow ntdll's export table for", name);
  }
  return 0;
}
