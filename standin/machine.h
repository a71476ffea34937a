// A simulated machine that answers the native system-information service the
// way 32-bit Windows does, for running pfndb where there is no Windows. Page
// contents are computed from the page number, so a machine of any size costs
// only its description.
#ifndef PFNDB_STANDIN_MACHINE_H_
#define PFNDB_STANDIN_MACHINE_H_

#include <cstdint>
#include <string>

#include "native/ntdll.h"

struct StandinMachine;

// Which Windows the machine answers as. Each takes only what that system
// takes, refusing the rest with the statuses it uses:
//   7         32-bit Windows 7: the answers pfndb was first written against
//   10        32-bit Windows 10: entries at 104, private sources version 8
//             only, pages keyed by process id
//   x64-7     64-bit formats; ranges version 1, entries at 0xB8, private
//             sources version 3, pages keyed by process pointer
//   x64-1909  entries at 0xC0, version 8 only, pages keyed by pointer
//   x64-24h2  version 1 ranges refused, version 8, keys and the records'
//             pointer fields are process ids
// A 32-bit system answers a 64-bit program's 64-byte class-0 query with
// 0xC0000004, and a 64-bit one a 32-bit program's 44-byte one. A machine
// is made answering as whichever the first class-0 query asks for: 7 to a
// 32-bit program, x64-1909 to a 64-bit one (kStandinWindowsEither).
enum StandinWindows {
  kStandinWindows7,
  kStandinWindows10,
  kStandinWindows7x64,
  kStandinWindows1909x64,
  kStandinWindows24H2x64,
  kStandinWindowsEither,
};

// Ways a machine can answer as no known Windows does, for the tests of
// pfndb's failures.
enum StandinFault {
  // The request's entries lie where no layout pfndb knows puts them.
  kStandinFaultEntryLayout = 1,
  // No version of the private-source query is taken: the version the
  // system knows is refused too, with 0xC0000002.
  kStandinFaultSources = 2,
  // No version of the ranges query is taken (0xC000000D).
  kStandinFaultRanges = 4,
  // Version 2 of the ranges names a range past the highest page.
  kStandinFaultRangesBeyond = 8,
};

// The generation named name ("7", "10", "x64-7", "x64-1909", "x64-24h2",
// "either") in *windows; -1 for any other name.
int StandinWindowsFromName(const char* name, StandinWindows* windows);
void StandinSetWindows(StandinMachine* machine, StandinWindows windows);
void StandinSetFaults(StandinMachine* machine, uint32_t faults);

// The default machine: about 370 MiB in four ranges, one above 4 GiB, and
// some thirty processes. Owned by the module; never released.
const StandinMachine* StandinDefaultMachine();

// A machine of `pages` pages spread over several ranges (one above 4 GiB)
// with `processes` processes. Returns null when pages is 0 or the ranges
// would pass page 0xFFFFFFFF. Release with StandinDestroyMachine.
StandinMachine* StandinCreateMachine(uint32_t pages, int processes);
void StandinDestroyMachine(StandinMachine* machine);

// The same machine a while later, as a leak would leave it: a few of its
// processes hold more private pages, taken from the free and standby lists.
// Every other page answers as before.
void StandinSetLater(StandinMachine* machine, bool later);

// Every process owns an equal share of the private pages, none dominating
// (a machine of many alike workers).
void StandinSetEvenOwners(StandinMachine* machine);

// The machine a module answers for, from the module's settings (each null
// when unset): the page count of PFNDB_STANDIN_PAGES, the process count of
// PFNDB_STANDIN_PROCESSES, PFNDB_STANDIN_LATER ("0" or "1") and
// PFNDB_STANDIN_OWNERS ("weighted", the default, or "even":
// StandinSetEvenOwners). With none set, *machine is the default machine;
// otherwise a new one the caller owns (a missing count is the default
// machine's). Returns 0, or -1 with a one-line reason in *reason (without
// newline) and *machine null when a setting is not a number in range or not
// one of its words.
int StandinMachineFromSettings(const char* pages, const char* processes, const char* later,
                               const char* owners, const StandinMachine** machine,
                               std::string* reason);
// The same, with the Windows PFNDB_STANDIN_WINDOWS names (StandinWindows;
// null: either).
int StandinMachineFromSettings(const char* pages, const char* processes, const char* later,
                               const char* owners, const char* windows,
                               const StandinMachine** machine, std::string* reason);

// Answers a query as machine would. Classes other than 0 and 79 get
// 0xC0000003.
QueryStatus StandinQuery(const StandinMachine* machine, uint32_t infoClass, void* buffer,
                         uint32_t bufferLength, uint32_t* returnLength);

// The machine StandinNtQuerySystemInformation answers for; the default one
// until another is selected. Null selects the default again.
void StandinSelectMachine(const StandinMachine* machine);
QueryStatus PFNDB_NTAPI StandinNtQuerySystemInformation(uint32_t infoClass, void* buffer,
                                                        uint32_t bufferLength,
                                                        uint32_t* returnLength);

// What a stand-in module (libntdll.so, the test DLL) answers with: the
// machine its environment's settings describe (StandinMachineFromSettings
// over getenv), chosen on the first call. When a setting is wrong the reason
// goes to stderr once and every query is refused (STATUS_ACCESS_DENIED), so
// pfndb fails at its first query rather than dump some other machine.
QueryStatus StandinModuleQuery(uint32_t infoClass, void* buffer, uint32_t bufferLength,
                               uint32_t* returnLength);

#endif  // PFNDB_STANDIN_MACHINE_H_
