// A system whose ranges answer claims to need 3 GiB: what no heap under a
// memory limit grants, so the program meets the heap itself refusing.
#include <cstdint>
#include <cstring>

extern "C" {

__attribute__((visibility("default"))) int32_t RtlAdjustPrivilege(uint32_t, uint8_t, uint8_t,
                                                                  uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = 0;
  return 0;
}

__attribute__((visibility("default"))) int32_t NtQuerySystemInformation(uint32_t infoClass,
                                                                        void* buffer,
                                                                        uint32_t length,
                                                                        uint32_t* returnLength) {
  if (infoClass == 0) {
    memset(buffer, 0, length);
    return 0;
  }
  *returnLength = 0xC0000000u;
  return static_cast<int32_t>(0xC0000023u);  // STATUS_BUFFER_TOO_SMALL
}

}  // extern "C"
