#include <windows.h>

#include <cstring>

#include "native/module.h"

namespace {

// FARPROC and NativeEntry are both code pointers of one size; copying the
// bits sidesteps the warnings a cast between function types raises.
NativeEntry FromFarProc(FARPROC entry) {
  static_assert(sizeof(NativeEntry) == sizeof(FARPROC), "code pointers differ in size");
  NativeEntry result;
  memcpy(&result, &entry, sizeof(result));
  return result;
}

}  // namespace

NativeEntry LookupNativeEntry(const wchar_t* moduleName, const char* entryName) {
  // ntdll is mapped into every process, so no load and no reference count.
  HMODULE module = GetModuleHandleW(moduleName);
  if (module == nullptr) return nullptr;
  FARPROC entry = GetProcAddress(module, entryName);
  if (entry == nullptr) return nullptr;
  return FromFarProc(entry);
}
