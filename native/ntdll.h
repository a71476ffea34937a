// What pfndb relies on of ntdll's system-information service: status values,
// the class-79 request envelope and the entry-point types.
#ifndef PFNDB_NATIVE_NTDLL_H_
#define PFNDB_NATIVE_NTDLL_H_

#include <cstddef>
#include <cstdint>

// ntdll's exports use stdcall on 32-bit Windows; the host stand-in module is a
// plain C library, so the convention disappears there.
#if defined(_WIN32)
#define PFNDB_NTAPI __stdcall
#else
#define PFNDB_NTAPI
#endif

// 0 is success; negative values are errors, positive ones warnings.
typedef int32_t QueryStatus;

const QueryStatus kStatusSuccess = 0;
// STATUS_BUFFER_TOO_SMALL: the only status pfndb tests by value.
const QueryStatus kStatusBufferTooSmall = static_cast<QueryStatus>(0xC0000023u);
// What a system answers to a version or layout it does not take.
const QueryStatus kStatusInfoLengthMismatch = static_cast<QueryStatus>(0xC0000004u);
const QueryStatus kStatusInvalidParameter = static_cast<QueryStatus>(0xC000000Du);

const uint32_t kSystemBasicInformation = 0;
const uint32_t kSystemSuperfetchInformation = 79;

const uint32_t kSuperfetchVersion = 45;
const uint32_t kSuperfetchMagic = 0x6B756843u;  // "Chuk" in memory order

const uint32_t kSuperfetchPfnQuery = 6;
const uint32_t kSuperfetchPrivateSourceQuery = 8;
const uint32_t kSuperfetchMemoryRangesQuery = 17;

// Class-0 answer as a 32-bit process sees it. Only the highest physical page
// number is read.
struct SystemBasicInformation {
  uint32_t reserved;
  uint32_t timerResolution;
  uint32_t pageSize;
  uint32_t numberOfPhysicalPages;
  uint32_t lowestPhysicalPageNumber;
  uint32_t highestPhysicalPageNumber;
  uint32_t allocationGranularity;
  uint32_t minimumUserModeAddress;
  uint32_t maximumUserModeAddress;
  uint32_t activeProcessorsAffinityMask;
  uint32_t numberOfProcessors;
};
static_assert(sizeof(SystemBasicInformation) == 44, "class-0 answer is 44 bytes");
static_assert(offsetof(SystemBasicInformation, highestPhysicalPageNumber) == 20,
              "highest page number sits at byte 20");

// The envelope every class-79 query passes. It holds a real pointer, so it
// is 20 bytes in a 32-bit process and 32 bytes on a 64-bit host, where the
// stand-in module expects the same natural layout.
struct SuperfetchInformation {
  uint32_t version;
  uint32_t magic;
  uint32_t subClass;
  void* data;
  uint32_t length;
};
static_assert(sizeof(void*) != 4 || (sizeof(SuperfetchInformation) == 20 &&
                                     offsetof(SuperfetchInformation, data) == 12 &&
                                     offsetof(SuperfetchInformation, length) == 16),
              "32-bit envelope is five packed 32-bit fields");
static_assert(sizeof(void*) != 8 || (sizeof(SuperfetchInformation) == 32 &&
                                     offsetof(SuperfetchInformation, data) == 16 &&
                                     offsetof(SuperfetchInformation, length) == 24),
              "64-bit envelope keeps natural alignment");

typedef QueryStatus(PFNDB_NTAPI* NtQuerySystemInformationFn)(uint32_t infoClass, void* buffer,
                                                             uint32_t bufferLength,
                                                             uint32_t* returnLength);
typedef QueryStatus(PFNDB_NTAPI* RtlAdjustPrivilegeFn)(uint32_t privilege, uint8_t enable,
                                                       uint8_t currentThreadOnly,
                                                       uint8_t* wasEnabled);

#endif  // PFNDB_NATIVE_NTDLL_H_
