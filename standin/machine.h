// A simulated machine that answers the native system-information service the
// way 32-bit Windows does, for running pfndb where there is no Windows. Page
// contents are computed from the page number, so a machine of any size costs
// only its description.
#ifndef PFNDB_STANDIN_MACHINE_H_
#define PFNDB_STANDIN_MACHINE_H_

#include <cstdint>

#include "native/ntdll.h"

struct StandinMachine;

// The default machine: about 370 MiB in four ranges, one above 4 GiB, and
// some thirty processes. Owned by the module; never released.
const StandinMachine* StandinDefaultMachine();

// A machine of `pages` pages spread over several ranges (one above 4 GiB)
// with `processes` processes. Returns null when pages is 0 or the ranges
// would pass page 0xFFFFFFFF. Release with StandinDestroyMachine.
StandinMachine* StandinCreateMachine(uint32_t pages, int processes);
void StandinDestroyMachine(StandinMachine* machine);

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

#endif  // PFNDB_STANDIN_MACHINE_H_
