#include <cstring>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

// One 96-byte header plus a 16-byte entry for each page 0 .. highestPage.
// Returns false when that does not fit in 32 bits.
bool RequestSizeFor(uint32_t highestPage, uint32_t* requestSize) {
  uint64_t size = (uint64_t{highestPage} + 7) * 16;
  if (size > UINT32_MAX) return false;
  *requestSize = static_cast<uint32_t>(size);
  return true;
}

}  // namespace

int GetMemoryRanges(uint32_t* requestSize, MemoryRangeInfo** ranges) {
  SystemBasicInformation basic;
  memset(&basic, 0, sizeof(basic));
  uint32_t basicLength = 0;
  QueryStatus status =
      g_NtQuerySystemInformation(kSystemBasicInformation, &basic, sizeof(basic), &basicLength);
  if (status != kStatusSuccess) {
    ConsoleWPrintf(L"NativeQueryBasicInformation failed %x\n", static_cast<unsigned>(status));
    return -1;
  }
  // The probe is expected to "fail" while reporting the size it needs.
  uint32_t returnLength = 20;
  SuperfetchInformation envelope;
  MakeSuperfetchInformation(&envelope, kSuperfetchMemoryRangesQuery, nullptr, 16);
  status = QuerySuperfetch(&envelope, &returnLength);
  if (status != kStatusSuccess)
    ConsoleWPrintf(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
  // A size that cannot even hold the header leaves nothing to read.
  if (returnLength < sizeof(MemoryRangeInfo)) return -1;

  uint32_t bufferLength = returnLength;
  MemoryRangeInfo* info =
      static_cast<MemoryRangeInfo*>(RuntimeCalloc(bufferLength, kHeapSiteMemoryRanges));
  if (info == nullptr) {
    ConsoleWPrintf(L"Memory allocation failed \n");
    return -1;
  }
  info->version = 1;
  envelope.data = info;
  envelope.length = bufferLength;
  status = QuerySuperfetch(&envelope, &returnLength);
  if (status != kStatusSuccess) {
    ConsoleWPrintf(L"NativeQuerySuperFecthInformation failed %x\n", static_cast<unsigned>(status));
    // A warning still leaves a usable answer.
    if (status < 0) {
      RuntimeFree(info);
      return -1;
    }
  }

  // Only what the service says it wrote, and never past the block, is read.
  int64_t room =
      ItemsWithin(bufferLength, returnLength, sizeof(MemoryRangeInfo), sizeof(PhysicalRange));
  if (info->rangeCount > room) info->rangeCount = static_cast<int32_t>(room);

  uint32_t size;
  if (!RequestSizeFor(basic.highestPhysicalPageNumber, &size)) {
    RuntimeFree(info);
    return -1;
  }
  *requestSize = size;
  *ranges = info;
  return 0;
}
