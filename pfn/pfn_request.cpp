#include <cassert>
#include <cstdio>
#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

const uint32_t kLayouts = sizeof(Format::kEntryOffsets) / sizeof(Format::kEntryOffsets[0]);

// The latest any layout starts its entries.
uint32_t LatestOffset() {
  uint32_t most = 0;
  for (uint32_t offset : Format::kEntryOffsets) most = offset > most ? offset : most;
  return most;
}

// Room past the request's bytes for the layout whose entries start latest.
uint32_t Spare() { return LatestOffset() - static_cast<uint32_t>(sizeof(PfnRequest)); }

// Pages the 64-bit programs ask about before the whole request, to learn
// where this system wants the entries.
const uint32_t kProbePages = 16;

bool Refused(QueryStatus status) {
  return status == kStatusInvalidParameter || status == kStatusInfoLengthMismatch;
}

PfnEntry* EntriesAt(unsigned char* block, uint32_t offset) {
  return reinterpret_cast<PfnEntry*>(block + offset);
}

void CursorStart(PageCursor* cursor, const MemoryRangeInfo* ranges, uint64_t most) {
  RangeWalkStart(&cursor->walk, ranges);
  cursor->page = 0;
  cursor->run = 0;
  cursor->left = most;
}

// Whether the cursor has no page left to name.
bool CursorAtEnd(PageCursor* cursor) {
  if (cursor->left == 0) return true;
  if (cursor->run > 0) return false;
  PageNumber first, count;
  if (!RangeWalkNextRun(&cursor->walk, &first, &count)) {
    cursor->left = 0;
    return true;
  }
  cursor->page = first;
  cursor->run = count;
  return false;
}

// Names the cursor's next pages, at most `most`, in the entries at
// `entries`, moving the cursor past them; returns how many. Overlapping
// ranges, or ranges past the highest page, could name more pages than the
// request has room for; the rest are left out.
uint32_t NamePages(PageCursor* cursor, PfnEntry* entries, uint32_t most) {
  uint32_t named = 0;
  while (named < most && !CursorAtEnd(cursor)) {
    uint64_t take = most - named;
    if (cursor->run < take) take = cursor->run;
    if (cursor->left < take) take = cursor->left;
    for (uint32_t i = 0; i < take; ++i) entries[named++].pageFrameNumber = cursor->page + i;
    cursor->page += take;
    cursor->run -= take;
    cursor->left -= take;
  }
  return named;
}

// Whether entries[0 .. count) hold the pages the cursor names next.
bool NamedAsSent(PageCursor cursor, const PfnEntry* entries, uint32_t count) {
  uint32_t j = 0;
  while (j < count && !CursorAtEnd(&cursor)) {
    for (; cursor.run > 0 && j < count; --cursor.run, ++cursor.page, ++j)
      if (entries[j].pageFrameNumber != cursor.page) return false;
  }
  return j == count;
}

// Lays out a request in block (length bytes) with its entries at
// Format::kEntryOffsets[layout], naming the next pages of *cursor, at most
// `most`, and has the service fill it. *filled: whether every page came
// back as sent. The cursor moves past the pages named.
QueryStatus Ask(NativeService* service, PageCursor* cursor, unsigned char* block, uint32_t length,
                uint32_t layout, uint32_t most, uint32_t* written, bool* filled) {
  const uint32_t offset = Format::kEntryOffsets[layout];
  const PageCursor from = *cursor;
  PfnRequest* header = reinterpret_cast<PfnRequest*>(block);
  header->version = 1;
  header->requestFlags = 1;
  *written = NamePages(cursor, EntriesAt(block, offset), most);
  header->entryCount = *written;
  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchPfnQuery, block, length);
  char tried[32];
  snprintf(tried, sizeof(tried), "entries at 0x%x", static_cast<unsigned>(offset));
  uint32_t returnLength = 0;
  QueryStatus status = QuerySuperfetch(service, &envelope, &returnLength, tried);
  *filled = status == kStatusSuccess && NamedAsSent(from, EntriesAt(block, offset), *written);
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
    PageCursor cursor;
    CursorStart(&cursor, ranges, kProbePages);
    uint32_t written;
    bool filled;
    *status = Ask(service, &cursor, block, length, l, kProbePages, &written, &filled);
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
  service->lastStatus = status;
  service->messages->wide(L"NativeQuerySuperFecthInformation failed %x\n",
                          static_cast<unsigned>(status));
  service->messages->narrow("NativeQuerySuperFecthInformation get pfn database failed\n");
}

void PrintNoLayout(NativeService* service) {
  service->messages->wide(L"page-frame entries come back in no layout this program knows\n");
}

}  // namespace

int SetUpPfnDatabase(NativeService* service, PfnRequestSize requestSize,
                     const MemoryRangeInfo* ranges, PfnRequest** request) {
  *request = nullptr;
  if (requestSize < sizeof(PfnRequest)) return -1;
  // More than one request can name: only slices reach such a machine.
  if (requestSize > UINT32_MAX - Spare()) {
    service->messages->wide(L"Memory allocation failed from heap\n");
    return -1;
  }
  const uint32_t size = static_cast<uint32_t>(requestSize);
  const uint64_t capacity = PfnRequestCapacity(size);

  // The 64-bit programs learn the layout from a short request first; the
  // 32-bit one asks as it always has, and tries the other layout only when
  // that fails.
  uint32_t first = 0;
  if (Format::kBits == 64 && PfnRequestEntriesFor(ranges, size) > 0) {
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
      static_cast<unsigned char*>(ProcessHeapAlloc(size + Spare(), kHeapSitePfnRequest));
  if (block == nullptr) {
    service->messages->wide(L"Memory allocation failed from heap\n");
    return -1;
  }
  uint32_t written = 0;
  bool filled = false;
  PageCursor cursor;
  CursorStart(&cursor, ranges, capacity);
  QueryStatus firstStatus =
      Ask(service, &cursor, block, size, first, static_cast<uint32_t>(capacity), &written, &filled);
  uint32_t layout = first;
  const bool tryNext =
      Format::kBits == 32 && !filled && (firstStatus == kStatusSuccess || Refused(firstStatus));
  if (tryNext) {
    // The other layout's header is longer; the block has room for it.
    layout = first + 1;
    const uint32_t grown = size + (Format::kEntryOffsets[layout] - Format::kEntryOffsets[first]);
    memset(block, 0, size + Spare());
    CursorStart(&cursor, ranges, capacity);
    const QueryStatus status = Ask(service, &cursor, block, grown, layout,
                                   static_cast<uint32_t>(capacity), &written, &filled);
    // A refusal no layout explains, where the first try had none.
    if (!filled && firstStatus == kStatusSuccess && status != kStatusSuccess && !Refused(status))
      firstStatus = status;
  }
  if (!filled) {
    if (firstStatus != kStatusSuccess) {
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

namespace {

uint32_t SliceBytes(const PfnSlices& slices) {
  return LatestOffset() + slices.slicePages * uint32_t{sizeof(PfnEntry)};
}

int FailSlices(PfnSlices* slices, int failure) {
  slices->failed = failure;
  return failure;
}

}  // namespace

int PfnSlicesStart(NativeService* service, PfnRequestSize requestSize,
                   const MemoryRangeInfo* ranges, uint32_t slicePages, PfnSlices* slices) {
  assert(slicePages >= 1 && slicePages <= kSlicePages);
  memset(slices, 0, sizeof(*slices));
  // A machine smaller than a slice gets a buffer of its size.
  const uint64_t pages = PfnRequestEntriesFor(ranges, requestSize);
  slices->slicePages =
      pages < slicePages ? (pages > 0 ? static_cast<uint32_t>(pages) : 1) : slicePages;
  CursorStart(&slices->cursor, ranges, pages);
  slices->block =
      static_cast<unsigned char*>(ProcessHeapAlloc(SliceBytes(*slices), kHeapSitePfnRequest));
  if (slices->block == nullptr) {
    service->messages->wide(L"Memory allocation failed from heap\n");
    return FailSlices(slices, -1);
  }
  return 0;
}

int PfnSlicesNext(NativeService* service, PfnSlices* slices, const PfnEntry** entries,
                  uint32_t* count) {
  if (slices->failed != 0) return slices->failed;
  // A machine without pages is still asked once, as the one request asks
  // even when it names none: a system that refuses it fails either way.
  if (CursorAtEnd(&slices->cursor) && slices->asked) return 0;
  slices->asked = true;
  // Nothing of the slice before may pass for this one's answer.
  memset(slices->block, 0, SliceBytes(*slices));
  const PageCursor from = slices->cursor;
  uint32_t written = 0;
  bool filled = false;
  if (slices->layoutKnown) {
    const QueryStatus status = Ask(service, &slices->cursor, slices->block, SliceBytes(*slices),
                                   slices->layout, slices->slicePages, &written, &filled);
    if (status != kStatusSuccess) {
      PrintQueryFailure(service, status);
      return FailSlices(slices, -1);
    }
    if (!filled) {
      PrintNoLayout(service);
      return FailSlices(slices, kPfnLayoutUnknown);
    }
  } else {
    // The first slice finds the layout, each in turn: a refusal, or pages
    // that do not come back as sent, try the next.
    QueryStatus firstStatus = kStatusSuccess;
    for (uint32_t l = 0; l < kLayouts && !filled; ++l) {
      slices->cursor = from;
      if (l > 0) memset(slices->block, 0, SliceBytes(*slices));
      const QueryStatus status = Ask(service, &slices->cursor, slices->block, SliceBytes(*slices),
                                     l, slices->slicePages, &written, &filled);
      if (l == 0) firstStatus = status;
      if (filled) {
        slices->layout = l;
        slices->layoutKnown = true;
      } else if (status != kStatusSuccess && !Refused(status)) {
        // A refusal no layout explains; the first try's, if it had one.
        PrintQueryFailure(service, firstStatus != kStatusSuccess ? firstStatus : status);
        return FailSlices(slices, -1);
      }
    }
    if (!filled) {
      if (firstStatus != kStatusSuccess) {
        PrintQueryFailure(service, firstStatus);
        return FailSlices(slices, -1);
      }
      PrintNoLayout(service);
      return FailSlices(slices, kPfnLayoutUnknown);
    }
  }
  *entries = EntriesAt(slices->block, Format::kEntryOffsets[slices->layout]);
  *count = written;
  return 1;
}

void PfnSlicesEnd(PfnSlices* slices) {
  ProcessHeapFree(slices->block);
  slices->block = nullptr;
}
