#include "native/module.h"

#include <dlfcn.h>

#include <cstring>
#include <cwchar>

namespace {

// "ntdll.dll" becomes "libntdll.so": the dynamic loader then finds the
// stand-in by its usual search (LD_LIBRARY_PATH first, then the executable's
// RUNPATH), so another module can take its place without rebuilding.
// Returns false when the name does not fit in room bytes.
bool SharedLibraryName(const wchar_t* moduleName, char* name, size_t room) {
  const size_t stemLength = wcslen(moduleName);
  if (stemLength + sizeof("lib.so") > room) return false;
  size_t length = 0;
  for (const char* c = "lib"; *c != '\0'; ++c) name[length++] = *c;
  for (size_t i = 0; i < stemLength; ++i) {
    wchar_t ch = moduleName[i];
    if (ch >= L'A' && ch <= L'Z') ch = ch - L'A' + L'a';
    name[length++] = static_cast<char>(ch & 0xFF);
  }
  if (stemLength > 4 && memcmp(name + length - 4, ".dll", 4) == 0) length -= 4;
  memcpy(name + length, ".so", sizeof(".so"));
  return true;
}

}  // namespace

NativeEntry LookupNativeEntry(const wchar_t* moduleName, const char* entryName) {
  // Every call takes a new reference that is never dropped: the module must
  // outlive the pointers handed out.
  char name[256];
  if (!SharedLibraryName(moduleName, name, sizeof(name))) return nullptr;
  void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  void* entry = dlsym(module, entryName);
  if (entry == nullptr) return nullptr;
  NativeEntry result;
  static_assert(sizeof(result) == sizeof(entry), "code and data pointers differ in size");
  // POSIX guarantees a dlsym result converts to a function pointer.
  result = reinterpret_cast<NativeEntry>(entry);
  return result;
}
