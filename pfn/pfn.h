// The page-frame database as the native service exchanges it: physical memory
// ranges, the page-frame request and the private sources, plus the list of
// process names built from the latter. All formats are those of a 32-bit
// process and little-endian.
#ifndef PFNDB_PFN_PFN_H_
#define PFNDB_PFN_PFN_H_

#include <cstddef>
#include <cstdint>

// How many items of itemBytes follow a header of headerBytes in an answer the
// service says filled `reported` bytes of a buffer of bufferBytes: only what
// was both written and allocated is ever read.
inline int64_t ItemsWithin(uint32_t bufferBytes, uint32_t reported, size_t headerBytes,
                           size_t itemBytes) {
  uint32_t filled = reported < bufferBytes ? reported : bufferBytes;
  return filled < headerBytes ? 0 : (filled - headerBytes) / itemBytes;
}

// ---- Physical memory ranges (sub-class 17) ----

struct PhysicalRange {
  uint32_t firstPage;
  uint32_t pageCount;  // the range holds firstPage .. firstPage + pageCount - 1
};

// Header of the ranges answer; PhysicalRange k follows at byte 8 + 8k.
struct MemoryRangeInfo {
  uint32_t version;
  int32_t rangeCount;
};
static_assert(sizeof(PhysicalRange) == 8, "ranges are 8 bytes");
static_assert(sizeof(MemoryRangeInfo) == 8, "ranges start at byte 8");

inline PhysicalRange* MemoryRanges(MemoryRangeInfo* info) {
  return reinterpret_cast<PhysicalRange*>(reinterpret_cast<unsigned char*>(info) +
                                          sizeof(MemoryRangeInfo));
}
inline const PhysicalRange* MemoryRanges(const MemoryRangeInfo* info) {
  return MemoryRanges(const_cast<MemoryRangeInfo*>(info));
}

// Steps through the pages of every range in order: ranges 0 .. N - 1, each
// from its first page upwards. The request is laid out in this order and the
// report prints it in this order, so both must use this walk. A range count of
// 0 or below visits nothing; pages never wrap past 0xFFFFFFFF.
struct RangeWalk {
  const MemoryRangeInfo* info;
  int32_t nextRange;
};

void RangeWalkStart(RangeWalk* walk, const MemoryRangeInfo* info);

// Hands out the next non-empty run of consecutive pages in *firstPage and
// *pageCount (at least 1). Returns false once the walk is over.
bool RangeWalkNextRun(RangeWalk* walk, uint32_t* firstPage, uint32_t* pageCount);

// Total pages the walk yields.
uint64_t RangeWalkPageCount(const MemoryRangeInfo* info);

// ---- Page-frame request (sub-class 6) ----

struct PfnEntry {
  // bits 0-3 page use, bits 4-6 memory list, bits 9-31 key bits 0-22
  uint32_t word0;
  // bits 0-8 key bits 23-31
  uint32_t word1;
  uint32_t pageFrameNumber;
  uint32_t virtualAddress;
};

// Header of the request; PfnEntry j follows at byte 96 + 16j.
struct PfnRequest {
  uint32_t version;
  uint32_t requestFlags;
  uint32_t entryCount;
  uint8_t reserved[84];
};
static_assert(sizeof(PfnEntry) == 16, "entries are 16 bytes");
static_assert(offsetof(PfnEntry, pageFrameNumber) == 8, "page number at byte 8");
static_assert(offsetof(PfnEntry, virtualAddress) == 12, "virtual address at byte 12");
static_assert(sizeof(PfnRequest) == 96, "entries start at byte 96");

inline PfnEntry* PfnEntries(PfnRequest* request) {
  return reinterpret_cast<PfnEntry*>(reinterpret_cast<unsigned char*>(request) +
                                     sizeof(PfnRequest));
}
inline const PfnEntry* PfnEntries(const PfnRequest* request) {
  return PfnEntries(const_cast<PfnRequest*>(request));
}

// Entries a request of requestSize bytes has room for.
inline uint32_t PfnRequestCapacity(uint32_t requestSize) {
  return requestSize < sizeof(PfnRequest) ? 0
                                          : (requestSize - sizeof(PfnRequest)) / sizeof(PfnEntry);
}

// Entries the walk writes into (and the report reads from) a request of
// requestSize bytes: one per page, but never beyond the request's room.
uint32_t PfnRequestEntriesFor(const MemoryRangeInfo* ranges, uint32_t requestSize);

// ---- Private sources (sub-class 8) ----

const uint32_t kPrivateSourceVersion = 3;
const uint32_t kPrivateSourceProcess = 2;
const size_t kImageNameBytes = 12;

struct PrivateSourceRecord {
  uint32_t sourceType;
  uint32_t reserved0[3];
  uint32_t key;
  uint32_t reserved1;
  uint32_t size;
  uint32_t reserved2;
  char imageName[kImageNameBytes];  // not necessarily NUL-terminated
  uint32_t reserved3;
};

// Header of the private-source answer; record r follows at byte 8 + 48r.
struct PrivateSourceInfo {
  uint32_t version;
  int32_t recordCount;
};
static_assert(sizeof(PrivateSourceRecord) == 48, "records are 48 bytes");
static_assert(offsetof(PrivateSourceRecord, key) == 16, "key at byte 16");
static_assert(offsetof(PrivateSourceRecord, size) == 24, "size at byte 24");
static_assert(offsetof(PrivateSourceRecord, imageName) == 32, "name at byte 32");
static_assert(sizeof(PrivateSourceInfo) == 8, "records start at byte 8");

inline PrivateSourceRecord* PrivateSourceRecords(PrivateSourceInfo* info) {
  return reinterpret_cast<PrivateSourceRecord*>(reinterpret_cast<unsigned char*>(info) +
                                                sizeof(PrivateSourceInfo));
}

// ---- Process name list ----

struct ProcessNameLinks {
  ProcessNameLinks* next;
  ProcessNameLinks* previous;
};

// One runtime-heap block per process.
struct ProcessNameRecord {
  uint32_t size;
  ProcessNameLinks links;
  uint32_t key;
  char imageName[kImageNameBytes];  // not terminated
};

// Circular, doubly linked, with a sentinel head that is only the two links.
// Empty when both links point at the head.
struct ProcessNameList {
  ProcessNameLinks head;
};

inline ProcessNameRecord* ProcessNameRecordOf(ProcessNameLinks* links) {
  return reinterpret_cast<ProcessNameRecord*>(reinterpret_cast<unsigned char*>(links) -
                                              offsetof(ProcessNameRecord, links));
}
inline const ProcessNameRecord* ProcessNameRecordOf(const ProcessNameLinks* links) {
  return ProcessNameRecordOf(const_cast<ProcessNameLinks*>(links));
}

void ProcessNameListInit(ProcessNameList* list);
bool ProcessNameListEmpty(const ProcessNameList* list);
// Links record in at the tail; the list owns it from then on.
void ProcessNameListAppend(ProcessNameList* list, ProcessNameRecord* record);
// Releases every record to the runtime heap and leaves the list empty.
void ProcessNameListRelease(ProcessNameList* list);

// ---- The three queries ----

// Learns the highest physical page number (class 0) and the physical ranges
// (sub-class 17). On 0, *requestSize holds the request's byte size and
// *ranges a runtime-heap block the caller releases with RuntimeFree; its
// range count never promises more ranges than the block holds. On -1 (after
// printing why) nothing is handed out.
int GetMemoryRanges(uint32_t* requestSize, MemoryRangeInfo** ranges);

// Builds a request of requestSize bytes naming every page of the walk over
// ranges, and has the service fill it. On 0, *request is a process-heap block
// the caller releases with ProcessHeapFree; on -1 (after printing why) it is
// null.
int SetUpPfnDatabase(uint32_t requestSize, const MemoryRangeInfo* ranges, PfnRequest** request);

// Empties list, then appends a record per process the service reports,
// printing two lines for each. Returns 0; -1 when a query or the answer's
// buffer fails; 1 when a record cannot be allocated. Records appended before
// a failure stay in the list for the caller to release.
int SetupProcessNameDatabase(ProcessNameList* list);

// Makes *record from a process-type source (leaving it untouched for any
// other type) and prints the process's two lines. Returns 0, or 1 when the
// record cannot be allocated.
int MakeProcessNameRecord(const PrivateSourceRecord* source, ProcessNameRecord** record);

#endif  // PFNDB_PFN_PFN_H_
