// A three-page machine whose every answer is written out here, built once
// per way a dump can end (PFNDB_SCRIPT picks which), for running pfndb.exe
// through pfndb_launch.exe.
#include <cstring>

#include "native/ntdll.h"
#include "pfn/pfn.h"

namespace {

enum Script { kRangesFetchFails, kPfnQueryFails, kSourcesInTheProbe, kPrivilegesRefused };
const Script kScript = static_cast<Script>(PFNDB_SCRIPT);

// Privileges asked for and refused, a bit per privilege number.
uint32_t g_refused = 0;

// Pages 1 to 3: word 0 (key, list, use) and virtual address.
const uint32_t kWord0[3] = {0x2c0u << 9 | 6 << 4 | 0, 4 << 4 | 13, 7 << 4 | 3};
const uint32_t kAddress[3] = {0x7f0, 0xC0001000u, 0xC0300000u};

void SetWords(Format32::PfnEntry* entry, uint32_t word0) { entry->word0 = word0; }
void SetWords(Format64::PfnEntry* entry, uint32_t word0) { entry->word = word0; }

QueryStatus Answer(uint32_t subClass, void* data, uint32_t length, uint32_t* returnLength) {
  if (kScript == kPrivilegesRefused && g_refused == (1u << 13 | 1u << 20)) {
    *returnLength = 0;
    return static_cast<QueryStatus>(0xC0000061u);  // STATUS_PRIVILEGE_NOT_HELD
  }
  if (subClass == kSuperfetchMemoryRangesQuery) {
    *returnLength = sizeof(MemoryRangeInfo) + sizeof(PhysicalRange);
    if (data == nullptr) return kStatusBufferTooSmall;
    if (kScript == kRangesFetchFails) return static_cast<QueryStatus>(0xC000009Au);
    static_cast<MemoryRangeInfo*>(data)->rangeCount = 1;
    *MemoryRanges(static_cast<MemoryRangeInfo*>(data)) = PhysicalRange{1, 3};
    return 0;
  }
  if (subClass == kSuperfetchPfnQuery) {
    if (kScript == kPfnQueryFails) return static_cast<QueryStatus>(0xC0000001u);
    PfnRequest* request = static_cast<PfnRequest*>(data);
    for (PfnEntry* e = PfnEntries(request); e != PfnEntries(request) + request->entryCount; ++e) {
      SetWords(e, kWord0[(e->pageFrameNumber - 1) % 3]);
      e->virtualAddress = kAddress[(e->pageFrameNumber - 1) % 3];
    }
    return 0;
  }
  // The whole answer fits the probe: one process.
  const SourceLayout& layout = Format::kSourceLayouts[0];
  const uint32_t bytes = layout.headerBytes + layout.recordBytes;
  if (subClass != kSuperfetchPrivateSourceQuery || length < bytes) return 0xC0000003;
  unsigned char* out = static_cast<unsigned char*>(data);
  const uint32_t one = 1;
  memcpy(out + layout.countOffset, &one, sizeof(one));
  unsigned char* record = out + layout.headerBytes;
  memcpy(record + layout.typeOffset, &kPrivateSourceProcess, sizeof(kPrivateSourceProcess));
  const uint64_t key = 0x2c0, size = 0x1a;
  memcpy(record + layout.keys[0].offset, &key, layout.keys[0].width);
  memcpy(record + layout.shownId.offset, &key, layout.shownId.width);
  memcpy(record + layout.size.offset, &size, layout.size.width);
  memcpy(record + layout.nameOffset, "init", 4);
  *returnLength = bytes;
  return 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) QueryStatus PFNDB_NTAPI
    NtQuerySystemInformation(uint32_t infoClass, void* buffer, uint32_t, uint32_t* returnLength) {
  if (infoClass == kSystemBasicInformation) {
    const uint32_t highest = 3;
    memcpy(static_cast<unsigned char*>(buffer) + 20, &highest, sizeof(highest));
    return 0;
  }
  SuperfetchInformation* envelope = static_cast<SuperfetchInformation*>(buffer);
  return Answer(envelope->subClass, envelope->data, envelope->length, returnLength);
}

__declspec(dllexport) QueryStatus PFNDB_NTAPI
    RtlAdjustPrivilege(uint32_t privilege, uint8_t, uint8_t, uint8_t* wasEnabled) {
  *wasEnabled = 0;
  if (kScript != kPrivilegesRefused) return 0;
  g_refused |= 1u << privilege;
  return static_cast<QueryStatus>(0xC0000061u);
}

}  // extern "C"
