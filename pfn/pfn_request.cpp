#include <cstdio>
#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

const uint32_t kLayouts = sizeof(Format::kEntryOffsets) / sizeof(Format::kEntryOffsets[0]);

// Room past the request's bytes for the layout whose entries start latest.
uint32_t Spare() {
  uint32_t most = 0;
  for (uint32_t offset : Format::kEntryOffsets) most = offset > most ? offset : most;
  return most - static_cast<uint32_t>(sizeof(PfnRequest));
}

// Pages the 64-bit programs ask about before the whole request, to learn
// where this system wants the entries.
const uint32_t kProbePages = 16;

bool Refused(QueryStatus status) {
  return status == kStatusInvalidParameter || status == kStatusInfoLengthMismatch;
}

PfnEntry* EntriesAt(unsigned char* block, uint32_t offset) {
  return reinterpret_cast<PfnEntry*>(block + offset);
}

// Names the walk's pages, at most `most`, in the entries at `entries`;
// returns how many.
uint32_t NamePages(const MemoryRangeInfo* ranges, PfnEntry* entries, uint32_t most) {
  // Overlapping ranges, or ranges past the highest page, could name more
  // pages than there are entries; the rest are left out.
  uint32_t written = 0;
  RangeWalk walk;
  RangeWalkStart(&walk, ranges);
  PageNumber page, count;
  while (written < most && RangeWalkNextRun(&walk, &page, &count)) {
    const uint32_t take = most - written < count ? most - written : static_cast<uint32_t>(count);
    for (uint32_t i = 0; i < take; ++i) entries[written++].pageFrameNumber = page + i;
  }
  return written;
}

bool RoundTrips(const MemoryRangeInfo* ranges, const PfnEntry* entries, uint32_t count) {
  uint32_t j = 0;
  RangeWalk walk;
  RangeWalkStart(&walk, ranges);
  PageNumber page, run;
  while (j < count && RangeWalkNextRun(&walk, &page, &run)) {
    for (PageNumber i = 0; i < run && j < count; ++i, ++j)
      if (entries[j].pageFrameNumber != page + i) return false;
  }
  return true;
}

// Lays out a request in block (length bytes, zeroed) with its entries at
// Format::kEntryOffsets[layout], naming at most `most` pages, and has the
// service fill it. *filled: whether every page came back as sent.
QueryStatus Ask(NativeService* service, const MemoryRangeInfo* ranges, unsigned char* block,
                uint32_t length, uint32_t layout, uint32_t most, uint32_t* written, bool* filled) {
  const uint32_t offset = Format::kEntryOffsets[layout];
  PfnRequest* header = reinterpret_cast<PfnRequest*>(block);
  header->version = 1;
  header->requestFlags = 1;
  *written = NamePages(ranges, EntriesAt(block, offset), most);
  header->entryCount = *written;
  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchPfnQuery, block, length);
  char tried[32];
  snprintf(tried, sizeof(tried), "entries at 0x%x", static_cast<unsigned>(offset));
  uint32_t returnLength = 0;
  QueryStatus status = QuerySuperfetch(service, &envelope, &returnLength, tried);
  *filled = status == kStatusSuccess && RoundTrips(ranges, EntriesAt(block, offset), *written);
  return status;
}

// What a short request at each layout in turn found.
enum Probe { kProbeFound, kProbeFailed, kProbeNoLayout, kProbeNoMemory };

// Asks a short request at each layout in turn; the first whose pages come
// back as sent in *layout. A status that no layout can explain (a refused
// privilege) ends it as kProbeFailed, with *status.
Probe ProbeLayout(NativeService* service, const MemoryRangeInfo* ranges, uint32_t* layout,
                  QueryStatus* status) {
  for (uint32_t l = 0; l < kLayouts; ++l) {
    const uint32_t length =
        Format::kEntryOffsets[l] + kProbePages * static_cast<uint32_t>(sizeof(PfnEntry));
    unsigned char* block =
        static_cast<unsigned char*>(ProcessHeapAlloc(length, kHeapSitePfnRequest));
    if (block == nullptr) return kProbeNoMemory;
    uint32_t written;
    bool filled;
    *status = Ask(service, ranges, block, length, l, kProbePages, &written, &filled);
    ProcessHeapFree(block);
    if (filled) {
      *layout = l;
      return kProbeFound;
    }
    if (*status != kStatusSuccess && !Refused(*status)) return kProbeFailed;
  }
  return kProbeNoLayout;
}

void PrintQueryFailure(NativeService* service, QueryStatus status) {
  service->messages->wide(L"NativeQuerySuperFecthInformation failed %x\n",
                          static_cast<unsigned>(status));
  service->messages->narrow("NativeQuerySuperFecthInformation get pfn database failed\n");
}

void PrintNoLayout(NativeService* service) {
  service->messages->wide(L"page-frame entries come back in no layout this program knows\n");
}

}  // namespace

int SetUpPfnDatabase(NativeService* service, uint32_t requestSize, const MemoryRangeInfo* ranges,
                     PfnRequest** request) {
  *request = nullptr;
  if (requestSize < sizeof(PfnRequest)) return -1;
  const uint32_t capacity = PfnRequestCapacity(requestSize);

  // The 64-bit programs learn the layout from a short request first; the
  // 32-bit one asks as it always has, and tries the other layout only when
  // that fails.
  uint32_t first = 0;
  if (Format::kBits == 64 && PfnRequestEntriesFor(ranges, requestSize) > 0) {
    QueryStatus status = kStatusSuccess;
    switch (ProbeLayout(service, ranges, &first, &status)) {
      case kProbeFound: break;
      case kProbeFailed: PrintQueryFailure(service, status); return -1;
      case kProbeNoLayout: PrintNoLayout(service); return kPfnLayoutUnknown;
      case kProbeNoMemory:
        service->messages->wide(L"Memory allocation failed from heap\n");
        return -1;
    }
  }

  unsigned char* block =
      static_cast<unsigned char*>(ProcessHeapAlloc(requestSize + Spare(), kHeapSitePfnRequest));
  if (block == nullptr) {
    service->messages->wide(L"Memory allocation failed from heap\n");
    return -1;
  }
  uint32_t written = 0;
  bool filled = false;
  QueryStatus firstStatus =
      Ask(service, ranges, block, requestSize, first, capacity, &written, &filled);
  uint32_t layout = first;
  const bool tryNext =
      Format::kBits == 32 && !filled && (firstStatus == kStatusSuccess || Refused(firstStatus));
  if (tryNext) {
    // The other layout's header is longer; the block has room for it.
    layout = first + 1;
    const uint32_t grown =
        requestSize + (Format::kEntryOffsets[layout] - Format::kEntryOffsets[first]);
    memset(block, 0, requestSize + Spare());
    Ask(service, ranges, block, grown, layout, capacity, &written, &filled);
  }
  if (!filled) {
    if (firstStatus != kStatusSuccess) {
      service->lastStatus = firstStatus;
      PrintQueryFailure(service, firstStatus);
    } else {
      PrintNoLayout(service);
    }
    ProcessHeapFree(block);
    return firstStatus != kStatusSuccess ? -1 : kPfnLayoutUnknown;
  }
  // Handed out in the one layout the rest of the program reads.
  const uint32_t offset = Format::kEntryOffsets[layout];
  if (offset != sizeof(PfnRequest))
    memmove(block + sizeof(PfnRequest), block + offset, size_t{written} * sizeof(PfnEntry));
  *request = reinterpret_cast<PfnRequest*>(block);
  return 0;
}
