// The native service's formats as a 64-bit process exchanges them on x64
// Windows (see format32.h for the 32-bit ones). Pointer-sized fields are 64
// bits wide, so no 32-bit process can ask for these: WOW64 translates none
// of them.
#ifndef PFNDB_PFN_FORMAT64_H_
#define PFNDB_PFN_FORMAT64_H_

#include <cstddef>
#include <cstdint>

#include "pfn/source_layout.h"

struct Format64 {
  static const int kBits = 64;

  typedef uint64_t PageNumber;
  typedef uint64_t Address;
  // 48 bits of key: a process id (Windows 10 2004 on) or the low 48 bits of
  // the owning process's kernel address (before). The two never meet:
  // process ids stay below 2^32, kernel addresses have bit 47 set.
  typedef uint64_t Key;
  // The byte size the whole request would take: past 4 GiB (a machine of
  // 680 GiB or more) it cannot be asked in one piece, only in slices.
  typedef uint64_t RequestSize;

  // Class-0 answer: 64 bytes (44 is refused); the highest physical page
  // number is still the 32-bit value at 20.
  static const uint32_t kBasicInformationBytes = 64;

  // ---- Physical memory ranges (sub-class 17) ----
  struct PhysicalRange {
    uint64_t firstPage;
    uint64_t pageCount;
  };
  struct MemoryRangeInfo {
    uint32_t version;
    int32_t rangeCount;
  };
  // Version 2: version, flags (0), the count at 8 (32 bits written, 8
  // reserved), the ranges from 16.
  static const uint32_t kRangesV2CountOffset = 8;
  static const uint32_t kRangesV2Header = 16;

  // ---- Page-frame request (sub-class 6) ----
  struct PfnEntry {
    // bits 0-3 page use, bits 4-6 memory list, bits 9-56 the owner key
    uint64_t word;
    uint64_t pageFrameNumber;
    uint64_t virtualAddress;
  };
  struct PfnRequest {
    uint32_t version;
    uint32_t requestFlags;
    uint64_t entryCount;
    uint8_t counters[0xC0 - 16];
  };
  // Windows 8 and later first, then Windows 7, whose memory-list counters
  // had one field fewer.
  static constexpr uint32_t kEntryOffsets[2] = {0xC0, 0xB8};

  static uint64_t EntryWords(const PfnEntry& entry) { return entry.word; }
  static constexpr uint64_t kKeyMask = (uint64_t{1} << 48) - 1;
  static Key KeyOfWords(uint64_t words) { return words >> 9 & kKeyMask; }

  // ---- Private sources (sub-class 8) ----
  // Version 8 (Windows 10 1703 to 11 24H2 take nothing else), then version
  // 3 for older systems. A record's keys: its process id, and its process
  // pointer's low 48 bits (which 24H2 fills with the process id too).
  static constexpr SourceLayout kSourceLayouts[2] = {
      {8, 16, 8, 96, 0, {4, 4}, {40, 8}, 52, {{4, 4}, {24, 8}}},
      {3, 8, 4, 64, 0, {8, 8}, {36, 4}, 44, {{8, 8}, {24, 8}}},
  };
};

static_assert(sizeof(Format64::PhysicalRange) == 16, "ranges are 16 bytes");
static_assert(sizeof(Format64::MemoryRangeInfo) == 8, "version 1 ranges start at byte 8");
static_assert(sizeof(Format64::PfnEntry) == 24, "entries are 24 bytes");
static_assert(offsetof(Format64::PfnEntry, pageFrameNumber) == 8, "page number at byte 8");
static_assert(offsetof(Format64::PfnEntry, virtualAddress) == 16, "virtual address at byte 16");
static_assert(sizeof(Format64::PfnRequest) == 0xC0, "the request's header is 0xC0 bytes");

#endif  // PFNDB_PFN_FORMAT64_H_
