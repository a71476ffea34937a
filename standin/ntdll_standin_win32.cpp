// pfndb_machine.dll: the simulated machine as a 32-bit Windows module, for
// running the shipped pfndb.exe against it (tests/launch_win32.cpp points
// ntdll's two entries here). It answers for the machine its environment
// names, as libntdll.so does. Exported as __stdcall under the bare names
// ntdll uses (the build links with --kill-at), so that any module pointing
// ntdll's entries here is called exactly as ntdll would be.
#include <cstdint>

#include "standin/machine.h"

extern "C" {

__declspec(dllexport) QueryStatus PFNDB_NTAPI
    NtQuerySystemInformation(uint32_t infoClass, void* buffer, uint32_t bufferLength,
                             uint32_t* returnLength) {
  return StandinModuleQuery(infoClass, buffer, bufferLength, returnLength);
}

// There are no privileges to grant here; report each as newly enabled.
__declspec(dllexport) QueryStatus PFNDB_NTAPI
    RtlAdjustPrivilege(uint32_t, uint8_t enable, uint8_t, uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = enable ? 0 : 1;
  return 0;
}

}  // extern "C"
