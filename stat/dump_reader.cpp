#include "stat/dump_reader.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "report/page_names.h"

const char kDumpHeader[] = "Address        List         Type       Process      VA ";

namespace {

// The list and use fields exactly as the report prints them ("%.15s " of
// each name, "No Value" for a use without one), and for each first byte the
// fields that start with it, so a field is found with one or two compares.
struct FieldTexts {
  char list[kListCount][16];
  size_t listLength[kListCount];
  char use[kUseCount][16];
  size_t useLength[kUseCount];
  uint16_t listsStartingWith[256];  // bit k: list k
  uint16_t usesStartingWith[256];   // bit k: use k
};

size_t CutName(const wchar_t* name, char* out) {
  size_t n = 0;
  for (; n < 15 && name[n] != L'\0'; ++n) out[n] = static_cast<char>(name[n] & 0xFF);
  out[n] = ' ';
  return n + 1;
}

FieldTexts BuildFieldTexts() {
  FieldTexts texts;
  memset(&texts, 0, sizeof(texts));
  for (unsigned list = 0; list < kListCount; ++list) {
    texts.listLength[list] = CutName(PageListNames[list], texts.list[list]);
    texts.listsStartingWith[static_cast<uint8_t>(texts.list[list][0])] |= 1u << list;
  }
  for (unsigned use = 0; use < kUseCount; ++use) {
    if (use == kNoValueUse) {
      memcpy(texts.use[use], "No Value", 8);
      texts.useLength[use] = 8;
    } else {
      texts.useLength[use] = CutName(PageUseNames[use], texts.use[use]);
    }
    texts.usesStartingWith[static_cast<uint8_t>(texts.use[use][0])] |= 1u << use;
  }
  return texts;
}

const FieldTexts& Fields() {
  static const FieldTexts texts = BuildFieldTexts();
  return texts;
}

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

// Sixteen hex digits: returns 0 with their value, or -1. Every digit is
// looked up and the verdict taken once, so the loop has no branch to miss.
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

// Which of the candidate fields (bits of `candidates`) text starts with;
// -1 for none.
inline int MatchField(const char* text, size_t room, unsigned candidates,
                      const char (*fields)[16], const size_t* lengths) {
  while (candidates != 0) {
    const int k = __builtin_ctz(candidates);
    candidates &= candidates - 1;
    if (lengths[k] <= room && memcmp(text, fields[k], lengths[k]) == 0) return k;
  }
  return -1;
}

}  // namespace

int ParsePageLine(const char* text, size_t length, PageLine* page) {
  // Address, list, use, the names, then " " VA " ": the last 18 bytes are
  // fixed, so whatever stands between the use and them is the names.
  const size_t kTail = 18;
  if (length < 17 + kTail || text[16] != ' ') return -1;
  if (ParseHex16(text, &page->address) != 0 || (page->address & 0xFFF) != 0) return -1;
  const char* tail = text + length - kTail;
  uint64_t virtualAddress;
  if (tail[0] != ' ' || tail[17] != ' ' || ParseHex16(tail + 1, &virtualAddress) != 0) return -1;

  const FieldTexts& fields = Fields();
  const char* p = text + 17;
  const int list = MatchField(p, tail - p, fields.listsStartingWith[static_cast<uint8_t>(*p)],
                              fields.list, fields.listLength);
  if (list < 0) return -1;
  p += fields.listLength[list];
  if (p >= tail) return -1;
  const int use = MatchField(p, tail - p, fields.usesStartingWith[static_cast<uint8_t>(*p)],
                             fields.use, fields.useLength);
  if (use < 0) return -1;
  p += fields.useLength[use];
  page->list = static_cast<unsigned>(list);
  page->use = static_cast<unsigned>(use);

  // Each name is printed as " name ", so several make " a  b ".
  const size_t names = tail - p;
  page->owner = p;
  page->ownerLength = 0;
  page->hasOwner = 0;
  if (names == 0) return 0;
  if (use != 0 || names < 2 || p[0] != ' ' || p[names - 1] != ' ') return -1;
  page->owner = p + 1;
  page->ownerLength = names - 2;
  page->hasOwner = 1;
  return 0;
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

int DumpReaderNext(DumpReader* reader, PageLine* page) {
  if (reader->error != kDumpNoError) return -1;
  if (reader->finished) return 0;
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
      reader->inTable =
          length == sizeof(kDumpHeader) - 1 && memcmp(line, kDumpHeader, length) == 0;
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
