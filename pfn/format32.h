// The native service's formats as a 32-bit process exchanges them: the one
// home of their offsets and widths. Windows versions lay some of them out
// differently; each variant is described here and chosen at run time by
// asking (pfn/*.cpp). Little-endian throughout.
#ifndef PFNDB_PFN_FORMAT32_H_
#define PFNDB_PFN_FORMAT32_H_

#include <cstddef>
#include <cstdint>

#include "pfn/source_layout.h"

struct Format32 {
  static const int kBits = 32;

  // Page numbers and addresses as the formats carry them.
  typedef uint32_t PageNumber;
  typedef uint32_t Address;
  // The owner key of a process-private page, and what a process record
  // carries to match it.
  typedef uint32_t Key;
  // The request's byte size; it must fit the envelope's 32-bit length.
  typedef uint32_t RequestSize;

  // Class-0 answer: 44 bytes; the highest physical page number at 20.
  static const uint32_t kBasicInformationBytes = 44;

  // ---- Physical memory ranges (sub-class 17) ----
  struct PhysicalRange {
    uint32_t firstPage;
    uint32_t pageCount;
  };
  struct MemoryRangeInfo {
    uint32_t version;
    int32_t rangeCount;
  };
  // Version 2 (Windows 10 1803 on): version, flags, a 32-bit count, then the
  // ranges at the next pointer-aligned offset.
  static const uint32_t kRangesV2CountOffset = 8;
  static const uint32_t kRangesV2Header = 12;

  // ---- Page-frame request (sub-class 6) ----
  struct PfnEntry {
    // bits 0-3 page use, bits 4-6 memory list, bits 9-31 key bits 0-22
    uint32_t word0;
    // bits 0-8 key bits 23-31
    uint32_t word1;
    uint32_t pageFrameNumber;
    uint32_t virtualAddress;
  };
  struct PfnRequest {
    uint32_t version;
    uint32_t requestFlags;
    uint32_t entryCount;
    uint8_t reserved[84];
  };
  // Where the entries start: Windows 7's header first (the one whose
  // answers this program was first written against), then the one
  // Windows 8 and later use, whose memory-list counters grew by a field.
  static constexpr uint32_t kEntryOffsets[2] = {96, 104};

  // Both 32-bit words of an entry, word 0 in the low half: what the list,
  // the use and the key are read from.
  static uint64_t EntryWords(const PfnEntry& entry) {
    return uint64_t{entry.word0} | uint64_t{entry.word1} << 32;
  }
  // Bits 9-31 of word 0 give key bits 0-22, bits 0-8 of word 1 key bits
  // 23-31.
  static Key KeyOfWords(uint64_t words) { return static_cast<Key>(words >> 9); }

  // ---- Private sources (sub-class 8) ----
  // Version 3 first; Windows 10 accepts only version 8, whose records keep
  // version 3's first 48 bytes.
  // Records carry the key pages name at 16, and the process id at 4.
  static constexpr SourceLayout kSourceLayouts[2] = {
      {3, 8, 4, 48, 0, {16, 4}, {24, 4}, 32, {{16, 4}, {4, 4}}},
      {8, 12, 8, 64, 0, {16, 4}, {24, 4}, 32, {{16, 4}, {4, 4}}},
  };
  static constexpr uint64_t kKeyMask = 0xFFFFFFFFu;
};

static_assert(sizeof(Format32::PhysicalRange) == 8, "ranges are 8 bytes");
static_assert(sizeof(Format32::MemoryRangeInfo) == 8, "ranges start at byte 8");
static_assert(sizeof(Format32::PfnEntry) == 16, "entries are 16 bytes");
static_assert(offsetof(Format32::PfnEntry, pageFrameNumber) == 8, "page number at byte 8");
static_assert(offsetof(Format32::PfnEntry, virtualAddress) == 12, "virtual address at byte 12");
static_assert(sizeof(Format32::PfnRequest) == 96, "entries start at byte 96");

#endif  // PFNDB_PFN_FORMAT32_H_
