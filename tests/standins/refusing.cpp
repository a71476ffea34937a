// A system that refuses the privileges and every query, as a process
// without administrator rights would see it.
#include <cstdint>

extern "C" {

__attribute__((visibility("default"))) int32_t RtlAdjustPrivilege(uint32_t, uint8_t, uint8_t,
                                                                  uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = 0;
  return static_cast<int32_t>(0xC0000061u);  // STATUS_PRIVILEGE_NOT_HELD
}

__attribute__((visibility("default"))) int32_t NtQuerySystemInformation(uint32_t, void*, uint32_t,
                                                                        uint32_t* returnLength) {
  if (returnLength != nullptr) *returnLength = 0;
  return static_cast<int32_t>(0xC0000022u);  // STATUS_ACCESS_DENIED
}

}  // extern "C"
