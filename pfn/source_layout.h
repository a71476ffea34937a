// How one version of the private-source answer (sub-class 8) lays out its
// header and records, so that every version is read by one walk.
#ifndef PFNDB_PFN_SOURCE_LAYOUT_H_
#define PFNDB_PFN_SOURCE_LAYOUT_H_

#include <cstdint>

// A little-endian unsigned field of a record; width 4 or 8 bytes.
struct SourceField {
  uint32_t offset;
  uint32_t width;
};

struct SourceLayout {
  uint32_t version;      // what the caller writes at byte 0
  uint32_t headerBytes;  // records start here
  uint32_t countOffset;  // 32-bit record count
  uint32_t recordBytes;
  uint32_t typeOffset;  // 32-bit source type; 2 is a process
  SourceField shownId;  // printed after "Client ID"
  SourceField size;     // printed after "size"
  uint32_t nameOffset;  // the image name's first 12 bytes
  // The page keys that belong to the record. The first always does, as it
  // is; the second only when it is not 0 and not the first.
  SourceField keys[2];
};

#endif  // PFNDB_PFN_SOURCE_LAYOUT_H_
