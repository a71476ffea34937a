#include "native/module.h"

#include <dlfcn.h>

#include <string>

namespace {

// "ntdll.dll" becomes "libntdll.so": the dynamic loader then finds the
// stand-in by its usual search (LD_LIBRARY_PATH first, then the executable's
// RUNPATH), so another module can take its place without rebuilding.
std::string SharedLibraryName(const wchar_t* moduleName) {
  std::string stem;
  for (const wchar_t* c = moduleName; *c != L'\0'; ++c) {
    wchar_t ch = *c;
    if (ch >= L'A' && ch <= L'Z') ch = ch - L'A' + L'a';
    stem.push_back(static_cast<char>(ch & 0xFF));
  }
  const std::string dll = ".dll";
  if (stem.size() > dll.size() && stem.compare(stem.size() - dll.size(), dll.size(), dll) == 0)
    stem.resize(stem.size() - dll.size());
  return "lib" + stem + ".so";
}

}  // namespace

NativeEntry LookupNativeEntry(const wchar_t* moduleName, const char* entryName) {
  // Every call takes a new reference that is never dropped: the module must
  // outlive the pointers handed out.
  void* module = dlopen(SharedLibraryName(moduleName).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return nullptr;
  void* entry = dlsym(module, entryName);
  if (entry == nullptr) return nullptr;
  NativeEntry result;
  static_assert(sizeof(result) == sizeof(entry), "code and data pointers differ in size");
  // POSIX guarantees a dlsym result converts to a function pointer.
  result = reinterpret_cast<NativeEntry>(entry);
  return result;
}
