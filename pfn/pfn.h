// The page-frame database as the native service exchanges it: physical memory
// ranges, the page-frame request and the private sources, plus the list of
// process names built from the latter, in the format this build exchanges
// (pfn/format.h).
#ifndef PFNDB_PFN_PFN_H_
#define PFNDB_PFN_PFN_H_

#include <cstddef>
#include <cstdint>

#include "native/native_query.h"
#include "pfn/format.h"

// How many items of itemBytes follow a header of headerBytes in an answer the
// service says filled `reported` bytes of a buffer of bufferBytes: only what
// was both written and allocated is ever read.
inline int64_t ItemsWithin(uint32_t bufferBytes, uint32_t reported, size_t headerBytes,
                           size_t itemBytes) {
  uint32_t filled = reported < bufferBytes ? reported : bufferBytes;
  return filled < headerBytes ? 0 : (filled - headerBytes) / itemBytes;
}

// ---- Physical memory ranges (sub-class 17) ----

typedef Format::PageNumber PageNumber;
typedef Format::PhysicalRange PhysicalRange;
// Header of the ranges answer as the program keeps it (version 1's, whatever
// version the service answered); PhysicalRange k follows at byte 8 + size*k.
typedef Format::MemoryRangeInfo MemoryRangeInfo;

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
// 0 or below visits nothing; pages never wrap past the largest page number.
struct RangeWalk {
  const MemoryRangeInfo* info;
  int32_t nextRange;
};

void RangeWalkStart(RangeWalk* walk, const MemoryRangeInfo* info);

// Hands out the next non-empty run of consecutive pages in *firstPage and
// *pageCount (at least 1). Returns false once the walk is over.
bool RangeWalkNextRun(RangeWalk* walk, PageNumber* firstPage, PageNumber* pageCount);

// Total pages the walk yields.
uint64_t RangeWalkPageCount(const MemoryRangeInfo* info);

// ---- Page-frame request (sub-class 6) ----

typedef Format::PfnEntry PfnEntry;
// The request's header as the program lays it; the service may expect its
// entries elsewhere (Format::kEntryOffsets), but by the time a filled
// request is handed out they lie right after this header.
typedef Format::PfnRequest PfnRequest;

inline PfnEntry* PfnEntries(PfnRequest* request) {
  return reinterpret_cast<PfnEntry*>(reinterpret_cast<unsigned char*>(request) +
                                     sizeof(PfnRequest));
}
inline const PfnEntry* PfnEntries(const PfnRequest* request) {
  return PfnEntries(const_cast<PfnRequest*>(request));
}

// A request's byte size: a header and an entry for each page from 0 to the
// highest.
typedef Format::RequestSize PfnRequestSize;

// Entries a request of requestSize bytes has room for.
inline uint64_t PfnRequestCapacity(PfnRequestSize requestSize) {
  return requestSize < sizeof(PfnRequest) ? 0
                                          : (requestSize - sizeof(PfnRequest)) / sizeof(PfnEntry);
}

// Entries the walk writes into (and the report reads from) a request of
// requestSize bytes: one per page, but never beyond the request's room.
uint64_t PfnRequestEntriesFor(const MemoryRangeInfo* ranges, PfnRequestSize requestSize);

// ---- Private sources (sub-class 8) ----

const uint32_t kPrivateSourceProcess = 2;
const size_t kImageNameBytes = 12;

// The page key type; see Format32 and Format64.
typedef Format::Key ProcessKeyValue;

// What the program reads of one private-source record, whatever version of
// the answer it came in.
struct PrivateSource {
  uint32_t sourceType;
  uint64_t shownId;  // printed after "Client ID"
  uint64_t size;
  // keys[0] always belongs to the record; keys[1] only when hasSecondKey.
  ProcessKeyValue keys[2];
  bool hasSecondKey;
  char imageName[kImageNameBytes];  // not necessarily NUL-terminated
};

// Reads record r of an answer laid out as layout; the caller has checked
// that it lies within the answer.
void ReadPrivateSource(const unsigned char* answer, const SourceLayout& layout, uint32_t r,
                       PrivateSource* record);

// ---- Process name list ----

struct ProcessNameLinks {
  ProcessNameLinks* next;
  ProcessNameLinks* previous;
};

// One runtime-heap block per key of a process: a process that pages name by
// two keys (its id, its pointer) has two blocks, alike but for the key, so
// that a page's owners are the blocks with its key.
struct ProcessNameRecord {
  uint32_t size;
  ProcessNameLinks links;
  ProcessKeyValue key;
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
// Each asks through `service` and prints what went wrong, and the process
// lines, through service->messages. Where Windows versions lay an answer
// out differently, the first layout tried is the one this program was first
// written against; a refusal that the next layout mends prints nothing.

// Learns the highest physical page number (class 0) and the physical ranges
// (sub-class 17). On 0, *requestSize holds the request's byte size and
// *ranges a runtime-heap block the caller releases with RuntimeFree, laid
// out as version 1 whatever version answered; its range count never
// promises more ranges than the block holds. On -1 (after printing why)
// nothing is handed out.
int GetMemoryRanges(NativeService* service, PfnRequestSize* requestSize, MemoryRangeInfo** ranges);

// Builds a request of requestSize bytes naming every page of the walk over
// ranges, and has the service fill it, finding where this system wants the
// entries; a request whose page numbers do not come back as sent is not
// handed out. On 0, *request is a process-heap block the caller releases
// with ProcessHeapFree, its entries after PfnRequest's header; on failure
// (after printing why) it is null.
int SetUpPfnDatabase(NativeService* service, PfnRequestSize requestSize,
                     const MemoryRangeInfo* ranges, PfnRequest** request);
// What SetUpPfnDatabase returns, instead of -1, when the service answered
// but no layout it knows brought the page numbers back.
const int kPfnLayoutUnknown = -2;

// ---- The request in slices ----
// A request of a whole machine holds 16 or 24 bytes a page: hundreds of
// megabytes on a large machine, private pages of the tool's own that push
// the machine's off its lists, and on the largest machines more than one
// request can name. The 64-bit programs, and pfnstat --live in either
// format, ask for the same pages a slice at a time instead, in one buffer.

// Pages a slice asks about (the request's header and 1.5 MiB of entries in
// the 64-bit format): past that, a larger slice gained nothing measurable
// (bench/slices_bench.sh).
const uint32_t kSlicePages = 65536;

// Where a walk stands: the next page to name and what is left of its run
// and of all the pages to name.
struct PageCursor {
  RangeWalk walk;
  PageNumber page;
  uint64_t run;
  uint64_t left;
};

// The state of a walk in slices; its fields are the slicer's own.
struct PfnSlices {
  PageCursor cursor;
  unsigned char* block;  // process heap: one slice's request
  uint32_t slicePages;
  uint32_t layout;
  bool layoutKnown;
  bool asked;  // whether any slice was asked yet
  int failed;  // what every call returns once a slice failed
};

// Starts slices of slicePages pages (kSlicePages but in tests; at least 1)
// over the pages a request of requestSize bytes would name, the walk over
// ranges, which must outlive them. Returns 0, or -1 (after printing "Memory
// allocation failed from heap") when the slice's buffer cannot be had.
// Release with PfnSlicesEnd either way.
int PfnSlicesStart(NativeService* service, PfnRequestSize requestSize,
                   const MemoryRangeInfo* ranges, uint32_t slicePages, PfnSlices* slices);

// Asks the service for the next slice, finding the layout on the first one
// as SetUpPfnDatabase does, and checking every slice's page numbers. Returns
// 1 with *entries[0 .. *count) (valid until the next call), 0 when every
// page has been asked, or, after printing why as SetUpPfnDatabase does, -1
// or kPfnLayoutUnknown; every later call then fails the same way.
int PfnSlicesNext(NativeService* service, PfnSlices* slices, const PfnEntry** entries,
                  uint32_t* count);
void PfnSlicesEnd(PfnSlices* slices);

// Empties list, then appends a record per process the service reports (two
// for a process that two keys name), printing two lines for each process.
// Returns 0; -1 when a query or the answer's buffer fails; 1 when a record
// cannot be allocated. Records appended before a failure stay in the list
// for the caller to release.
int SetupProcessNameDatabase(NativeService* service, ProcessNameList* list);

// Makes *record, for source's first key, from a process-type source
// (leaving it untouched for any other type) and prints the process's two
// lines through messages. Returns 0, or 1 when the record cannot be
// allocated.
int MakeProcessNameRecord(const MessageSink* messages, const PrivateSource* source,
                          ProcessNameRecord** record);

// The same steps through the program's own service (ProgramService()).
inline int GetMemoryRanges(PfnRequestSize* requestSize, MemoryRangeInfo** ranges) {
  return GetMemoryRanges(ProgramService(), requestSize, ranges);
}
inline int SetUpPfnDatabase(PfnRequestSize requestSize, const MemoryRangeInfo* ranges,
                            PfnRequest** request) {
  return SetUpPfnDatabase(ProgramService(), requestSize, ranges, request);
}
inline int SetupProcessNameDatabase(ProcessNameList* list) {
  return SetupProcessNameDatabase(ProgramService(), list);
}
inline int MakeProcessNameRecord(const PrivateSource* source, ProcessNameRecord** record) {
  return MakeProcessNameRecord(ProgramService()->messages, source, record);
}

#endif  // PFNDB_PFN_PFN_H_
