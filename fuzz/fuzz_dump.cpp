// The whole `pfndb -p` run against a native service whose every answer, and
// every allocation failure, comes from the fuzz input. Whatever the service
// claims, the run must end with status 0 or -1 and every block released;
// ASan, UBSan and LSan watch every access on the way.
//
// Then `pfnstat --live`'s reading of the machine against the same answers:
// it fails where pfndb failed, counts exactly the entries the request holds,
// and gives the tally pfnstat gets from pfndb's dump.
//
// Input, read front to back (fuzz_input.h: zeros past the end):
//   u8 flags      bit 0: no RtlAdjustPrivilege entry; bit 1: no
//                 NtQuerySystemInformation entry; bit 2: every output
//                 write fails
//   u8 failSites  bit 0: ranges buffer, bit 1: page-frame request, bit 2:
//                 private-source buffer, bit 3: the name record below,
//                 bits 4 and 5: the first and second block of the
//                 report's name index
//   u8 failName   which name record (0 = the first) fails under bit 3
// then, for each query in the order pfndb makes it:
//   u8 control    bits 0-1 status: 0 success, 1 buffer too small, 2 a u32
//                 follows, 3 0x80000005; bits 2-3 return length: 0 left
//                 as pfndb set it, 1 the bytes the answer takes, 2 a u32
//                 follows, 3 the buffer's length; bit 4: nothing is
//                 written into the buffer
//   [u32 status] [u32 returnLength]
//   body, read whether or not it is written:
//     class 0       u32 highest physical page number
//     sub-class 17  i32 range count, u8 n, n x (u32 first page, u32 pages)
//     sub-class 6   u8 k, k x (u32 word0, u32 word1, u32 virtual address,
//                   u32 page number): entry j gets template j % k, its page
//                   number only when that is not 0xFFFFFFFF; u8 bit 0 then
//                   u32: the entry count in the header is overwritten
//     sub-class 8   i32 record count, u8 n, n x (u32 type, u32 key,
//                   u32 size, 12 name bytes), u16 extra, u32 stride:
//                   records n .. n + extra - 1 repeat record r % n with
//                   (r / n) * stride added to its key
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/pfndb.h"
#include "fuzz/fuzz_input.h"
#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "native/ntdll.h"
#include "pfn/pfn.h"
#include "stat/dump_reader.h"
#include "stat/feed.h"
#include "stat/live.h"
#include "stat/memory_source.h"
#include "stat/tally.h"

namespace {

// Blocks the service's sizes would make larger are refused through the
// failure hook: a hostile size may ask for up to 4 GiB, and the fuzzer is to
// look for faults, not to run out of memory or print millions of lines.
// 32 KiB still allows 2043 entries and 682 sources: enough lines to cross
// the report's 64 KiB console spans, and owners with enough names to fill
// most of one, while every input stays cheap (at 256 KiB, inputs with
// thousands of records took milliseconds each and held the rate near
// 2 k/s; with pfnstat's reading of each machine added, 64 KiB gave 11 k
// inputs a processor second and 32 KiB 18 k).
const uint64_t kMaxBlock = 32 * 1024;

// Within such blocks a machine can still print megabytes (at 64 KiB, 4091
// pages of one key with a thousand names gave 23 MB, 0.6 s of one run), and
// inputs drifted towards such machines: a 60-second run fell to about 1 k
// inputs/s. A dump's length is bounded by the request's entries times the
// records that may share a key, so the source list is refused when that
// product passes this. 64 pages of a key with 300 names (the seed
// one_key_many_names) still print 198 KB, names across the ends of three
// console spans.
const uint64_t kMaxPagesTimesRecords = 32 * 1024;

// Only a dump up to this size is kept and read back, every seed's among
// them, so that the largest machines left do not set the pace. What the
// read-back checks, pfndb's dump against pfnstat's reading of the same
// machine, holds for a small dump as for a large one; the reader's cases at
// the end of its megabyte buffer, which the read-back of a 12 MB dump found
// (the seed line_meets_the_buffer_end), are dump_reader_test.cpp's.
const size_t kMaxReadBack = 256 * 1024;

const QueryStatus kBufferTooSmall = static_cast<QueryStatus>(0xC0000023u);
const QueryStatus kBufferOverflow = static_cast<QueryStatus>(0x80000005u);

FuzzInput g_in;
uint8_t g_flags;
uint8_t g_failSites;
uint8_t g_failName;
uint32_t g_nameRecords;
uint32_t g_indexBlocks;
// What the last answer left in pfndb's return-length variable, and the
// highest page the class-0 answer wrote: pfndb sizes its next block from
// them.
uint32_t g_lastReturnLength;
uint32_t g_highestPage;
// The entries pfndb's walk named in the request, as the service saw them.
uint32_t g_requestEntries;

// Where in the input each of pfndb's queries found its answer, by kind.
// pfnstat --live asks the same questions in another order (the pages last,
// in slices), so it is given, kind by kind, the answers pfndb was given; a
// later slice, the last page-frame answer. What the run decided from the
// answers (g_highestPage, g_requestEntries) stays as pfndb's run left it.
enum QueryKind { kKindBasic, kKindRanges, kKindPfn, kKindSources, kKinds };
std::vector<size_t> g_answers[kKinds];
size_t g_replayed[kKinds];
bool g_replay = false;

void TakeAnswerFor(QueryKind kind) {
  if (!g_replay) {
    g_answers[kind].push_back(g_in.position);
    return;
  }
  const std::vector<size_t>& answers = g_answers[kind];
  size_t& next = g_replayed[kind];
  if (next < answers.size())
    g_in.position = answers[next++];
  else if (kind == kKindPfn && !answers.empty())
    g_in.position = answers.back();
}
// What pfndb printed, unless it came to more than kMaxReadBack.
std::string g_output;
bool g_outputTooLong;

// PFNDB_FUZZ_SHOW=1 shows the run on standard error, to read what an input
// that libFuzzer kept makes pfndb print.
bool g_show = false;

int DiscardSink(const char* bytes, size_t count) {
  if (g_show) fwrite(bytes, 1, count, stderr);
  if (g_flags & 4) return -1;
  g_outputTooLong = g_outputTooLong || count > kMaxReadBack - g_output.size();
  if (!g_outputTooLong) g_output.append(bytes, count);
  return 0;
}

bool FailAllocation(HeapSite site) {
  switch (site) {
    case kHeapSiteMemoryRanges: return (g_failSites & 1) != 0 || g_lastReturnLength > kMaxBlock;
    case kHeapSitePfnRequest:
      return (g_failSites & 2) != 0 || (uint64_t{g_highestPage} + 7) * 16 > kMaxBlock;
    case kHeapSitePrivateSources:
      return (g_failSites & 4) != 0 || g_lastReturnLength > kMaxBlock ||
             uint64_t{g_requestEntries} *
                     (g_lastReturnLength / Format::kSourceLayouts[0].recordBytes) >
                 kMaxPagesTimesRecords;
    case kHeapSiteNameRecord: return (g_failSites & 8) != 0 && g_nameRecords++ == g_failName;
    case kHeapSiteNameIndex: return (g_failSites & (0x10 << (g_indexBlocks++ & 1))) != 0;
    case kHeapSiteOther: break;
  }
  return false;
}

// Writes a value into the caller's buffer only where the buffer has room,
// as a service does whatever it claims about lengths.
void Put(void* data, uint32_t dataLength, size_t offset, const void* value, size_t bytes) {
  if (data == nullptr || offset > dataLength || dataLength - offset < bytes) return;
  memcpy(static_cast<unsigned char*>(data) + offset, value, bytes);
}

void PutU32(void* data, uint32_t dataLength, size_t offset, uint32_t value) {
  Put(data, dataLength, offset, &value, sizeof(value));
}

uint32_t WriteBasic(void* data, uint32_t dataLength, bool write) {
  uint32_t highest = TakeU32(&g_in);
  if (write) {
    PutU32(data, dataLength, offsetof(SystemBasicInformation, highestPhysicalPageNumber), highest);
    if (dataLength >= offsetof(SystemBasicInformation, highestPhysicalPageNumber) + 4)
      g_highestPage = highest;
  }
  return sizeof(SystemBasicInformation);
}

uint32_t WriteRanges(void* data, uint32_t dataLength, bool write) {
  uint32_t count = TakeU32(&g_in);
  uint8_t described = TakeU8(&g_in);
  if (write) PutU32(data, dataLength, offsetof(MemoryRangeInfo, rangeCount), count);
  for (uint32_t k = 0; k < described; ++k) {
    uint32_t first = TakeU32(&g_in);
    uint32_t pages = TakeU32(&g_in);
    if (!write) continue;
    PutU32(data, dataLength, sizeof(MemoryRangeInfo) + 8 * k, first);
    PutU32(data, dataLength, sizeof(MemoryRangeInfo) + 8 * k + 4, pages);
  }
  return sizeof(MemoryRangeInfo) + 8 * described;
}

uint32_t WritePfnEntries(void* data, uint32_t dataLength, bool write) {
  PfnEntry templates[256];
  uint8_t kinds = TakeU8(&g_in);
  for (uint32_t t = 0; t < kinds; ++t) {
    templates[t].word0 = TakeU32(&g_in);
    templates[t].word1 = TakeU32(&g_in);
    templates[t].virtualAddress = TakeU32(&g_in);
    templates[t].pageFrameNumber = TakeU32(&g_in);
  }
  uint8_t header = TakeU8(&g_in);
  uint32_t entryCount = (header & 1) ? TakeU32(&g_in) : 0;
  if (!g_replay && data != nullptr && dataLength >= sizeof(PfnRequest))
    g_requestEntries = static_cast<PfnRequest*>(data)->entryCount;
  if (!write || data == nullptr) return dataLength;
  if (kinds > 0 && dataLength >= sizeof(PfnRequest)) {
    // Only the entries the request names: pfndb reads no others, and the
    // rest of a large request would cost every input its filling.
    PfnEntry* entries = PfnEntries(static_cast<PfnRequest*>(data));
    uint32_t capacity = PfnRequestCapacity(dataLength);
    uint32_t named = static_cast<PfnRequest*>(data)->entryCount;
    if (named < capacity) capacity = named;
    for (uint32_t j = 0; j < capacity; ++j) {
      // By page number, so that a page gets the same answer in whichever
      // slice it is asked.
      const PfnEntry& from = templates[entries[j].pageFrameNumber % kinds];
      entries[j].word0 = from.word0;
      entries[j].word1 = from.word1;
      entries[j].virtualAddress = from.virtualAddress;
      if (from.pageFrameNumber != 0xFFFFFFFFu) entries[j].pageFrameNumber = from.pageFrameNumber;
    }
  }
  if (header & 1) PutU32(data, dataLength, offsetof(PfnRequest, entryCount), entryCount);
  return dataLength;
}

// A version 3 record of the 32-bit format, as the service lays it out.
struct RawSource {
  uint32_t sourceType;
  uint32_t reserved0[3];
  uint32_t key;
  uint32_t reserved1;
  uint32_t size;
  uint32_t reserved2;
  char imageName[kImageNameBytes];
  uint32_t reserved3;
};
const size_t kRawSourcesHeader = 8;

uint32_t WriteSources(void* data, uint32_t dataLength, bool write) {
  uint32_t count = TakeU32(&g_in);
  uint8_t described = TakeU8(&g_in);
  RawSource records[256];
  memset(records, 0, sizeof(records));
  for (uint32_t r = 0; r < described; ++r) {
    records[r].sourceType = TakeU32(&g_in);
    records[r].key = TakeU32(&g_in);
    records[r].size = TakeU32(&g_in);
    for (size_t i = 0; i < kImageNameBytes; ++i)
      records[r].imageName[i] = static_cast<char>(TakeU8(&g_in));
  }
  // Thousands of processes, many keys and hash collisions among them, from
  // a few bytes of input.
  uint32_t extra = TakeU8(&g_in);
  extra |= uint32_t{TakeU8(&g_in)} << 8;
  uint32_t keyStride = TakeU32(&g_in);
  uint32_t total = described == 0 ? 0 : described + extra;
  if (write) {
    PutU32(data, dataLength, 4, count);
    for (uint32_t r = 0; r < total; ++r) {
      size_t offset = kRawSourcesHeader + sizeof(RawSource) * size_t{r};
      if (offset >= dataLength) break;
      RawSource record = records[r % described];
      record.key += (r / described) * keyStride;
      Put(data, dataLength, offset, &record, sizeof(record));
    }
  }
  return kRawSourcesHeader + sizeof(RawSource) * total;
}

QueryStatus FuzzQuery(uint32_t infoClass, void* buffer, uint32_t bufferLength,
                      uint32_t* returnLength) {
  QueryKind kind = kKindBasic;
  if (infoClass == kSystemSuperfetchInformation && buffer != nullptr &&
      bufferLength == sizeof(SuperfetchInformation)) {
    const uint32_t subClass = static_cast<SuperfetchInformation*>(buffer)->subClass;
    kind = subClass == kSuperfetchPfnQuery             ? kKindPfn
           : subClass == kSuperfetchPrivateSourceQuery ? kKindSources
                                                       : kKindRanges;
  }
  TakeAnswerFor(kind);
  uint8_t control = TakeU8(&g_in);
  QueryStatus status = kStatusSuccess;
  switch (control & 3) {
    case 0: status = kStatusSuccess; break;
    case 1: status = kBufferTooSmall; break;
    case 2: status = static_cast<QueryStatus>(TakeU32(&g_in)); break;
    case 3: status = kBufferOverflow; break;
  }
  const uint32_t lengthMode = (control >> 2) & 3;
  const uint32_t rawLength = lengthMode == 2 ? TakeU32(&g_in) : 0;
  const bool write = (control & 0x10) == 0;

  void* data = buffer;
  uint32_t dataLength = bufferLength;
  uint32_t needed = 0;
  if (infoClass == kSystemBasicInformation) {
    FUZZ_REQUIRE(buffer != nullptr && bufferLength == sizeof(SystemBasicInformation));
    g_highestPage = 0;
    needed = WriteBasic(data, dataLength, write);
  } else {
    // pfndb asks for nothing else, and always through a well-formed envelope.
    FUZZ_REQUIRE(infoClass == kSystemSuperfetchInformation);
    FUZZ_REQUIRE(buffer != nullptr && bufferLength == sizeof(SuperfetchInformation));
    SuperfetchInformation* envelope = static_cast<SuperfetchInformation*>(buffer);
    FUZZ_REQUIRE(envelope->version == kSuperfetchVersion && envelope->magic == kSuperfetchMagic);
    data = envelope->data;
    dataLength = envelope->length;
    switch (envelope->subClass) {
      case kSuperfetchMemoryRangesQuery: needed = WriteRanges(data, dataLength, write); break;
      case kSuperfetchPfnQuery: needed = WritePfnEntries(data, dataLength, write); break;
      case kSuperfetchPrivateSourceQuery: needed = WriteSources(data, dataLength, write); break;
      default: FUZZ_REQUIRE(!"unknown sub-class");
    }
  }
  FUZZ_REQUIRE(returnLength != nullptr);
  switch (lengthMode) {
    case 0: break;
    case 1: *returnLength = needed; break;
    case 2: *returnLength = rawLength; break;
    case 3: *returnLength = dataLength; break;
  }
  g_lastReturnLength = *returnLength;
  return status;
}

QueryStatus AdjustPrivilege(uint32_t, uint8_t, uint8_t, uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = 0;
  return kStatusSuccess;
}

NativeEntry Lookup(const wchar_t* moduleName, const char* entryName) {
  FUZZ_REQUIRE(wcscmp(moduleName, L"ntdll.dll") == 0);
  if (strcmp(entryName, "RtlAdjustPrivilege") == 0 && (g_flags & 1) == 0)
    return reinterpret_cast<NativeEntry>(&AdjustPrivilege);
  if (strcmp(entryName, "NtQuerySystemInformation") == 0 && (g_flags & 2) == 0)
    return reinterpret_cast<NativeEntry>(&FuzzQuery);
  return nullptr;
}

// replay: pfnstat's run after pfndb's, given pfndb's answers.
void StartRun(const uint8_t* data, size_t size, bool replay) {
  g_replay = replay;
  for (int kind = 0; kind < kKinds; ++kind) {
    if (!replay) g_answers[kind].clear();
    g_replayed[kind] = 0;
  }
  FuzzInputStart(&g_in, data, size);
  g_flags = TakeU8(&g_in);
  g_failSites = TakeU8(&g_in);
  g_failName = TakeU8(&g_in);
  g_nameRecords = 0;
  g_indexBlocks = 0;
  g_lastReturnLength = 0;
  if (!replay) {
    g_highestPage = 0;
    g_requestEntries = 0;
  }
  SetNativeEntryLookup(Lookup);
  SetHeapFailureHook(FailAllocation);
  g_NtQuerySystemInformation = nullptr;
}

bool SameTallies(const StatTally& a, const StatTally& b) {
  if (memcmp(a.uses, b.uses, sizeof(a.uses)) != 0 || a.ownerCount != b.ownerCount ||
      a.rangeCount != b.rangeCount || a.rangesLeftOut != b.rangesLeftOut) {
    return false;
  }
  for (uint32_t r = 0; r < a.ownerCount; ++r) {
    const OwnerRow& x = a.owners[r];
    const OwnerRow& y = b.owners[r];
    if (x.length != y.length || memcmp(x.text, y.text, x.length) != 0 ||
        (x.text == kNoOwner) != (y.text == kNoOwner) ||
        memcmp(x.pages, y.pages, sizeof(x.pages)) != 0) {
      return false;
    }
  }
  return memcmp(a.ranges, b.ranges, a.rangeCount * sizeof(PageRange)) == 0;
}

// pfnstat's reading of the machine the input plays, after pfndb's run
// ended with status.
void CheckLive(const uint8_t* data, size_t size, int status) {
  static StatTally live, dumped;
  static DumpReader reader;
  static const int made =
      TallyInit(&live) | TallyInit(&dumped) | DumpReaderInit(&reader, ReadFromMemory, nullptr);
  FUZZ_REQUIRE(made == 0);
  // The two strings trade blocks, and keep them for the next run.
  static std::string dump;
  dump.swap(g_output);
  g_output.clear();
  StartRun(data, size, true);
  const int64_t blocks = HeapLiveBlocks();
  LiveMachine machine;
  int result = LiveMachineRead(&machine);
  uint64_t pages = 0;
  if (result == 0) {
    TallyClear(&live);
    int mapFull = 0;
    // The pages come slice by slice, after the processes; a slice can fail.
    result = FeedTally(NextLivePages, &machine, &live, 0, nullptr, &mapFull);
    for (unsigned use = 0; use < kUseCount; ++use)
      for (unsigned list = 0; list < kListCount; ++list) pages += live.uses[0][use][list];
    if (result == 0)
      FUZZ_REQUIRE(pages == PfnRequestEntriesFor(machine.ranges, machine.requestSize));
  }
  LiveMachineFree(&machine);
  SetHeapFailureHook(nullptr);
  SetNativeEntryLookup(nullptr);
  FUZZ_REQUIRE(HeapLiveBlocks() == blocks);
  // Wherever pfndb fails for the machine's sake, so does pfnstat; pfnstat
  // needs the name index that pfndb can do without.
  if (status != 0 && (g_flags & 4) == 0) FUZZ_REQUIRE(result != 0);
  if (status == 0 && (g_failSites & 0x30) == 0) FUZZ_REQUIRE(result == 0);
  if (status != 0 || result != 0 || (g_flags & 4) != 0 || g_outputTooLong) return;

  // The dump pfndb printed, read back: the same counts, rows and ranges.
  // A name holding a line break breaks its line; such a dump is not read.
  MemorySource source = {dump.data(), dump.size(), 0, 0, 0};
  DumpReaderRestart(&reader, ReadFromMemory, &source);
  TallyClear(&dumped);
  int mapFull = 0;
  if (FeedTally(NextDumpPages, &reader, &dumped, 0, nullptr, &mapFull) != 0) return;
  FUZZ_REQUIRE(SameTallies(live, dumped));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* show = getenv("PFNDB_FUZZ_SHOW");
  g_show = show != nullptr && strcmp(show, "1") == 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  StartRun(data, size, false);
  g_output.clear();
  g_outputTooLong = false;
  SetConsoleSink(DiscardSink);
  ConsoleClearError();

  const int64_t live = HeapLiveBlocks();
  wchar_t commandLine[] = L"pfndb -p";
  int status = RunPfndbAndFlush(2, commandLine);

  SetHeapFailureHook(nullptr);
  SetNativeEntryLookup(nullptr);
  SetConsoleSink(DiscardSink);
  ConsoleClearError();
  FUZZ_REQUIRE(status == 0 || status == -1);
  FUZZ_REQUIRE(HeapLiveBlocks() == live);
  // A run without its entry points, or whose output was lost, must not
  // claim success.
  if ((g_flags & 7) != 0) FUZZ_REQUIRE(status == -1);
  CheckLive(data, size, status);
  SetConsoleSink(DiscardSink);
  return 0;
}
