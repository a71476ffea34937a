// libntdll.so: the host's stand-in for ntdll.dll, exporting the two entries
// pfndb looks up, answering for the simulated machine its environment names
// (the default one unless PFNDB_STANDIN_PAGES, PFNDB_STANDIN_PROCESSES or
// PFNDB_STANDIN_LATER say otherwise).
#include <cstdint>

#include "standin/machine.h"

extern "C" {

__attribute__((visibility("default"))) int32_t NtQuerySystemInformation(uint32_t infoClass,
                                                                        void* buffer,
                                                                        uint32_t bufferLength,
                                                                        uint32_t* returnLength) {
  return StandinModuleQuery(infoClass, buffer, bufferLength, returnLength);
}

// There are no privileges to grant here; report each as newly enabled.
__attribute__((visibility("default"))) int32_t RtlAdjustPrivilege(uint32_t, uint8_t enable, uint8_t,
                                                                  uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = enable ? 0 : 1;
  return 0;
}

}  // extern "C"
