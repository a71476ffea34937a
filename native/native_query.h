// Making the native service usable, and calling it.
#ifndef PFNDB_NATIVE_NATIVE_QUERY_H_
#define PFNDB_NATIVE_NATIVE_QUERY_H_

#include <cstdint>

#include "native/module.h"
#include "native/ntdll.h"

const uint32_t kSeProfileSingleProcessPrivilege = 13;
const uint32_t kSeDebugPrivilege = 20;

// The resolved NtQuerySystemInformation; null until InitNativeQuery succeeds.
// Every query of the program goes through it, so tests may point it at a
// scripted service.
extern NtQuerySystemInformationFn g_NtQuerySystemInformation;

// What InitNativeQuery returns when an entry point is missing.
const int kNoAdjustPrivilegeEntry = -1;
const int kNoQueryEntry = -2;

// Enables the profile-single-process and debug privileges (a refusal is not
// an error) and resolves NtQuerySystemInformation from "ntdll.dll".
// Returns 0, or after printing why kNoAdjustPrivilegeEntry or kNoQueryEntry
// for the entry point that is missing; the pointer then stays null.
int InitNativeQuery();

// Replaces the lookup InitNativeQuery resolves its entries with, so a test
// can supply its own service without a module; null restores
// LookupNativeEntry.
typedef NativeEntry (*NativeEntryLookup)(const wchar_t* moduleName, const char* entryName);
void SetNativeEntryLookup(NativeEntryLookup lookup);

// Fills *envelope for a class-79 query of subClass over data/length.
void MakeSuperfetchInformation(SuperfetchInformation* envelope, uint32_t subClass, void* data,
                               uint32_t length);

// Queries class 79 with *envelope through g_NtQuerySystemInformation.
QueryStatus QuerySuperfetch(SuperfetchInformation* envelope, uint32_t* returnLength);

#endif  // PFNDB_NATIVE_NATIVE_QUERY_H_
