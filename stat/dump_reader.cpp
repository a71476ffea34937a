#include "stat/dump_reader.h"

#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "report/page_names.h"
#include "stat/words.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(PFNDB_EXPECT_NO_SSE2) && defined(__SSE2__)
#error "this build reads dumps as pfnstat.exe does, without SSE2"
#endif

const char kDumpHeader[] = "Address        List         Type       Process      VA ";

namespace {

// The bytes of a text of up to 16 bytes as two words, and masks that keep
// only its bytes of two words loaded from anywhere.
struct Words16 {
  uint64_t word[2];
  uint64_t mask[2];
};

Words16 WordsOf(const char* text, size_t length) {
  char padded[16] = {};
  memcpy(padded, text, length);
  char ones[16];
  memset(ones, 0xFF, sizeof(ones));
  const Head head = HeadOf(padded, length);
  const Head mask = HeadOf(ones, length);
  return {{head.word[0], head.word[1]}, {mask.word[0], mask.word[1]}};
}

// The fields of one kind (the lists, or the uses) exactly as the report
// prints them, and a hash to them from three bytes at the start of a field:
// its first two and one more, at the position that tells most fields apart.
// Where a use is shorter than that, the byte after it is a space (the
// names' or the tail's), which stands in. A slot holds the fields of one
// key: one, or two where no such position tells them apart ("Kernel
// Locked" and "Kernel stack"); the rest hold a field that never matches.
const int kSlotBits = 6;
const int kCandidates = 2;
const unsigned kMostFields = kUseCount;

struct FieldSet {
  Words16 text[kMostFields + 1];
  size_t length[kMostFields + 1];
  unsigned third;  // where the key's third byte is
  uint32_t multiplier;
  uint8_t field[1 << kSlotBits][kCandidates];
};

inline uint32_t KeyOf(const char* text, unsigned third) {
  uint16_t two;
  memcpy(&two, text, 2);
  return two | uint32_t{static_cast<uint8_t>(text[third])} << 16;
}

inline unsigned SlotOf(uint32_t key, uint32_t multiplier) {
  return (key * multiplier) >> (32 - kSlotBits);
}

// The keys of the fields with the third byte at `third`; returns how many
// fields share a key with an earlier one, or -1 when `third` cannot be used.
int KeysAt(const char (*texts)[16], const size_t* lengths, unsigned count, int spaceFollows,
           unsigned third, uint32_t* keys) {
  int shared = 0;
  for (unsigned k = 0; k < count; ++k) {
    char text[16];
    memcpy(text, texts[k], 16);
    if (lengths[k] == third && spaceFollows) text[third] = ' ';
    if (lengths[k] < third || (lengths[k] == third && !spaceFollows)) return -1;
    keys[k] = KeyOf(text, third);
    int same = 0;
    for (unsigned j = 0; j < k; ++j) same += keys[j] == keys[k];
    if (same >= kCandidates) return -1;
    shared += same;
  }
  return shared;
}

void BuildFieldSet(const char (*texts)[16], const size_t* lengths, unsigned count, int spaceFollows,
                   FieldSet* set) {
  memset(set, 0, sizeof(*set));
  for (unsigned k = 0; k < count; ++k) {
    set->text[k] = WordsOf(texts[k], lengths[k]);
    set->length[k] = lengths[k];
  }
  set->length[count] = SIZE_MAX;
  uint32_t keys[kMostFields];
  int fewest = -1;
  for (unsigned third = 2; third < 16; ++third) {
    const int shared = KeysAt(texts, lengths, count, spaceFollows, third, keys);
    if (shared >= 0 && (fewest < 0 || shared < fewest)) {
      fewest = shared;
      set->third = third;
    }
  }
  assert(fewest >= 0);
  KeysAt(texts, lengths, count, spaceFollows, set->third, keys);
  // A multiplier that gives different keys different slots.
  for (uint32_t attempt = 0;; ++attempt) {
    assert(attempt < 100000);
    set->multiplier = (0x9E3779B1u + attempt * 0x7F4A7C16u) | 1u;
    memset(set->field, count, sizeof(set->field));
    uint32_t keyOf[1 << kSlotBits] = {};
    int placed = 1;
    for (unsigned k = 0; k < count && placed; ++k) {
      const unsigned slot = SlotOf(keys[k], set->multiplier);
      uint8_t(&fields)[kCandidates] = set->field[slot];
      if (fields[0] == count) {
        fields[0] = static_cast<uint8_t>(k);
        keyOf[slot] = keys[k];
      } else {
        placed = keyOf[slot] == keys[k];
        fields[1] = static_cast<uint8_t>(k);
      }
    }
    if (placed) return;
  }
}

size_t CutName(const wchar_t* name, char* out) {
  const size_t n = NarrowName(name, 15, out);
  out[n] = ' ';
  return n + 1;
}

struct FieldTexts {
  FieldSet lists;
  FieldSet uses;
};

// "%.15s " of each name, and "No Value" for a use without one.
FieldTexts BuildFieldTexts() {
  FieldTexts fields;
  char texts[kMostFields][16];
  size_t lengths[kMostFields];
  for (unsigned list = 0; list < kListCount; ++list) {
    lengths[list] = CutName(PageListNames[list], texts[list]);
  }
  BuildFieldSet(texts, lengths, kListCount, 0, &fields.lists);
  for (unsigned use = 0; use < kUseCount; ++use) {
    if (use == kNoValueUse) {
      lengths[use] = sizeof(kNoValueName) - 1;
      memcpy(texts[use], kNoValueName, lengths[use]);
    } else {
      lengths[use] = CutName(PageUseNames[use], texts[use]);
    }
  }
  BuildFieldSet(texts, lengths, kUseCount, 1, &fields.uses);
  return fields;
}

const FieldTexts kFields = BuildFieldTexts();

inline int FieldAt(const char* text, size_t room, const FieldSet& set, unsigned k) {
  const Words16& field = set.text[k];
  const uint64_t differ = ((Load8(text) ^ field.word[0]) & field.mask[0]) |
                          ((Load8(text + 8) ^ field.word[1]) & field.mask[1]);
  return differ == 0 && set.length[k] <= room;
}

// Which field of the set text starts with; -1 for none. Compares in words,
// and mostly once. (On the 64 GiB machine's dump, memcmp calls took a fifth
// of the run and a loop over the candidates of a first byte mispredicted a
// tenth: 0.99 s before, 0.73 s with up to four candidates a first byte,
// 0.60 s with two compared always, and the hash of three bytes saves 40 of
// the 300 instructions a line takes.)
// REQUIRES: text[0 .. 16) is readable.
inline int MatchField(const char* text, size_t room, const FieldSet& set) {
  const uint8_t(&fields)[kCandidates] = set.field[SlotOf(KeyOf(text, set.third), set.multiplier)];
  if (FieldAt(text, room, set, fields[0])) return fields[0];
  if (FieldAt(text, room, set, fields[1])) return fields[1];
  return -1;
}

#if defined(__SSE2__)

// Sixteen hex digits of either case: returns 0 with their value, or -1.
// All sixteen are checked and converted at once (a table lookup per digit
// took a fifth of the run).
inline int ParseHex16(const char* text, uint64_t* value) {
  const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  // Only 'A'-'F' and 'a'-'f' become 'a'-'f'; digits are checked as they are.
  const __m128i lower = _mm_or_si128(raw, _mm_set1_epi8(0x20));
  const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(raw, _mm_set1_epi8('0' - 1)),
                                      _mm_cmplt_epi8(raw, _mm_set1_epi8('9' + 1)));
  const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(lower, _mm_set1_epi8('a' - 1)),
                                       _mm_cmplt_epi8(lower, _mm_set1_epi8('f' + 1)));
  if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) return -1;
  const __m128i nibbles =
      _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(raw, _mm_set1_epi8('0'))),
                   _mm_and_si128(letter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10))));
  // Each pair of digits into one byte, the first digit high.
  const __m128i pairs = _mm_or_si128(
      _mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0xF0)), _mm_srli_epi16(nibbles, 8));
  uint64_t bytes;
  _mm_storel_epi64(reinterpret_cast<__m128i*>(&bytes), _mm_packus_epi16(pairs, pairs));
  *value = __builtin_bswap64(bytes);
  return 0;
}

#else

// 0-15 for a hex digit of either case, 16 for anything else.
struct HexTable {
  uint8_t value[256];
};

HexTable BuildHexTable() {
  HexTable table;
  memset(table.value, 16, sizeof(table.value));
  for (int d = 0; d < 10; ++d) table.value['0' + d] = static_cast<uint8_t>(d);
  for (int d = 0; d < 6; ++d) {
    table.value['a' + d] = static_cast<uint8_t>(10 + d);
    table.value['A' + d] = static_cast<uint8_t>(10 + d);
  }
  return table;
}

const HexTable kHex = BuildHexTable();

// Sixteen hex digits of either case: returns 0 with their value, or -1.
inline int ParseHex16(const char* text, uint64_t* value) {
  uint64_t v = 0;
  unsigned bad = 0;
  for (int i = 0; i < 16; ++i) {
    const unsigned d = kHex.value[static_cast<uint8_t>(text[i])];
    bad |= d;
    v = v << 4 | (d & 15);
  }
  *value = v;
  return (bad & 16) ? -1 : 0;
}

#endif

}  // namespace

namespace {

// Every page line is: the address, " ", the list, the use, the names, then
// the 18 bytes " VA ".
const size_t kTail = 18;

// The address, list and use at the start of a line, with fields allowed to
// reach `limit`. Returns the end of the use, or null.
// REQUIRES: text[0 .. 49) is readable, and 16 bytes after limit.
inline const char* ParseHead(const char* text, const char* limit, PageLine* page) {
  if (text[16] != ' ' || ParseHex16(text, &page->address) != 0 || (page->address & 0xFFF) != 0) {
    return nullptr;
  }
  const char* p = text + 17;
  const int list = MatchField(p, limit - p, kFields.lists);
  if (list < 0) return nullptr;
  p += kFields.lists.length[list];
  if (p >= limit) return nullptr;
  const int use = MatchField(p, limit - p, kFields.uses);
  if (use < 0) return nullptr;
  page->list = static_cast<unsigned>(list);
  page->use = static_cast<unsigned>(use);
  return p + kFields.uses.length[use];
}

// The names between the use's end and the tail, and the tail. Returns 0 or
// -1. Whether there are names is worked into the results without a branch:
// process-private pages with owners come in no order the processor can
// foresee (a branch on it missed about every third line: 0.39 s to 0.30 s
// of processor time for the reader alone on the 64 GiB machine's dump, the
// same with its owners evened out).
inline int ParseTail(const char* names, const char* tail, PageLine* page) {
  uint64_t virtualAddress;
  if (tail < names || tail[0] != ' ' || tail[17] != ' ' ||
      ParseHex16(tail + 1, &virtualAddress) != 0) {
    return -1;
  }
  // Each name is printed as " name ", so several make " a  b ". Without
  // names, both bytes looked at are the tail's first.
  const size_t length = tail - names;
  const int has = length != 0;
  const int bad =
      has & ((page->use != 0) | (length < 2) | (names[0] != ' ') | (names[length - has] != ' '));
  page->owner = names + has;
  page->ownerLength = length - 2 * has;
  page->hasOwner = has;
  return bad ? -1 : 0;
}

}  // namespace

int ParsePageLine(const char* text, size_t length, PageLine* page) {
  // The fields' 16-byte loads stay within the line: the tail follows them.
  if (length < 17 + kTail) return -1;
  const char* tail = text + length - kTail;
  const char* names = ParseHead(text, tail, page);
  return names != nullptr ? ParseTail(names, tail, page) : -1;
}

int DumpReaderInit(DumpReader* reader, DumpReadFn read, void* source) {
  memset(reader, 0, sizeof(*reader));
  reader->buffer = static_cast<char*>(malloc(kDumpMaxLine));
  if (reader->buffer == nullptr) return -1;
  DumpReaderRestart(reader, read, source);
  return 0;
}

void DumpReaderRestart(DumpReader* reader, DumpReadFn read, void* source) {
  assert(reader->buffer != nullptr);
  char* const buffer = reader->buffer;
  memset(reader, 0, sizeof(*reader));
  reader->buffer = buffer;
  reader->read = read;
  reader->source = source;
}

void DumpReaderFree(DumpReader* reader) {
  free(reader->buffer);
  reader->buffer = nullptr;
}

namespace {

// Moves what is left to the front of the buffer and reads behind it.
// Returns 0 (atEnd set when the source had nothing more) or -1.
int Refill(DumpReader* reader) {
  const size_t left = reader->end - reader->begin;
  memmove(reader->buffer, reader->buffer + reader->begin, left);
  reader->begin = 0;
  reader->end = left;
  size_t got = 0;
  if (reader->read(reader->source, reader->buffer + left, kDumpMaxLine - left, &got) != 0) {
    reader->error = kDumpReadFailed;
    return -1;
  }
  reader->end += got;
  reader->atEnd = got == 0;
  return 0;
}

// The next line, without its line end. Returns 1 with the line (*ended 0
// for a last line without a line end), 0 at the end of the input, or -1.
// A line longer than the buffer comes back as its first kDumpMaxLine
// bytes with *ended 0 before the end of the input.
int TakeLine(DumpReader* reader, const char** line, size_t* length, int* ended) {
  for (;;) {
    char* start = reader->buffer + reader->begin;
    const size_t left = reader->end - reader->begin;
    const char* newline = static_cast<const char*>(memchr(start, '\n', left));
    if (newline != nullptr) {
      *line = start;
      *length = newline - start;
      *ended = 1;
      reader->begin += *length + 1;
      ++reader->lineNumber;
      return 1;
    }
    if (reader->atEnd || left == kDumpMaxLine) {
      if (left == 0) return 0;
      *line = start;
      *length = left;
      *ended = 0;
      reader->begin = reader->end;
      ++reader->lineNumber;
      return 1;
    }
    if (Refill(reader) != 0) return -1;
  }
}

}  // namespace

namespace {

// Bytes a line must have before it in the buffer for the quick path.
const size_t kQuickRoom = 96;

#if defined(__SSE2__)

inline uint64_t NewlinesIn16(const char* text) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
}

// The end of the line at start, when it is 32 to 95 bytes long (every page
// line without names or with one name of up to 12 bytes); null for a
// shorter line, start + 96 for a longer one. Found apart from the fields,
// so that the next line's start does not wait for this one's parse.
// REQUIRES: start[0 .. 96) is readable.
inline const char* QuickLineEnd(const char* start) {
  if ((NewlinesIn16(start) | NewlinesIn16(start + 16)) != 0) return nullptr;
  const uint64_t found = NewlinesIn16(start + 32) | NewlinesIn16(start + 48) << 16 |
                         NewlinesIn16(start + 64) << 32 | NewlinesIn16(start + 80) << 48;
  return found != 0 ? start + 32 + __builtin_ctzll(found) : start + kQuickRoom;
}

#else

// The end of the line at start when it is not shorter than 32 bytes and
// not longer than 95; null for a shorter line, start + 96 for a longer one.
// REQUIRES: start[0 .. 96) is readable.
inline const char* QuickLineEnd(const char* start) {
  if (memchr(start, '\n', 32) != nullptr) return nullptr;
  const char* newline = static_cast<const char*>(memchr(start + 32, '\n', 64));
  return newline != nullptr ? newline : start + kQuickRoom;
}

#endif

// A page line taken where it lies in the buffer, its end found in one step
// instead of TakeLine's memchr, and then parsed as ParsePageLine does.
// Returns 1 with the line taken, or 0 when the line is for TakeLine and
// ParsePageLine to take (a line whose end is not in the buffer yet, or
// anything unusual); both ways give the same result. Finding the end of
// the line apart from its fields lets the processor work on the next line
// while this one's fields are matched (on the 64 GiB machine's dump, the
// line end found from where the fields ended chained every line to the
// last: 0.46 s to 0.39 s of processor time for the reader alone, over the
// dump in memory, and 0.47 s to 0.40 s with 200 owners owning equally many
// pages).
inline int TakeQuickly(DumpReader* reader, PageLine* page) {
  const char* start = reader->buffer + reader->begin;
  const size_t left = reader->end - reader->begin;
  if (left < kQuickRoom || !reader->inTable || reader->skipping) return 0;
  const char* newline = QuickLineEnd(start);
  if (newline == nullptr) return 0;
  // Past the sweep, which is all that is sure to be readable: the line goes
  // on, and may reach the end of the buffer.
  if (newline == start + kQuickRoom) {
    newline = static_cast<const char*>(memchr(newline, '\n', start + left - newline));
    if (newline == nullptr) return 0;
  }
  const size_t length = newline - start - (newline[-1] == '\r');
  if (ParsePageLine(start, length, page) != 0) return 0;
  reader->begin += newline + 1 - start;
  ++reader->lineNumber;
  return 1;
}

}  // namespace

int DumpReaderNext(DumpReader* reader, PageLine* page) {
  if (reader->error != kDumpNoError) return -1;
  if (reader->finished) return 0;
  if (TakeQuickly(reader, page)) return 1;
  for (;;) {
    const char* line;
    size_t length;
    int ended;
    const int taken = TakeLine(reader, &line, &length, &ended);
    if (taken < 0) return -1;
    if (taken == 0) {
      if (!reader->inTable) {
        reader->error = kDumpNoTable;
        return -1;
      }
      reader->finished = 1;
      return 0;
    }
    const int over = !ended && !reader->atEnd;
    if (reader->skipping || over) {
      // Pieces of one over-long line count as one line.
      if (reader->skipping) --reader->lineNumber;
      reader->skipping = over;
      if (!reader->inTable) continue;
      reader->error = kDumpNotPageLine;
      reader->errorLine = reader->lineNumber;
      return -1;
    }
    if (length > 0 && line[length - 1] == '\r') --length;
    if (!ended) {
      // An interrupted dump: the last line lacks its end, and perhaps more.
      if (reader->inTable) reader->cutShortLine = reader->lineNumber;
      continue;
    }
    if (!reader->inTable) {
      reader->inTable = length == sizeof(kDumpHeader) - 1 && memcmp(line, kDumpHeader, length) == 0;
      continue;
    }
    if (ParsePageLine(line, length, page) != 0) {
      reader->error = kDumpNotPageLine;
      reader->errorLine = reader->lineNumber;
      return -1;
    }
    return 1;
  }
}
