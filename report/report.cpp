#include "report/report.h"

#include <cpuid.h>
#include <emmintrin.h>

#include <cstring>

#if defined(PFNDB_EXPECT_NO_SSE2) && defined(__SSE2__)
#error "this build compiles the report as the 32-bit exe does, without SSE2 as its baseline"
#endif

#include "native/console.h"
#include "native/heap.h"
#include "native/line_end.h"

// Digits and entry words are assembled in machine words, in the order the
// little-endian formats lie in memory.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "report.cpp assembles its lines for a little-endian machine"
#endif

namespace {

// A line is written field by field into the console buffer without
// formatted output: millions of lines make every instruction per line count,
// and so does every branch the processor cannot predict. Which pages are
// process-private, and which of those have a named owner, is as good as
// random, so the line is built the same way for every page: fixed-size
// copies from prepared texts, with only the advance depending on the page.

// Longest "<list> <use> " text: two names of at most 15 characters, a space
// after each.
const size_t kFieldsWidth = 32;
// Owner names up to this long are copied in one fixed-size piece; longer
// ones (many processes under one key) take a slower path.
const uint32_t kShortNamesWidth = 32;
// What follows the names: the virtual address (1 + 16), a space and the
// line end.
const size_t kLineTail = 18 + kLineEndLength;
// The tail's last store, which also lays the next line's leading zeros,
// reaches this far past the names.
const size_t kAfterNamesReach = 25;
// Address (16 + 1), the two names, short owner names and the tail.
const size_t kShortLine = 17 + kFieldsWidth + kShortNamesWidth + kLineTail;
// How far past its start a line with short names may store.
const size_t kShortLineReach = kShortLine - kLineTail + kAfterNamesReach;

// "%.15s " of the list name, then "%.15s " of the use name or "No Value",
// indexed by the low seven bits of word 0 (list << 4 | use).
struct ListUseTexts {
  char text[128][kFieldsWidth];
  uint8_t length[128];
};

void BuildListUseTexts(ListUseTexts* table) {
  for (unsigned list = 0; list < kListCount; ++list) {
    for (unsigned use = 0; use < 16; ++use) {
      char* text = table->text[list << 4 | use];
      memset(text, ' ', kFieldsWidth);
      size_t n = NarrowName(PageListNames[list], 15, text);
      text[n++] = ' ';
      if (use >= kNoValueUse) {
        memcpy(text + n, kNoValueName, sizeof(kNoValueName) - 1);
        n += sizeof(kNoValueName) - 1;
      } else {
        n += NarrowName(PageUseNames[use], 15, text + n);
        text[n++] = ' ';
      }
      table->length[list << 4 | use] = static_cast<uint8_t>(n);
    }
  }
}

// The hex digits of both numbers of an entry, the page number's in lower
// case and the virtual address's in upper case, each most significant
// first. Every nibble is spread into a byte of its own and turned into its
// digit by arithmetic: no table to load from and no branch. Two ways, each a
// type the line loop is instantiated with: SSE2 where the processor has it,
// else 32-bit integers.

struct Sse2Digits {
  // Bytes 0-7 the virtual address's digits, bytes 8-15 the page number's.
  typedef __m128i Value;

  // numbers: the page number in the low half, the virtual address in the
  // high. The digits come back through a pointer, as a vector passed by
  // value would take another calling convention in code built without SSE2.
  __attribute__((target("sse2"))) static void Of(uint64_t numbers, Value* digits) {
    // Swapping each number's bytes puts its most significant byte first;
    // the virtual address goes before the page number. A 64-bit build moves
    // the swapped word into the register whole; a 32-bit one moves each half
    // on its own rather than load as one what it just stored as two, which
    // processors forward from their stores badly.
    __m128i bytes;
    if (sizeof(void*) == 8) {
      const uint64_t swapped = __builtin_bswap64(numbers);
      bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&swapped));
    } else {
      bytes =
          _mm_unpacklo_epi32(_mm_cvtsi32_si128(__builtin_bswap32(numbers >> 32)),
                             _mm_cvtsi32_si128(__builtin_bswap32(static_cast<uint32_t>(numbers))));
    }
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i nibbles =
        _mm_unpacklo_epi8(_mm_and_si128(_mm_srli_epi16(bytes, 4), low), _mm_and_si128(bytes, low));
    // Past '9' the letters start 7 ('A') or 39 ('a') characters further on.
    const __m128i letterSteps =
        _mm_set_epi8(39, 39, 39, 39, 39, 39, 39, 39, 7, 7, 7, 7, 7, 7, 7, 7);
    const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), letterSteps);
    *digits = _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
  }

  __attribute__((target("sse2"))) static void PutPage(char* out, const Value& digits) {
    _mm_storeh_pi(reinterpret_cast<__m64*>(out), _mm_castsi128_ps(digits));
  }

  __attribute__((target("sse2"))) static void PutAddress(char* out, const Value& digits) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), digits);
  }
};

// The same in 32-bit integers, four digits at a time: the processors
// without SSE2 are 32-bit ones, on which every 64-bit step takes two
// instructions or more (the report's loop took about a third less time for
// it in pfndb.exe under Wine).
struct PlainDigits {
  struct Value {
    uint32_t page[2];
    uint32_t address[2];
  };

  static uint32_t Four(uint32_t value, uint32_t letterStep) {
    // The 16 bits' nibbles a b c d become the bytes a, b, c, d in memory
    // order.
    uint32_t x = (value & 0xFF) << 16 | value >> 8;
    x = (x >> 4 & 0x000F000Fu) | (x & 0x000F000Fu) << 8;
    const uint32_t letters = (x + 0x06060606u) >> 4 & 0x01010101u;
    return x + 0x30303030u + letters * letterStep;
  }

  static void Of(uint64_t numbers, Value* digits) {
    const uint32_t page = static_cast<uint32_t>(numbers);
    const uint32_t address = static_cast<uint32_t>(numbers >> 32);
    *digits = {{Four(page >> 16, 39), Four(page & 0xFFFF, 39)},
               {Four(address >> 16, 7), Four(address & 0xFFFF, 7)}};
  }

  static void PutPage(char* out, const Value& digits) { memcpy(out, digits.page, 8); }
  static void PutAddress(char* out, const Value& digits) { memcpy(out, digits.address, 8); }
};

// The same for the 64-bit format, whose address and virtual address are
// printed with all 16 digits: the digits of the address (the page number
// times 4096) in lower case, those of the virtual address in upper case.
struct Sse2Digits64 {
  struct Value {
    __m128i address;
    __m128i virtualAddress;
  };

  __attribute__((target("sse2"))) static void Of(const Format64::PfnEntry& entry, Value* digits) {
    const uint64_t numbers[2] = {__builtin_bswap64(entry.pageFrameNumber << 12),
                                 __builtin_bswap64(entry.virtualAddress)};
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(numbers));
    const __m128i low = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low);
    const __m128i lowNibbles = _mm_and_si128(bytes, low);
    const __m128i address = _mm_unpacklo_epi8(high, lowNibbles);
    const __m128i va = _mm_unpackhi_epi8(high, lowNibbles);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero = _mm_set1_epi8('0');
    digits->address = _mm_add_epi8(_mm_add_epi8(address, zero),
                                   _mm_and_si128(_mm_cmpgt_epi8(address, nine), _mm_set1_epi8(39)));
    digits->virtualAddress = _mm_add_epi8(
        _mm_add_epi8(va, zero), _mm_and_si128(_mm_cmpgt_epi8(va, nine), _mm_set1_epi8(7)));
  }

  // "%.16x " of the address.
  __attribute__((target("sse2"))) static void PutAddressField(char* out, const Value& digits) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digits.address);
    out[16] = ' ';
  }

  // " %.16X" of the virtual address.
  __attribute__((target("sse2"))) static void PutVirtualAddressField(char* out,
                                                                     const Value& digits) {
    out[0] = ' ';
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), digits.virtualAddress);
  }
};

struct PlainDigits64 {
  struct Value {
    uint32_t address[4];
    uint32_t virtualAddress[4];
  };

  static void Sixteen(uint64_t value, uint32_t letterStep, uint32_t* out) {
    for (int i = 0; i < 4; ++i)
      out[i] =
          PlainDigits::Four(static_cast<uint32_t>(value >> (48 - 16 * i)) & 0xFFFF, letterStep);
  }

  static void Of(const Format64::PfnEntry& entry, Value* digits) {
    Sixteen(entry.pageFrameNumber << 12, 39, digits->address);
    Sixteen(entry.virtualAddress, 7, digits->virtualAddress);
  }

  static void PutAddressField(char* out, const Value& digits) {
    memcpy(out, digits.address, 16);
    out[16] = ' ';
  }
  static void PutVirtualAddressField(char* out, const Value& digits) {
    out[0] = ' ';
    memcpy(out + 1, digits.virtualAddress, 16);
  }
};

// The 32-bit format's two numbers read together, as the line loop wants
// them: the page number in the low half, the virtual address in the high.
template <typename Digits>
struct Digits32 {
  typedef typename Digits::Value Value;

  static void Of(const Format32::PfnEntry& entry, Value* digits) {
    uint64_t numbers;
    memcpy(&numbers, &entry.pageFrameNumber, 8);
    Digits::Of(numbers, digits);
  }

  // The address is the page number times 4096: never more than 44 bits,
  // so five zeros (laid by the line before), the page number's eight
  // digits, then three zeros.
  static void PutAddressField(char* out, const Value& digits) {
    Digits::PutPage(out + 5, digits);
    memcpy(out + 13, "000 ", 4);
  }

  // " 00000000" and the virtual address's eight digits.
  static void PutVirtualAddressField(char* out, const Value& digits) {
    memcpy(out, " 0000000000000000", 16);
    Digits::PutAddress(out + 9, digits);
  }
};

// Each format's two ways of making digits, and its entry's words read in
// one piece.
template <typename F>
struct LinesOf;
template <>
struct LinesOf<Format32> {
  typedef Digits32<Sse2Digits> Sse2;
  typedef Digits32<PlainDigits> Plain;
  static uint64_t Words(const Format32::PfnEntry& entry) {
    // Two loads for the whole entry: words 0 and 1 together hold the key
    // in their bits 9 to 40.
    uint64_t words;
    memcpy(&words, &entry.word0, 8);
    return words;
  }
};
template <>
struct LinesOf<Format64> {
  typedef Sse2Digits64 Sse2;
  typedef PlainDigits64 Plain;
  static uint64_t Words(const Format64::PfnEntry& entry) { return entry.word; }
};
typedef LinesOf<Format> Lines;

// Chosen once, as the program starts: 32-bit processors before the Pentium 4
// have no SSE2, and the exe is built to run on them.
bool ProcessorHasSse2() {
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
}
const bool g_processorHasSse2 = ProcessorHasSse2();
bool g_plainDigitsForced = false;

inline void Store8(char* out, uint64_t bytes) { memcpy(out, &bytes, 8); }

// Eight characters as they lie in memory.
inline uint64_t Text8(const char (&text)[9]) {
  uint64_t bytes;
  memcpy(&bytes, text, 8);
  return bytes;
}

// " ", the line end, and zeros after it: stored last on each line, it lays
// the next line's five leading zeros too.
constexpr uint64_t LineEndWord() {
  char bytes[8] = {' '};
  size_t n = 1;
  for (size_t i = 0; i < kLineEndLength; ++i) bytes[n++] = kLineEnd[i];
  while (n < 8) bytes[n++] = '0';
  uint64_t word = 0;
  for (size_t i = 8; i-- > 0;) word = word << 8 | static_cast<unsigned char>(bytes[i]);
  return word;
}
static_assert(kLineEndLength + 6 <= 8, "the line end word holds five zeros after the line end");

inline uint32_t SlotOf(ProcessKeyValue key, uint32_t multiplier, uint32_t shift) {
  return FoldKey(key) * multiplier >> shift;
}

// Odd multipliers to try, the golden ratio's first.
uint32_t Multiplier(uint32_t attempt) {
  uint32_t x = attempt * 0x9E3779B9u + 0x7F4A7C15u;
  x = (x ^ x >> 16) * 0x85EBCA6Bu;
  x = (x ^ x >> 13) * 0xC2B2AE35u;
  return attempt == 0 ? 0x9E3779B1u : (x ^ x >> 16) | 1u;
}

// Slot bits at most: 512 KiB of slots; past that many processes, more of
// them share slots.
const uint32_t kMostSlotBits = 16;

uint32_t SlotBitsFor(uint32_t groupCount) {
  // At most a quarter full.
  uint32_t bits = 4;
  while ((uint64_t{1} << bits) < uint64_t{4} * groupCount && bits < kMostSlotBits) ++bits;
  return bits;
}

// Picks the table size and multiplier that leave the fewest keys sharing a
// slot, stopping at the first that leaves none; seen has room for the
// largest table tried. The work is bounded, so a long list of processes
// only gets fewer attempts.
void ChooseHash(const NameIndex::Group* groups, uint32_t count, uint32_t* seen, NameIndex* index) {
  const uint32_t bits = SlotBitsFor(count);
  const uint32_t attempts = (1u << 18) / (count + 1);
  const uint32_t perSize = attempts < 4 ? 4 : attempts > 256 ? 256 : attempts;
  uint32_t bestShared = UINT32_MAX;
  for (uint32_t extra = 0; extra < 3 && bits + extra <= kMostSlotBits && bestShared != 0; ++extra) {
    const uint32_t size = uint32_t{1} << (bits + extra);
    memset(seen, 0, size * sizeof(uint32_t));
    for (uint32_t attempt = 0; attempt < perSize && bestShared != 0; ++attempt) {
      // A mark per attempt saves clearing the table between attempts.
      const uint32_t mark = attempt + 1;
      const uint32_t multiplier = Multiplier(attempt);
      const uint32_t shift = 32 - (bits + extra);
      uint32_t shared = 0;
      for (uint32_t g = 0; g < count && shared < bestShared; ++g) {
        uint32_t& slot = seen[SlotOf(groups[g].key, multiplier, shift)];
        shared += slot == mark;
        slot = mark;
      }
      if (shared < bestShared) {
        bestShared = shared;
        index->multiplier = multiplier;
        index->shift = shift;
      }
    }
  }
}

// The group of key, or null when no record has it.
const NameIndex::Group* FindGroup(const NameIndex& index, ProcessKeyValue key) {
  const uint32_t number = index.groupOfKey.entries[OpenFind(index.groupOfKey, key)].value;
  return number != 0 ? &index.groups[number - 1] : nullptr;
}

size_t NameLength(const ProcessNameRecord* record) {
  // At most 12 bytes, fewer when a NUL comes first; the bytes are kept as
  // they are, as the "C" locale converts them.
  size_t length = 0;
  while (length < kImageNameBytes && record->imageName[length] != '\0') ++length;
  return length;
}

// A name as printed, each '\n' in it as the line end, as a text stream would
// write it (at most kImageNameBytes * kLineEndLength bytes).
size_t ShownNameLength(const ProcessNameRecord* record) {
  const size_t length = NameLength(record);
  size_t shown = length;
  for (size_t i = 0; kLineEndLength > 1 && i < length; ++i)
    shown += record->imageName[i] == '\n' ? kLineEndLength - 1 : 0;
  return shown;
}

// Puts the name as printed at out; returns its length.
size_t PutShownName(char* out, const ProcessNameRecord* record) {
  const size_t length = NameLength(record);
  if (kLineEndLength == 1) {
    memcpy(out, record->imageName, length);
    return length;
  }
  size_t n = 0;
  for (size_t i = 0; i < length; ++i) {
    if (record->imageName[i] == '\n') out[n++] = kLineEnd[0];
    out[n++] = record->imageName[i];
  }
  return n;
}

// No process, or no index: a one-slot table that every key misses, or
// that sends every key to the slow path.
const NameIndex::Slot kNoNames[1] = {{0, 0}};
const NameIndex::Slot kSearchTheList[1] = {{0, NameIndex::kUncommon}};
const char kBlankNames[kShortNamesWidth + 1] = "                                ";

void StartIndex(const ProcessNameList* list, const NameIndex::Slot* slots, NameIndex* index) {
  index->slots = slots;
  index->multiplier = 0;
  index->shift = 31;
  index->text = kBlankNames;
  index->groups = nullptr;
  index->groupOfKey = OpenTable<ProcessKeyValue>();
  index->list = list;
  index->blocks[0] = index->blocks[1] = nullptr;
}

void ReleaseIndex(NameIndex* index) {
  RuntimeFree(index->blocks[0]);
  RuntimeFree(index->blocks[1]);
  StartIndex(index->list, kSearchTheList, index);
}

// Builds the index of list's names; when memory for it cannot be had, leaves
// one that searches the list. Either way the lines come out the same.
// Inlined into the report as when the report was its only caller: its loop
// then keeps the code it was measured with.
__attribute__((always_inline)) inline void BuildIndex(const ProcessNameList* list,
                                                      NameIndex* index) {
  StartIndex(list, kNoNames, index);
  uint64_t records = 0;
  for (const ProcessNameLinks* l = list->head.next; l != &list->head; l = l->next) ++records;
  if (records == 0) return;
  StartIndex(list, kSearchTheList, index);

  // Each name as " name " (at most 14 bytes, or more with line ends in it).
  const uint32_t groupBits = OpenTableBits(records, 2, 1, 31);
  const uint64_t tableBytes = OpenTableBytes<ProcessKeyValue>(groupBits);
  const uint64_t groupBytes = records * sizeof(NameIndex::Group);
  const uint64_t textBytes = records * (kImageNameBytes * kLineEndLength + 2) + kShortNamesWidth;
  const uint64_t firstBytes = tableBytes + groupBytes + textBytes;
  // Offsets into the text are 32-bit.
  if ((uint64_t{1} << groupBits) / 2 < records || firstBytes > SIZE_MAX || textBytes > UINT32_MAX)
    return;
  unsigned char* first = static_cast<unsigned char*>(
      RuntimeCalloc(static_cast<size_t>(firstBytes), kHeapSiteNameIndex));
  if (first == nullptr) return;
  index->blocks[0] = first;
  OpenTable<ProcessKeyValue> groupOfKey;
  OpenTableStart(&groupOfKey, reinterpret_cast<OpenEntry<ProcessKeyValue>*>(first), groupBits);
  NameIndex::Group* groups = reinterpret_cast<NameIndex::Group*>(first + tableBytes);
  char* text = reinterpret_cast<char*>(first + tableBytes + groupBytes);

  // Each key's texts take one run, in the order its first record comes;
  // within the run, its records' names in list order.
  uint32_t keyCount = 0;
  for (const ProcessNameLinks* l = list->head.next; l != &list->head; l = l->next) {
    const ProcessNameRecord* record = ProcessNameRecordOf(l);
    const uint32_t at = OpenFind(groupOfKey, record->key);
    if (groupOfKey.entries[at].value == 0) {
      // Never refused: the table has room for twice the records.
      OpenPut(&groupOfKey, at, record->key, keyCount + 1);
      groups[keyCount++].key = record->key;
    }
    groups[groupOfKey.entries[at].value - 1].length +=
        static_cast<uint32_t>(ShownNameLength(record) + 2);
  }
  uint32_t used = 0;
  for (uint32_t k = 0; k < keyCount; ++k) {
    groups[k].offset = used;
    used += groups[k].length;
    groups[k].length = 0;
  }
  for (const ProcessNameLinks* l = list->head.next; l != &list->head; l = l->next) {
    const ProcessNameRecord* record = ProcessNameRecordOf(l);
    const uint32_t number = groupOfKey.entries[OpenFind(groupOfKey, record->key)].value;
    NameIndex::Group* group = &groups[number - 1];
    char* at = text + group->offset + group->length;
    at[0] = ' ';
    const size_t length = PutShownName(at + 1, record);
    at[length + 1] = ' ';
    group->length += static_cast<uint32_t>(length + 2);
  }
  memset(text + used, ' ', kShortNamesWidth);

  // The largest table tried holds the marks while the hash is chosen.
  const uint32_t mostBits = SlotBitsFor(keyCount) + 2;
  const size_t slotRoom = sizeof(NameIndex::Slot)
                          << (mostBits < kMostSlotBits ? mostBits : kMostSlotBits);
  NameIndex::Slot* slots =
      static_cast<NameIndex::Slot*>(RuntimeMalloc(slotRoom, kHeapSiteNameIndex));
  if (slots == nullptr) {
    ReleaseIndex(index);
    return;
  }
  index->blocks[1] = slots;
  ChooseHash(groups, keyCount, reinterpret_cast<uint32_t*>(slots), index);
  const size_t slotCount = size_t{1} << (32 - index->shift);
  memset(slots, 0, slotCount * sizeof(NameIndex::Slot));
  for (uint32_t k = 0; k < keyCount; ++k) {
    const NameIndex::Group* group = &groups[k];
    NameIndex::Slot& slot = slots[SlotOf(group->key, index->multiplier, index->shift)];
    bool common =
        slot.names == 0 && group->length <= kShortNamesWidth && group->offset < (1u << 24);
    slot.key = group->key;
    slot.names = common ? group->offset << 8 | group->length : NameIndex::kUncommon;
  }
  index->slots = slots;
  index->text = text;
  index->groups = groups;
  index->groupOfKey = groupOfKey;
}

}  // namespace

void BuildNameIndex(const ProcessNameList* list, NameIndex* index) { BuildIndex(list, index); }

void ReleaseNameIndex(NameIndex* index) { ReleaseIndex(index); }

int FindNames(const NameIndex& index, ProcessKeyValue key, const char** names, uint32_t* length) {
  if (ProcessNameListEmpty(index.list)) return 0;
  if (index.groups == nullptr) return -1;
  const NameIndex::Group* found = FindGroup(index, key);
  if (found == nullptr) return 0;
  *names = index.text + found->offset;
  *length = found->length;
  return 1;
}

namespace {

// The console span the report is filling: [out, end), written up to p.
struct Span {
  char* out;
  char* end;
  char* p;
};

// A fresh span, with the leading zeros of the first line's address laid as
// the line before would have laid them.
void TakeSpan(Span* span) {
  span->out = span->p = ConsoleReserve(kConsoleMaxReserve);
  span->end = span->out + kConsoleMaxReserve;
  Store8(span->p, Text8("00000000"));
}

void HandOver(Span* span) { ConsoleCommit(span->p - span->out); }

// Makes room for at least `bytes` more in the span, handing over what it
// holds when it has less.
void EnsureRoom(Span* span, size_t bytes) {
  if (static_cast<size_t>(span->end - span->p) >= bytes) return;
  HandOver(span);
  span->out = span->p = ConsoleReserve(kConsoleMaxReserve);
  span->end = span->out + kConsoleMaxReserve;
}

// The names of a page landing on an uncommon slot, found in the groups or,
// without them, by a search of the list, put at span->p with room left after
// them for the rest of the line. Kept out of the loop, whose registers it
// would otherwise take.
__attribute__((noinline)) void PutUncommonNames(const NameIndex& index, const PfnEntry& entry,
                                                Span* span) {
  if (PageUseIndex(entry) != 0) return;
  const ProcessKeyValue key = ProcessKey(entry);
  if (index.groups == nullptr) {
    const ProcessNameList* list = index.list;
    for (const ProcessNameLinks* l = list->head.next; l != &list->head; l = l->next) {
      const ProcessNameRecord* record = ProcessNameRecordOf(l);
      if (record->key != key) continue;
      EnsureRoom(span, ShownNameLength(record) + 2);
      span->p[0] = ' ';
      const size_t length = PutShownName(span->p + 1, record);
      span->p[length + 1] = ' ';
      span->p += length + 2;
    }
    // The rest of the line.
    EnsureRoom(span, kAfterNamesReach);
    return;
  }
  const NameIndex::Group* found = FindGroup(index, key);
  if (found == nullptr) return;
  const char* names = index.text + found->offset;
  if (static_cast<size_t>(span->end - span->p) >= found->length + kAfterNamesReach) {
    memcpy(span->p, names, found->length);
    span->p += found->length;
    return;
  }
  // More names than the span holds: hand them over directly.
  HandOver(span);
  ConsoleWrite(names, found->length);
  span->out = span->p = ConsoleReserve(kConsoleMaxReserve);
  span->end = span->out + kConsoleMaxReserve;
}

// The lines of the entries [entry, last), with Digits' digits. Inlined into
// one function per way of making digits, so that the SSE2 one is compiled
// for SSE2 and the other is not.
template <typename Digits>
__attribute__((always_inline)) inline void PutLines(const ListUseTexts& listUse,
                                                    const NameIndex& names, const PfnEntry* entry,
                                                    const PfnEntry* const last) {
  const NameIndex::Slot* const slots = names.slots;
  const uint32_t multiplier = names.multiplier;
  const uint32_t shift = names.shift;
  const char* const nameText = names.text;

  Span span;
  TakeSpan(&span);
  while (entry != last) {
    if (static_cast<size_t>(span.end - span.p) < kShortLineReach) {
      HandOver(&span);
      TakeSpan(&span);
    }
    // Lines that surely fit are written without asking again; a line with
    // uncommon names ends the batch.
    const size_t fit = (span.end - span.p - (kShortLineReach - kShortLine)) / kShortLine;
    const PfnEntry* batchEnd = static_cast<size_t>(last - entry) < fit ? last : entry + fit;
    char* p = span.p;
    for (; entry != batchEnd; ++entry) {
      const uint64_t words = Lines::Words(*entry);
      const ProcessKeyValue key = Format::KeyOfWords(words);
      const uint32_t use = static_cast<uint32_t>(words) & 0xF;

      // Every page is looked up; a page of another use (whose key bits are
      // other state) or an unknown key gets a length of 0, selected rather
      // than branched on.
      const NameIndex::Slot slot = slots[SlotOf(key, multiplier, shift)];
      const uint32_t slotLength = slot.names & 0xFF;
      const uint32_t namesLength = ((slot.key ^ key) | use) == 0 ? slotLength : 0;

      typename Digits::Value digits;
      Digits::Of(*entry, &digits);
      Digits::PutAddressField(p, digits);
      p += 17;
      const uint32_t fields = static_cast<uint32_t>(words) & 0x7F;
      memcpy(p, listUse.text[fields], kFieldsWidth);
      p += listUse.length[fields];
      if (__builtin_expect(slotLength <= kShortNamesWidth, 1)) {
        memcpy(p, nameText + (slot.names >> 8), kShortNamesWidth);
        p += namesLength;
      } else {
        span.p = p;
        PutUncommonNames(names, *entry, &span);
        p = span.p;
        // The span may be another now; count again after this line.
        batchEnd = entry + 1;
      }
      // The virtual address, " ", the line end and the next line's leading
      // zeros.
      Digits::PutVirtualAddressField(p, digits);
      Store8(p + 17, LineEndWord());
      p += kLineTail;
    }
    span.p = p;
  }
  HandOver(&span);
}

void PutLinesPlain(const ListUseTexts& listUse, const NameIndex& names, const PfnEntry* entry,
                   const PfnEntry* last) {
  PutLines<Lines::Plain>(listUse, names, entry, last);
}

__attribute__((target("sse2"))) void PutLinesSse2(const ListUseTexts& listUse,
                                                  const NameIndex& names, const PfnEntry* entry,
                                                  const PfnEntry* last) {
  PutLines<Lines::Sse2>(listUse, names, entry, last);
}

}  // namespace

void ForcePlainReportDigits(bool plain) { g_plainDigitsForced = plain; }

bool ReportUsesSse2Digits() { return g_processorHasSse2 && !g_plainDigitsForced; }

namespace {

// The texts never change: built on the first report only.
const ListUseTexts& ListUse() {
  static ListUseTexts listUse;
  static bool listUseBuilt = false;
  if (!listUseBuilt) {
    BuildListUseTexts(&listUse);
    listUseBuilt = true;
  }
  return listUse;
}

}  // namespace

void PfnReportStart(const ProcessNameList* list, PfnReport* report) {
  ConsoleWPrintf(L"Address        List         Type       Process      VA \n");
  BuildIndex(list, &report->names);
}

void PfnReportLines(PfnReport* report, const PfnEntry* first, const PfnEntry* last) {
  if (ReportUsesSse2Digits())
    PutLinesSse2(ListUse(), report->names, first, last);
  else
    PutLinesPlain(ListUse(), report->names, first, last);
}

void PfnReportEnd(PfnReport* report) { ReleaseIndex(&report->names); }

int PrintPfnDatabase(const PfnRequest* request, PfnRequestSize requestSize,
                     const ProcessNameList* list, const MemoryRangeInfo* ranges) {
  PfnReport report;
  PfnReportStart(list, &report);
  const PfnEntry* const first = PfnEntries(request);
  PfnReportLines(&report, first, first + PfnRequestEntriesFor(ranges, requestSize));
  PfnReportEnd(&report);
  return 0;
}
