#include "standin/machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "pfn/format32.h"
#include "pfn/format64.h"

namespace {

const QueryStatus kStatusInvalidInfoClass = static_cast<QueryStatus>(0xC0000003u);

typedef Format32::PhysicalRange PhysicalRange;
typedef Format32::MemoryRangeInfo MemoryRangeInfo;
typedef Format32::PfnEntry PfnEntry;
typedef Format32::PfnRequest PfnRequest;
const uint32_t kPrivateSourceProcess = 2;
const size_t kImageNameBytes = 12;

struct Source {
  uint32_t type;
  uint32_t key;
  std::string name;  // bytes of the image name; only the first 12 are reported
  uint32_t weight;   // share of the private pages this process owns
};

}  // namespace

struct StandinMachine {
  std::vector<PhysicalRange> ranges;
  std::vector<Source> sources;
  // Owner of each slice of the private pages: process keys repeated by
  // weight, plus keys of processes that have already gone.
  std::vector<uint32_t> privateOwners;
  // Answering as the machine would a while later (StandinSetLater), and the
  // processes whose private pages grow by then.
  bool later = false;
  uint32_t leakers[2] = {0, 0};
  StandinWindows windows = kStandinWindowsEither;
  // What an either-machine answers as, once a program's first query told.
  mutable StandinWindows answering = kStandinWindows7;
  uint32_t faults = 0;  // StandinFault bits
};

namespace {

// Keys of processes that exited after their pages were counted: their pages
// keep a key no record carries.
const uint32_t kExitedKeys[] = {0x9c4, 0xb10, 0x1d8c};

const Source kDefaultSources[] = {
    {2, 0x4, "System", 6},
    {2, 0x178, "smss.exe", 1},
    {2, 0x1a8, "csrss.exe", 4},
    {1, 0x1, "PagedPool", 0},  // sources of other kinds carry no process
    {2, 0x1c0, "winlogon.exe", 3},
    {2, 0x1ec, "services.exe", 3},
    {2, 0x1f8, "lsass.exe", 5},
    {2, 0x2b4, "svchost.exe", 4},
    {2, 0x2c0, "svchost.exe", 9},
    {2, 0x330, "svchost.exe", 6},
    {3, 0x2, "SessionSpace", 0},
    {2, 0x37c, "svchost.exe", 3},
    {2, 0x3b8, "svchost.exe", 2},
    {2, 0x4a0, "spoolsv.exe", 3},
    {2, 0x508, "explorer.exe", 12},  // exactly 12 bytes: no room for a NUL
    {2, 0x53c, "SearchIndexer.exe", 7},
    {2, 0x5d4, "cmd.exe", 1},
    {2, 0x5d4, "conhost.exe", 1},  // a second record under the same key
    {2, 0x624, "taskmgr.exe", 2},
    {2, 0x6e0, "firefox.exe", 30},
    {2, 0x700, "firefox.exe", 14},
    {2, 0x77c, "OUTLOOK.EXE", 16},
    {1, 0x3, "NonPagedPool", 0},
    {2, 0x7b8, "WINWORD.EXE", 11},
    {2, 0x81c, "Caf\xe9Manager.exe", 2},  // a Latin-1 byte in the name
    {2, 0x8a0, "notepad.exe", 1},
    {2, 0x8f4, "vmtoolsd.exe", 3},
    {2, 0x00800a3c, "wmiprvse.exe", 2},  // key bit 23 set
    {2, 0x960, "alg.exe", 1},
    {2, 0xa18, "wuauclt.exe", 2},
    {2, 0xa6c, "msiexec.exe", 4},
    {2, 0xbe0, "devenv.exe", 25},
    {3, 0x4, "Pagefile", 0},
    {2, 0xc44, "cl.exe", 6},
    {2, 0xcd8, "link.exe", 3},
};

// A PC-like layout: the DOS area, the bulk below the PCI hole, a small range
// between ACPI tables, and memory remapped above 4 GiB.
const PhysicalRange kDefaultRanges[] = {
    {0x1, 0x9e},
    {0x100, 0xbf00},
    {0xc100, 0x2f00},
    {0x100000, 0x8000},
};

// The two processes with the most private pages grow: a leak shows most
// plainly where much is already held.
void ChooseLeakers(StandinMachine* machine) {
  const Source* first = nullptr;
  const Source* second = nullptr;
  for (const Source& source : machine->sources) {
    if (source.type != kPrivateSourceProcess) continue;
    if (first == nullptr || source.weight > first->weight) {
      second = first;
      first = &source;
    } else if (second == nullptr || source.weight > second->weight) {
      second = &source;
    }
  }
  if (first == nullptr) return;
  machine->leakers[0] = first->key;
  machine->leakers[1] = second != nullptr ? second->key : first->key;
}

void BuildOwners(StandinMachine* machine) {
  machine->privateOwners.clear();
  ChooseLeakers(machine);
  for (const Source& source : machine->sources)
    for (uint32_t i = 0; i < source.weight; ++i)
      if (source.type == kPrivateSourceProcess) machine->privateOwners.push_back(source.key);
  // About one private page in twenty belongs to a process without a record.
  size_t unknown = machine->privateOwners.size() / 20 + 1;
  for (size_t i = 0; i < unknown; ++i)
    machine->privateOwners.push_back(
        kExitedKeys[i % (sizeof(kExitedKeys) / sizeof(kExitedKeys[0]))]);
}

// Every value of a page follows from its number alone.
inline uint32_t Mix(uint32_t page, uint32_t salt) {
  uint64_t x = (uint64_t{page} << 8 | salt) + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>((x ^ (x >> 31)) >> 16);
}

// Picks an index from cumulative weights out of 1000.
template <size_t N>
uint32_t Pick(const uint16_t (&cumulative)[N], uint32_t roll) {
  uint32_t r = roll % 1000;
  for (uint32_t i = 0; i < N; ++i)
    if (r < cumulative[i]) return i;
  return N - 1;
}

// Zero, free, standby, modified, modified-no-write, bad, active, transition.
const uint16_t kListShares[8] = {90, 160, 310, 370, 390, 393, 970, 1000};
// Process private first; 12 to 15 are rare and carry no name.
const uint16_t kUseShares[16] = {400, 590, 620, 670, 760, 820, 870, 900,
                                 930, 940, 955, 975, 981, 987, 994, 1000};

uint32_t PageVirtualAddress(uint32_t list, uint32_t use, uint32_t roll) {
  if (list == 0 || list == 1 || list == 5) return 0;  // not mapped anywhere
  uint32_t page = roll & 0xFFFFF;
  switch (use) {
    case 0:
    case 1:
    case 2:
    case 9: return 0x00010000u + (page % 0x7FFD0u) * 0x1000u;  // user space
    case 3: return 0xC0000000u + (page % 0x400u) * 0x1000u;    // page tables
    case 4: return 0xE1000000u + (page % 0xD000u) * 0x1000u;   // paged pool
    case 5: return 0x82000000u + (page % 0x6000u) * 0x1000u;   // nonpaged pool
    case 6: return 0xF0000000u + (page % 0x7000u) * 0x1000u;   // system PTEs
    case 7: return 0xBF800000u + (page % 0x800u) * 0x1000u;    // session space
    case 8: return 0xC1000000u + (page % 0x20000u) * 0x1000u;  // system cache
    case 10: return 0x80800000u + (page % 0x800u) * 0x1000u;   // locked kernel
    case 11: return 0xF7000000u + (page % 0x800u) * 0x1000u;   // kernel stacks
    default: return 0;
  }
}

// Pick over both share tables, looked up rather than searched.
struct PickTables {
  uint8_t list[1000];
  uint8_t use[1000];
};

const PickTables& Picks() {
  static const PickTables tables = [] {
    PickTables built;
    for (uint32_t r = 0; r < 1000; ++r) {
      built.list[r] = static_cast<uint8_t>(Pick(kListShares, r));
      built.use[r] = static_cast<uint8_t>(Pick(kUseShares, r));
    }
    return built;
  }();
  return tables;
}

// Only what pfndb shows of a page costs a full mix of its own: its list,
// its use, the owner of a private page and a mapped page's address. The
// rest (the key bits of a page of another use, the other state in word 1)
// is derived from those in 32-bit steps. A 32-bit process (pfndb.exe's
// stand-in under Wine) takes each 64-bit mix in many instructions: the 64
// GiB machine's whole dump through pfndb.exe under Wine and qemu-i386 went
// from 4.3-4.5 s to 3.8 s (bench/win32_bench.sh), every dump byte the same.
void FillEntry(const StandinMachine& machine, const PickTables& picks, PfnEntry* entry,
               uint32_t* owner) {
  uint32_t page = entry->pageFrameNumber;
  const uint32_t listRoll = Mix(page, 1);
  const uint32_t useRoll = Mix(page, 2);
  uint32_t list = picks.list[listRoll % 1000];
  uint32_t use = picks.use[useRoll % 1000];
  // Bits 9-31 of word 1 hold other state of the page that pfndb ignores.
  uint32_t noise = (listRoll * 0x9E3779B1u ^ useRoll) & ~0x1FFu;
  // For a page of another use the key bits are just other state.
  uint32_t key = useRoll * 0x85EBCA6Bu ^ listRoll;
  if (use == 0) key = machine.privateOwners[Mix(page, 3) % machine.privateOwners.size()];
  // Later, about a third of the free and standby pages have gone to the
  // leaking processes.
  if (machine.later && (list == 1 || list == 2) && Mix(page, 6) % 1000 < 330) {
    list = 6;
    use = 0;
    key = machine.leakers[Mix(page, 7) & 1];
  }
  *owner = key;
  entry->word0 = use | list << 4 | (key & 0x7FFFFFu) << 9;
  entry->word1 = (key >> 23) | noise;
  // Pages on the zero, free and bad lists, and those of the nameless uses,
  // are mapped nowhere.
  const bool mapped = list != 0 && list != 1 && list != 5 && use <= 11;
  entry->virtualAddress = mapped ? PageVirtualAddress(list, use, Mix(page, 5)) : 0;
}

// What each Windows answers, as far as pfndb can tell them apart.
struct Generation {
  int bits;                 // the format: a 32-bit or a 64-bit system
  bool rangesV1, rangesV2;  // range versions taken
  uint32_t entryOffset;     // where the request's entries start
  uint32_t sourceVersion;   // the one private-source version taken
  // How pages name their owner: 0 by the key the record carries at 16
  // (Windows 7, 32-bit), 1 by process id, 2 by the process pointer's low
  // 48 bits.
  int keys;
  bool pointerIsId;  // 24H2 puts the process id in the pointer field too
};

const Generation& GenerationOf(const StandinMachine& machine) {
  const StandinWindows windows =
      machine.windows == kStandinWindowsEither ? machine.answering : machine.windows;
  static const Generation kGenerations[] = {
      {32, true, false, 96, 3, 0, false},    // 7
      {32, true, true, 104, 8, 1, false},    // 10, 32-bit
      {64, true, false, 0xB8, 3, 2, false},  // 7 x64
      {64, true, true, 0xC0, 8, 2, false},   // 10 1909 x64
      {64, false, true, 0xC0, 8, 1, true},   // 11 24H2 x64
  };
  return kGenerations[windows];
}

void Put32(unsigned char* at, uint32_t value) { memcpy(at, &value, 4); }
void Put64(unsigned char* at, uint64_t value) { memcpy(at, &value, 8); }
uint32_t Get32(const unsigned char* at) {
  uint32_t value;
  memcpy(&value, at, 4);
  return value;
}

// The kernel addresses of a process's object, from its key.
uint32_t Pointer32(uint32_t key) { return 0x80000000u + key * 0x40u; }
uint64_t Pointer64(uint32_t key) { return 0xFFFFA00000000000ull + uint64_t{key} * 0x80; }

// The key a private page of the process with key `owner` carries.
uint64_t PageKey(const Generation& generation, uint32_t owner) {
  return generation.keys == 2 ? Pointer64(owner) & Format64::kKeyMask : owner;
}

QueryStatus AnswerBasic(const StandinMachine& machine, void* buffer, uint32_t bufferLength,
                        uint32_t* returnLength) {
  if (machine.windows == kStandinWindowsEither)
    machine.answering = bufferLength == Format64::kBasicInformationBytes ? kStandinWindows1909x64
                                                                         : kStandinWindows7;
  const Generation& generation = GenerationOf(machine);
  const uint32_t bytes =
      generation.bits == 32 ? Format32::kBasicInformationBytes : Format64::kBasicInformationBytes;
  if (bufferLength != bytes) return kStatusInfoLengthMismatch;
  uint32_t lowest = UINT32_MAX, highest = 0, total = 0;
  for (const PhysicalRange& range : machine.ranges) {
    if (range.firstPage < lowest) lowest = range.firstPage;
    if (range.firstPage + range.pageCount - 1 > highest)
      highest = range.firstPage + range.pageCount - 1;
    total += range.pageCount;
  }
  unsigned char* out = static_cast<unsigned char*>(buffer);
  memset(out, 0, bytes);
  Put32(out + 4, 156250);  // timer resolution
  Put32(out + 8, 4096);    // page size
  Put32(out + 12, total);
  Put32(out + 16, lowest);
  Put32(out + 20, highest);
  Put32(out + 24, 0x10000);  // allocation granularity
  if (generation.bits == 32) {
    Put32(out + 28, 0x10000);
    Put32(out + 32, 0x7FFEFFFF);
    Put32(out + 36, 0x3);
    Put32(out + 40, 2);
  } else {
    Put64(out + 32, 0x10000);
    Put64(out + 40, 0x00007FFFFFFEFFFFull);
    Put64(out + 48, 0x3);
    out[56] = 2;
  }
  if (returnLength != nullptr) *returnLength = bytes;
  return kStatusSuccess;
}

QueryStatus AnswerRanges(const StandinMachine& machine, SuperfetchInformation* envelope,
                         uint32_t* returnLength) {
  const Generation& generation = GenerationOf(machine);
  const uint32_t rangeBytes = generation.bits == 32 ? 8 : 16;
  unsigned char* data = static_cast<unsigned char*>(envelope->data);
  // A probe without a buffer learns the size of the version the system
  // prefers.
  uint32_t version = generation.rangesV1 ? 1 : 2;
  if (data != nullptr && envelope->length >= 4) version = Get32(data);
  const uint32_t header =
      version == 2 ? (generation.bits == 32 ? Format32::kRangesV2Header : Format64::kRangesV2Header)
                   : 8;
  const uint32_t needed = static_cast<uint32_t>(header + machine.ranges.size() * rangeBytes);
  if (returnLength != nullptr) *returnLength = needed;
  if (data == nullptr || envelope->length < needed) return kStatusBufferTooSmall;
  if (!(version == 1 && generation.rangesV1) && !(version == 2 && generation.rangesV2))
    return kStatusInvalidParameter;
  if (machine.faults & kStandinFaultRanges) return kStatusInvalidParameter;
  if (version == 2) {
    Put32(data + 4, 0);  // flags
    Put32(data + 8, static_cast<uint32_t>(machine.ranges.size()));
  } else {
    Put32(data + 4, static_cast<uint32_t>(machine.ranges.size()));
  }
  for (size_t k = 0; k < machine.ranges.size(); ++k) {
    unsigned char* at = data + header + k * rangeBytes;
    const bool beyond = version == 2 && (machine.faults & kStandinFaultRangesBeyond) &&
                        k + 1 == machine.ranges.size();
    if (generation.bits == 32) {
      Put32(at, machine.ranges[k].firstPage);
      Put32(at + 4, machine.ranges[k].pageCount + beyond);
    } else if (beyond) {
      Put64(at, machine.ranges[k].firstPage);
      Put64(at + 8, machine.ranges[k].pageCount + 1);
    } else {
      Put64(at, machine.ranges[k].firstPage);
      Put64(at + 8, machine.ranges[k].pageCount);
    }
  }
  return kStatusSuccess;
}

// A 32-bit virtual address of the default shape, as a 64-bit system would
// put it: user space below 128 TiB, the kernel's at the top.
uint64_t VirtualAddress64(uint32_t address) {
  if (address == 0) return 0;
  return address >= 0x80000000u ? 0xFFFFF80000000000ull + address : 0x00007FF000000000ull + address;
}

QueryStatus AnswerPfn(const StandinMachine& machine, SuperfetchInformation* envelope,
                      uint32_t* returnLength) {
  const Generation& generation = GenerationOf(machine);
  unsigned char* data = static_cast<unsigned char*>(envelope->data);
  uint32_t offset = generation.entryOffset;
  // A system whose entries lie where no layout pfndb knows puts them, and
  // not a whole entry away either.
  if (machine.faults & kStandinFaultEntryLayout) offset -= 4;
  const uint32_t entryBytes = generation.bits == 32 ? 16 : 24;
  if (data == nullptr || envelope->length < offset) return kStatusInfoLengthMismatch;
  if (Get32(data) != 1) return kStatusInvalidParameter;
  uint64_t count = Get32(data + 8);
  if (generation.bits == 64) memcpy(&count, data + 8, 8);
  const uint64_t needed = offset + count * entryBytes;
  if (needed > envelope->length) return kStatusInfoLengthMismatch;
  const PickTables& picks = Picks();
  unsigned char* entries = data + offset;
  for (uint64_t j = 0; j < count; ++j) {
    unsigned char* at = entries + j * entryBytes;
    PfnEntry entry;
    entry.pageFrameNumber = Get32(at + 8);
    uint32_t owner;
    FillEntry(machine, picks, &entry, &owner);
    if (generation.bits == 32) {
      memcpy(at, &entry, sizeof(entry));
      continue;
    }
    // The same page on a 64-bit system: its owner's key in bits 9-56,
    // other state above.
    const uint64_t key = (entry.word0 & 0xF) == 0
                             ? PageKey(generation, owner)
                             : (entry.word0 >> 9 | uint64_t{entry.word1} << 23);
    const uint64_t word =
        (entry.word0 & 0x7F) | (key & Format64::kKeyMask) << 9 | uint64_t{entry.word1 >> 25} << 57;
    Put64(at, word);
    Put64(at + 16, VirtualAddress64(entry.virtualAddress));
  }
  if (returnLength != nullptr) *returnLength = static_cast<uint32_t>(needed);
  return kStatusSuccess;
}

QueryStatus AnswerPrivateSources(const StandinMachine& machine, SuperfetchInformation* envelope,
                                 uint32_t* returnLength) {
  const Generation& generation = GenerationOf(machine);
  // Header and record sizes of the version the system takes.
  uint32_t header = 8, record = 48;
  if (generation.bits == 32 && generation.sourceVersion == 8) header = 12, record = 64;
  if (generation.bits == 64) {
    header = generation.sourceVersion == 8 ? 16 : 8;
    record = generation.sourceVersion == 8 ? 96 : 64;
  }
  const uint32_t needed = static_cast<uint32_t>(header + machine.sources.size() * record);
  if (returnLength != nullptr) *returnLength = needed;
  unsigned char* data = static_cast<unsigned char*>(envelope->data);
  if (data == nullptr || envelope->length < 8) return kStatusBufferTooSmall;
  if (Get32(data) != generation.sourceVersion) return kStatusInvalidParameter;
  // Refused in a way of its own, so that which refusal is told shows.
  if (machine.faults & kStandinFaultSources) return static_cast<QueryStatus>(0xC0000002u);
  if (envelope->length < needed) return kStatusBufferTooSmall;
  memset(data, 0, needed);
  Put32(data, generation.sourceVersion);
  Put32(data + (header == 8 ? 4 : 8), static_cast<uint32_t>(machine.sources.size()));
  for (size_t r = 0; r < machine.sources.size(); ++r) {
    const Source& source = machine.sources[r];
    unsigned char* at = data + header + r * record;
    const uint32_t size = source.weight * 0x1a + 0x10;
    const size_t nameBytes =
        source.name.size() < kImageNameBytes ? source.name.size() : kImageNameBytes;
    Put32(at, source.type);
    uint32_t nameAt;
    if (generation.bits == 32) {
      // Windows 7's records carry no process id pfndb reads; the key at 16
      // is what its pages name.
      if (generation.keys != 0) Put32(at + 4, source.key);
      Put32(at + 16, generation.keys == 0 ? source.key : Pointer32(source.key));
      Put32(at + 24, size);
      nameAt = 32;
    } else if (generation.sourceVersion == 3) {
      Put64(at + 8, source.key);
      Put64(at + 24, Pointer64(source.key));
      Put32(at + 36, size);
      nameAt = 44;
    } else {
      Put32(at + 4, source.key);
      Put64(at + 16, uint64_t{source.key} * 0x9E3779B97F4A7C15ull);  // the image's hash
      Put64(at + 24, generation.pointerIsId ? source.key : Pointer64(source.key));
      Put64(at + 40, size);
      nameAt = 52;
    }
    memcpy(at + nameAt, source.name.data(), nameBytes);
  }
  return kStatusSuccess;
}

const StandinMachine* g_selected = nullptr;

}  // namespace

const StandinMachine* StandinDefaultMachine() {
  static StandinMachine* machine = [] {
    StandinMachine* built = new StandinMachine;
    built->ranges.assign(std::begin(kDefaultRanges), std::end(kDefaultRanges));
    built->sources.assign(std::begin(kDefaultSources), std::end(kDefaultSources));
    BuildOwners(built);
    return built;
  }();
  return machine;
}

StandinMachine* StandinCreateMachine(uint32_t pages, int processes) {
  if (pages == 0) return nullptr;
  StandinMachine* machine = new StandinMachine;
  // The same shape as the default machine, scaled: a little low memory, most
  // below the 3 GiB hole, the rest above 4 GiB.
  uint32_t low = pages < 0x9e ? pages : 0x9e;
  uint32_t rest = pages - low;
  uint32_t below = rest / 8 * 5;
  if (below > 0xBFF00 - 0x100) below = 0xBFF00 - 0x100;
  uint32_t middle = (rest - below) / 16;
  // The middle range must end below 4 GiB, where the last one starts: on a
  // large machine overlapping ranges would name pages twice and outgrow the
  // request sized from the highest page.
  if (middle > 0x100000 - 0xC0000) middle = 0x100000 - 0xC0000;
  uint32_t above = rest - below - middle;
  const PhysicalRange candidate[] = {
      {0x1, low}, {0x100, below}, {0xC0000, middle}, {0x100000, above}};
  for (const PhysicalRange& range : candidate) {
    if (range.pageCount == 0) continue;
    if (uint64_t{range.firstPage} + range.pageCount > (uint64_t{1} << 32)) {
      delete machine;
      return nullptr;
    }
    machine->ranges.push_back(range);
  }
  const size_t known = sizeof(kDefaultSources) / sizeof(kDefaultSources[0]);
  for (int i = 0; i < processes; ++i) {
    Source source = kDefaultSources[i % known];
    source.type = kPrivateSourceProcess;
    source.key = 0x1000 + 4 * static_cast<uint32_t>(i);
    if (source.weight == 0) source.weight = 1;
    machine->sources.push_back(source);
  }
  if (machine->sources.empty())
    machine->sources.push_back({kPrivateSourceProcess, 0x4, "System", 1});
  BuildOwners(machine);
  return machine;
}

void StandinDestroyMachine(StandinMachine* machine) { delete machine; }

void StandinSetLater(StandinMachine* machine, bool later) { machine->later = later; }

void StandinSetWindows(StandinMachine* machine, StandinWindows windows) {
  machine->windows = windows;
}

void StandinSetFaults(StandinMachine* machine, uint32_t faults) { machine->faults = faults; }

void StandinSetEvenOwners(StandinMachine* machine) {
  for (Source& source : machine->sources)
    if (source.type == kPrivateSourceProcess) source.weight = 1;
  BuildOwners(machine);
}

namespace {

// Decimal digits only, at most `most`; no sign, no spaces, no default.
bool ParseCount(const char* text, uint64_t most, uint64_t* value) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t result = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(*c - '0');
    if (result > most) return false;
  }
  *value = result;
  return true;
}

uint32_t DefaultPageCount() {
  uint32_t pages = 0;
  for (const PhysicalRange& range : kDefaultRanges) pages += range.pageCount;
  return pages;
}

int DefaultProcessCount() {
  int processes = 0;
  for (const Source& source : kDefaultSources) processes += source.type == kPrivateSourceProcess;
  return processes;
}

const uint64_t kMostProcesses = 65536;

}  // namespace

int StandinWindowsFromName(const char* name, StandinWindows* windows) {
  static const char* const kNames[] = {"7", "10", "x64-7", "x64-1909", "x64-24h2", "either"};
  for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) {
    if (strcmp(name, kNames[i]) == 0) {
      *windows = static_cast<StandinWindows>(i);
      return 0;
    }
  }
  return -1;
}

int StandinMachineFromSettings(const char* pages, const char* processes, const char* later,
                               const char* owners, const StandinMachine** machine,
                               std::string* reason) {
  return StandinMachineFromSettings(pages, processes, later, owners, nullptr, machine, reason);
}

int StandinMachineFromSettings(const char* pages, const char* processes, const char* later,
                               const char* owners, const char* windowsName,
                               const StandinMachine** machine, std::string* reason) {
  *machine = nullptr;
  StandinWindows windows = kStandinWindowsEither;
  if (windowsName != nullptr && StandinWindowsFromName(windowsName, &windows) != 0) {
    *reason = std::string("PFNDB_STANDIN_WINDOWS=") + windowsName +
              " is not 7, 10, x64-7, x64-1909, x64-24h2 or either";
    return -1;
  }
  uint64_t pageCount = DefaultPageCount();
  uint64_t processCount = static_cast<uint64_t>(DefaultProcessCount());
  uint64_t laterFlag = 0;
  if (pages != nullptr && !ParseCount(pages, UINT32_MAX, &pageCount)) {
    *reason = std::string("PFNDB_STANDIN_PAGES=") + pages + " is not a page count from 1 to " +
              std::to_string(UINT32_MAX);
    return -1;
  }
  if (processes != nullptr && !ParseCount(processes, kMostProcesses, &processCount)) {
    *reason = std::string("PFNDB_STANDIN_PROCESSES=") + processes +
              " is not a process count from 0 to " + std::to_string(kMostProcesses);
    return -1;
  }
  if (later != nullptr && !ParseCount(later, 1, &laterFlag)) {
    *reason = std::string("PFNDB_STANDIN_LATER=") + later + " is not 0 or 1";
    return -1;
  }
  bool even = false;
  if (owners != nullptr) {
    even = strcmp(owners, "even") == 0;
    if (!even && strcmp(owners, "weighted") != 0) {
      *reason = std::string("PFNDB_STANDIN_OWNERS=") + owners + " is not weighted or even";
      return -1;
    }
  }
  if (pages == nullptr && processes == nullptr && laterFlag == 0 && !even &&
      windows == kStandinWindowsEither) {
    *machine = StandinDefaultMachine();
    return 0;
  }
  StandinMachine* made = nullptr;
  if (pages == nullptr && processes == nullptr) {
    // The default machine itself, a while on or with its owners evened out.
    made = new StandinMachine(*StandinDefaultMachine());
  } else {
    made = StandinCreateMachine(static_cast<uint32_t>(pageCount), static_cast<int>(processCount));
    if (made == nullptr) {
      *reason = std::string("PFNDB_STANDIN_PAGES=") + (pages != nullptr ? pages : "") +
                " is 0, or more pages than 32-bit page numbers reach";
      return -1;
    }
  }
  StandinSetLater(made, laterFlag == 1);
  if (even) StandinSetEvenOwners(made);
  made->windows = windows;
  *machine = made;
  return 0;
}

QueryStatus StandinQuery(const StandinMachine* machine, uint32_t infoClass, void* buffer,
                         uint32_t bufferLength, uint32_t* returnLength) {
  if (infoClass == kSystemBasicInformation)
    return AnswerBasic(*machine, buffer, bufferLength, returnLength);
  if (infoClass != kSystemSuperfetchInformation) return kStatusInvalidInfoClass;
  if (buffer == nullptr || bufferLength != sizeof(SuperfetchInformation))
    return kStatusInfoLengthMismatch;
  SuperfetchInformation* envelope = static_cast<SuperfetchInformation*>(buffer);
  if (envelope->version != kSuperfetchVersion || envelope->magic != kSuperfetchMagic)
    return kStatusInvalidParameter;
  switch (envelope->subClass) {
    case kSuperfetchMemoryRangesQuery: return AnswerRanges(*machine, envelope, returnLength);
    case kSuperfetchPfnQuery: return AnswerPfn(*machine, envelope, returnLength);
    case kSuperfetchPrivateSourceQuery:
      return AnswerPrivateSources(*machine, envelope, returnLength);
    default: return kStatusInvalidInfoClass;
  }
}

void StandinSelectMachine(const StandinMachine* machine) { g_selected = machine; }

QueryStatus PFNDB_NTAPI StandinNtQuerySystemInformation(uint32_t infoClass, void* buffer,
                                                        uint32_t bufferLength,
                                                        uint32_t* returnLength) {
  const StandinMachine* machine = g_selected != nullptr ? g_selected : StandinDefaultMachine();
  return StandinQuery(machine, infoClass, buffer, bufferLength, returnLength);
}

QueryStatus StandinModuleQuery(uint32_t infoClass, void* buffer, uint32_t bufferLength,
                               uint32_t* returnLength) {
  static const StandinMachine* const machine = [] {
    const StandinMachine* chosen = nullptr;
    std::string reason;
    if (StandinMachineFromSettings(getenv("PFNDB_STANDIN_PAGES"), getenv("PFNDB_STANDIN_PROCESSES"),
                                   getenv("PFNDB_STANDIN_LATER"), getenv("PFNDB_STANDIN_OWNERS"),
                                   getenv("PFNDB_STANDIN_WINDOWS"), &chosen, &reason) != 0)
      fprintf(stderr, "ntdll stand-in: %s\n", reason.c_str());
    // PFNDB_STANDIN_FAULTS: StandinFault bits, for the programs' failures.
    const char* faults = getenv("PFNDB_STANDIN_FAULTS");
    uint64_t bits = 0;
    if (chosen != nullptr && faults != nullptr) {
      if (!ParseCount(faults, 15, &bits)) {
        fprintf(stderr, "ntdll stand-in: PFNDB_STANDIN_FAULTS=%s is not a number from 0 to 15\n",
                faults);
        return static_cast<const StandinMachine*>(nullptr);
      }
      StandinMachine* faulty = new StandinMachine(*chosen);
      faulty->faults = static_cast<uint32_t>(bits);
      chosen = faulty;
    }
    return chosen;
  }();
  if (machine == nullptr) {
    if (returnLength != nullptr) *returnLength = 0;
    return static_cast<QueryStatus>(0xC0000022u);  // STATUS_ACCESS_DENIED
  }
  return StandinQuery(machine, infoClass, buffer, bufferLength, returnLength);
}
