// A module with RtlAdjustPrivilege but no NtQuerySystemInformation.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) int32_t RtlAdjustPrivilege(uint32_t, uint8_t,
                                                                             uint8_t,
                                                                             uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = 0;
  return 0;
}
