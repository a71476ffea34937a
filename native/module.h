// Run-time lookup of entry points in a system module, one implementation per
// platform (module_win32.cpp, module_posix.cpp).
#ifndef PFNDB_NATIVE_MODULE_H_
#define PFNDB_NATIVE_MODULE_H_

// Any exported function, before it is given its real type.
typedef void (*NativeEntry)();

// Returns the entry named entryName in the module moduleName (for example
// L"ntdll.dll"), or null when the module or the entry cannot be found. The
// module stays loaded for the life of the process; nothing is to be released.
NativeEntry LookupNativeEntry(const wchar_t* moduleName, const char* entryName);

// Gives a looked-up entry its real function type.
template <typename Fn>
Fn NativeEntryCast(NativeEntry entry) {
  return reinterpret_cast<Fn>(entry);
}

#endif  // PFNDB_NATIVE_MODULE_H_
