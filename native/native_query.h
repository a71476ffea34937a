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

struct MessageSink;

// Enables the profile-single-process and debug privileges (a refusal is not
// an error) and resolves NtQuerySystemInformation from "ntdll.dll".
// Returns 0, or after printing why (through messages) kNoAdjustPrivilegeEntry
// or kNoQueryEntry for the entry point that is missing; the pointer then
// stays null. Without messages, it prints on the console.
int InitNativeQuery(const MessageSink* messages);
int InitNativeQuery();

// Replaces the lookup InitNativeQuery resolves its entries with, so a test
// can supply its own service without a module; null restores
// LookupNativeEntry.
typedef NativeEntry (*NativeEntryLookup)(const wchar_t* moduleName, const char* entryName);
void SetNativeEntryLookup(NativeEntryLookup lookup);

// Where a step's messages go: the console, or nowhere (pfnstat --live,
// which prints its own). Each prints as ConsoleWPrintf / ConsolePrintf do.
struct MessageSink {
  void (*wide)(const wchar_t* format, ...);
  void (*narrow)(const char* format, ...);
};
extern const MessageSink kConsoleMessages;
extern const MessageSink kNoMessages;

// Where a trace line goes (without its newline); null when nobody asked.
typedef void (*TraceSink)(const char* line);
// Standard error, one line per call.
void TraceToStandardError(const char* line);
// Whether the environment asks for the trace (PFNDB_TRACE=1).
bool TraceRequested();

// The service the steps ask, passed to each: the entry to call, where the
// messages go, where the trace goes, and the status of the last query made
// through it (which names why a step failed).
struct NativeService {
  NtQuerySystemInformationFn query;
  const MessageSink* messages;
  TraceSink trace;
  QueryStatus lastStatus;
};

// The program's own: g_NtQuerySystemInformation (read at each call, so
// InitNativeQuery and tests may set it later), the console, no trace until
// the entry sets one.
NativeService* ProgramService();

// Fills *envelope for a class-79 query of subClass over data/length.
void MakeSuperfetchInformation(SuperfetchInformation* envelope, uint32_t subClass, void* data,
                               uint32_t length);

// Queries class 0 into buffer (length bytes).
QueryStatus QueryBasicInformation(NativeService* service, void* buffer, uint32_t length,
                                  uint32_t* returnLength);

// Queries class 79 with *envelope. `tried` names, for the trace, the
// version or layout the buffer is laid out as ("version 1", "entries at
// 0xc0").
QueryStatus QuerySuperfetch(NativeService* service, SuperfetchInformation* envelope,
                            uint32_t* returnLength, const char* tried);

#endif  // PFNDB_NATIVE_NATIVE_QUERY_H_
