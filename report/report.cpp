#include "report/report.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "native/console.h"

const wchar_t* const PageListNames[8] = {
    L"Zero list ",          L"Free list ",    L"Standby list ", L"Modified list ",
    L"Modified page list ", L"Bad pagelist ", L"Active  list ", L"Transition list ",
};

const wchar_t* const PageUseNames[12] = {
    L"Process Private", L"Mem mapped", L"PF mem mapped",   L"Page tabke",
    L"Paged Pool",      L"Non paged pool", L"System pte",  L"Session private",
    L"metafile",        L"AWE",        L"Kernel Locked",   L"Kernel stack",
};

namespace {

// A line is written field by field into the console buffer without
// formatted output: millions of lines make every call per field count.

// Longest "<list> <use> " text: two names of at most 15 characters, a space
// after each.
const size_t kFieldsWidth = 32;
// Address (16 + 1), the two names, and the virtual address (1 + 16 + 1 + 1).
const size_t kLineWithoutNames = 17 + kFieldsWidth + 19;

struct ListUseText {
  char text[kFieldsWidth];
  uint8_t length;
};

// In the "C" locale each wide character below 256 becomes the byte of that
// value; the names are plain ASCII.
size_t AppendNarrowed(char* out, const wchar_t* name, size_t limit) {
  size_t n = 0;
  while (n < limit && name[n] != L'\0') {
    out[n] = static_cast<char>(name[n] & 0xFF);
    ++n;
  }
  return n;
}

// "%.15s " of the list name, then "%.15s " of the use name or "No Value".
void BuildListUseTexts(ListUseText table[8][16]) {
  for (int list = 0; list < 8; ++list) {
    for (int use = 0; use < 16; ++use) {
      ListUseText& cell = table[list][use];
      memset(cell.text, ' ', sizeof(cell.text));
      size_t n = AppendNarrowed(cell.text, PageListNames[list], 15);
      cell.text[n++] = ' ';
      if (use > 11) {
        memcpy(cell.text + n, "No Value", 8);
        n += 8;
      } else {
        n += AppendNarrowed(cell.text + n, PageUseNames[use], 15);
        cell.text[n++] = ' ';
      }
      cell.length = static_cast<uint8_t>(n);
    }
  }
}

struct HexTables {
  char lower[256][2];
  char upper[256][2];
};

void BuildHexTables(HexTables* tables) {
  const char* lower = "0123456789abcdef";
  const char* upper = "0123456789ABCDEF";
  for (int b = 0; b < 256; ++b) {
    tables->lower[b][0] = lower[b >> 4];
    tables->lower[b][1] = lower[b & 0xF];
    tables->upper[b][0] = upper[b >> 4];
    tables->upper[b][1] = upper[b & 0xF];
  }
}

// Sixteen hex digits of value, most significant first.
inline void PutHex16(char* out, uint64_t value, const char (*digits)[2]) {
  for (int i = 7; i >= 0; --i) {
    memcpy(out + 2 * i, digits[value & 0xFF], 2);
    value >>= 8;
  }
}

// For each key, the " name " texts of every record with that key, in list
// order, found through an open-addressed table built once.
struct NameIndex {
  struct Slot {
    uint32_t key;
    uint32_t offset;  // into text
    uint32_t length;
    bool used;
  };
  std::vector<Slot> slots;
  uint32_t mask = 0;
  std::vector<char> text;
};

inline uint32_t SlotOf(uint32_t key, uint32_t mask) { return (key * 0x9E3779B1u >> 7) & mask; }

void BuildNameIndex(const ProcessNameList* list, NameIndex* index) {
  struct Named {
    uint32_t key;
    const ProcessNameRecord* record;
  };
  std::vector<Named> named;
  for (const ProcessNameLinks* links = list->head.next; links != &list->head;
       links = links->next) {
    const ProcessNameRecord* record = ProcessNameRecordOf(links);
    named.push_back({record->key, record});
  }
  // Stable, so records sharing a key keep their list order.
  std::stable_sort(named.begin(), named.end(),
                   [](const Named& a, const Named& b) { return a.key < b.key; });

  uint32_t capacity = 16;
  while (capacity < 2 * named.size()) capacity *= 2;
  index->slots.assign(capacity, NameIndex::Slot{0, 0, 0, false});
  index->mask = capacity - 1;
  for (size_t i = 0; i < named.size();) {
    uint32_t key = named[i].key;
    uint32_t offset = static_cast<uint32_t>(index->text.size());
    for (; i < named.size() && named[i].key == key; ++i) {
      // At most 12 bytes, fewer when a NUL comes first; the bytes are kept
      // as they are, as the "C" locale converts them.
      const char* name = named[i].record->imageName;
      size_t length = 0;
      while (length < kImageNameBytes && name[length] != '\0') ++length;
      index->text.push_back(' ');
      index->text.insert(index->text.end(), name, name + length);
      index->text.push_back(' ');
    }
    uint32_t slot = SlotOf(key, index->mask);
    while (index->slots[slot].used) slot = (slot + 1) & index->mask;
    index->slots[slot] = {key, offset, static_cast<uint32_t>(index->text.size()) - offset, true};
  }
}

// Null when no record has the key.
inline const NameIndex::Slot* FindNames(const NameIndex& index, uint32_t key) {
  uint32_t slot = SlotOf(key, index.mask);
  while (index.slots[slot].used) {
    if (index.slots[slot].key == key) return &index.slots[slot];
    slot = (slot + 1) & index.mask;
  }
  return nullptr;
}

}  // namespace

int PrintPfnDatabase(const PfnRequest* request, uint32_t requestSize, const ProcessNameList* list,
                     const MemoryRangeInfo* ranges) {
  ConsoleWPrintf(L"Address        List         Type       Process      VA \n");

  static ListUseText listUse[8][16];
  static HexTables hex;
  BuildListUseTexts(listUse);
  BuildHexTables(&hex);
  NameIndex names;
  BuildNameIndex(list, &names);

  const PfnEntry* entries = PfnEntries(request);
  const uint32_t count = PfnRequestEntriesFor(ranges, requestSize);
  char* out = ConsoleReserve(kConsoleMaxReserve);
  char* end = out + kConsoleMaxReserve;
  char* p = out;
  for (uint32_t j = 0; j < count; ++j) {
    const PfnEntry& entry = entries[j];
    const NameIndex::Slot* owner = nullptr;
    size_t need = kLineWithoutNames;
    if (PageUseIndex(entry) == 0) {
      owner = FindNames(names, ProcessKey(entry));
      if (owner != nullptr) need += owner->length;
    }
    if (static_cast<size_t>(end - p) < need) {
      ConsoleCommit(p - out);
      size_t want = need > kConsoleMaxReserve ? kLineWithoutNames : kConsoleMaxReserve;
      out = p = ConsoleReserve(want);
      end = out + want;
    }

    // The address is computed in 64 bits so pages above 4 GiB keep theirs.
    PutHex16(p, uint64_t{entry.pageFrameNumber} << 12, hex.lower);
    p[16] = ' ';
    p += 17;
    const ListUseText& fields = listUse[PageListIndex(entry)][PageUseIndex(entry)];
    memcpy(p, fields.text, kFieldsWidth);
    p += fields.length;
    if (owner != nullptr) {
      const char* text = names.text.data() + owner->offset;
      if (static_cast<size_t>(end - p) >= owner->length + 19) {
        memcpy(p, text, owner->length);
        p += owner->length;
      } else {
        // More names than a reservation holds: hand them over directly.
        ConsoleCommit(p - out);
        ConsoleWrite(text, owner->length);
        out = p = ConsoleReserve(kConsoleMaxReserve);
        end = out + kConsoleMaxReserve;
      }
    }
    p[0] = ' ';
    PutHex16(p + 1, entry.virtualAddress, hex.upper);
    p[17] = ' ';
    p[18] = '\n';
    p += 19;
  }
  ConsoleCommit(p - out);
  return 0;
}
