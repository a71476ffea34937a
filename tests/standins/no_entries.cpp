// A module named ntdll that exports neither entry pfndb looks up.
extern "C" __attribute__((visibility("default"))) int NtQueryNothing() { return 0; }
