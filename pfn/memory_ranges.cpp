#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

// One header plus an entry for each page 0 .. highestPage. Returns false
// when that does not fit in the format's request size.
bool RequestSizeFor(uint32_t highestPage, PfnRequestSize* requestSize) {
  uint64_t size = sizeof(PfnRequest) + (uint64_t{highestPage} + 1) * sizeof(PfnEntry);
  if (size > static_cast<PfnRequestSize>(~PfnRequestSize{0})) return false;
  *requestSize = static_cast<PfnRequestSize>(size);
  return true;
}

// What a system answers to a version (or a layout) it does not take.
bool Refused(QueryStatus status) {
  return status == kStatusInvalidParameter || status == kStatusInfoLengthMismatch;
}

// Whether every range lies within pages 0 .. highestPage: an answer read in
// a layout it was not written in would not.
bool WithinTheMachine(const MemoryRangeInfo* info, uint32_t highestPage) {
  const PhysicalRange* ranges = MemoryRanges(info);
  for (int32_t k = 0; k < info->rangeCount; ++k) {
    if (ranges[k].pageCount == 0) continue;
    if (ranges[k].firstPage > highestPage ||
        ranges[k].pageCount - 1 > highestPage - ranges[k].firstPage)
      return false;
  }
  return true;
}

// Asks for version 2 of the ranges (Windows 10 1803 on; 11 24H2 takes no
// other), in a block of at least `least` bytes, and lays the answer out as
// version 1 in place. Returns the block, or null with *status the query's
// status (0 when the heap refused).
MemoryRangeInfo* FetchVersion2(NativeService* service, uint32_t least, QueryStatus* status) {
  uint32_t bufferLength = least;
  for (int attempt = 0; attempt < 2; ++attempt) {
    unsigned char* block =
        static_cast<unsigned char*>(RuntimeCalloc(bufferLength, kHeapSiteMemoryRanges));
    if (block == nullptr) {
      *status = 0;
      return nullptr;
    }
    block[0] = 2;
    SuperfetchInformation envelope;
    MakeSuperfetchInformation(&envelope, kSuperfetchMemoryRangesQuery, block, bufferLength);
    uint32_t returnLength = bufferLength;
    *status = QuerySuperfetch(service, &envelope, &returnLength, "version 2");
    if (*status == kStatusSuccess) {
      int32_t count;
      memcpy(&count, block + Format::kRangesV2CountOffset, sizeof(count));
      const int64_t room =
          ItemsWithin(bufferLength, returnLength, Format::kRangesV2Header, sizeof(PhysicalRange));
      if (count > room) count = static_cast<int32_t>(room);
      if (count < 0) count = 0;
      memmove(block + sizeof(MemoryRangeInfo), block + Format::kRangesV2Header,
              size_t(count) * sizeof(PhysicalRange));
      MemoryRangeInfo* info = reinterpret_cast<MemoryRangeInfo*>(block);
      info->rangeCount = count;
      return info;
    }
    RuntimeFree(block);
    // Told how much it needs: once more with that.
    if (*status != kStatusBufferTooSmall || returnLength <= bufferLength) break;
    bufferLength = returnLength;
  }
  return nullptr;
}

}  // namespace

int GetMemoryRanges(NativeService* service, PfnRequestSize* requestSize, MemoryRangeInfo** ranges) {
  const MessageSink& say = *service->messages;
  // The class-0 answer, aligned for the 32-bit read at 20.
  uint32_t basic[Format::kBasicInformationBytes / sizeof(uint32_t)];
  memset(basic, 0, sizeof(basic));
  uint32_t basicLength = 0;
  QueryStatus status = QueryBasicInformation(service, basic, sizeof(basic), &basicLength);
  if (status != kStatusSuccess) {
    say.wide(L"NativeQueryBasicInformation failed %x\n", static_cast<unsigned>(status));
    return -1;
  }
  const uint32_t highestPage = basic[5];
  // The probe is expected to "fail" while reporting the size it needs.
  uint32_t returnLength = 20;
  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchMemoryRangesQuery, nullptr, 16);
  status = QuerySuperfetch(service, &envelope, &returnLength, "size probe");
  if (status != kStatusSuccess)
    say.wide(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
  // A size that cannot even hold the header leaves nothing to read.
  if (returnLength < sizeof(MemoryRangeInfo)) return -1;

  const uint32_t bufferLength = returnLength;
  MemoryRangeInfo* info =
      static_cast<MemoryRangeInfo*>(RuntimeCalloc(bufferLength, kHeapSiteMemoryRanges));
  if (info == nullptr) {
    say.wide(L"Memory allocation failed \n");
    return -1;
  }
  info->version = 1;
  envelope.data = info;
  envelope.length = bufferLength;
  status = QuerySuperfetch(service, &envelope, &returnLength, "version 1");
  bool version2 = false;
  if (status < 0 && Refused(status)) {
    // Version 1 refused: version 2's header is longer by what it adds.
    const QueryStatus first = status;
    const uint32_t least = bufferLength + (Format::kRangesV2Header - sizeof(MemoryRangeInfo));
    QueryStatus second;
    MemoryRangeInfo* other = FetchVersion2(service, least, &second);
    if (other != nullptr) {
      RuntimeFree(info);
      info = other;
      status = kStatusSuccess;
      version2 = true;
    } else {
      service->lastStatus = first;
    }
  }
  if (status != kStatusSuccess) {
    say.wide(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
    // A warning still leaves a usable answer.
    if (status < 0) {
      RuntimeFree(info);
      return -1;
    }
  }

  // Version 2 was never seen answering pfndb: its ranges must make sense.
  if (version2 && !WithinTheMachine(info, highestPage)) {
    say.wide(L"memory ranges come back in no layout this program knows\n");
    RuntimeFree(info);
    return -1;
  }
  // Only what the service says it wrote, and never past the block, is read.
  if (!version2) {
    int64_t room =
        ItemsWithin(bufferLength, returnLength, sizeof(MemoryRangeInfo), sizeof(PhysicalRange));
    if (info->rangeCount > room) info->rangeCount = static_cast<int32_t>(room);
  }

  PfnRequestSize size;
  if (!RequestSizeFor(highestPage, &size)) {
    RuntimeFree(info);
    return -1;
  }
  *requestSize = size;
  *ranges = info;
  return 0;
}
