#include "stat/tally.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "stat/words.h"

const char kNoOwner[] = "(none)";
const char kOtherOwners[] = "(other owners)";

namespace {

// Twice the rows, so a probe rarely goes past a slot or two.
const uint32_t kSlotBits = 16;
static_assert((uint32_t{1} << kSlotBits) == 2 * kMaxOwners, "twice the rows");

// Owner texts are short: most are told apart by their first 16 bytes, read
// in two words (HeadOf), without a loop or memcmp (TallyAddPage took a fifth
// of the run with a byte-serial hash and memcmp; 0.60 s to 0.57 s of
// processor time on the 64 GiB machine's dump). The slot is taken from the
// hash's top bits, where every byte of the head has a say: the low bits of
// a product ignore the bytes above them, and owners told apart only there
// ("svchost1.exe", "svchost2.exe") shared a slot and probed on (the tally's
// part of the processor time, with 200 such owners owning equally many
// pages of the 64 GiB dump: 0.22 s to 0.15 s; no change on the stand-in's
// own dump).
inline uint32_t HashOf(const Head& head, const char* text, size_t length) {
  uint64_t h = (head.word[0] * 0x9E3779B97F4A7C15ull) ^ (head.word[1] * 0xC2B2AE3D27D4EB4Full) ^
               (uint64_t{length} << 40);
  for (size_t i = 16; i < length; ++i) h = (h ^ static_cast<uint8_t>(text[i])) * 0x100000001B3ull;
  return static_cast<uint32_t>(h >> 32);
}

uint32_t AddRow(StatTally* tally, const char* text, size_t length, const Head& head) {
  OwnerRow* row = &tally->owners[tally->ownerCount];
  memset(row->pages, 0, sizeof(row->pages));
  row->text = text;
  row->length = static_cast<uint32_t>(length);
  memcpy(row->head, head.word, sizeof(row->head));
  return tally->ownerCount++;
}

// The row of a named owner text, made when it is new; the row of other
// owners once the rows or their text store are full.
uint32_t OwnerRowOf(StatTally* tally, const char* text, size_t length) {
  const Head head = HeadOf(text, length);
  const uint32_t hash = HashOf(head, text, length);
  const OpenTable<uint32_t>& table = tally->rowOfText;
  uint32_t slot = OpenHome(hash, kSlotBits);
  // Texts of one hash each have an entry; the text tells them apart.
  for (;; slot = OpenAfter(table, slot)) {
    slot = OpenSeek(table, slot, hash);
    const uint32_t taken = table.entries[slot].value;
    if (taken == 0) break;
    const OwnerRow& row = tally->owners[taken - 1];
    if (((row.head[0] ^ head.word[0]) | (row.head[1] ^ head.word[1])) == 0 &&
        row.length == length &&
        (length <= 16 || memcmp(row.text + 16, text + 16, length - 16) == 0)) {
      return taken - 1;
    }
  }
  // (none) and (other owners) have rows of their own beyond the limit, so
  // how many names are kept does not depend on when they first come.
  const uint32_t named = tally->ownerCount - (tally->noneRow != 0) - (tally->otherRow != 0);
  if (named >= kMaxOwners || length > kMaxOwnerText - tally->textUsed) {
    if (tally->otherRow == 0) {
      tally->otherRow = AddRow(tally, kOtherOwners, sizeof(kOtherOwners) - 1, Head()) + 1;
    }
    return tally->otherRow - 1;
  }
  char* copy = tally->text + tally->textUsed;
  memcpy(copy, text, length);
  tally->textUsed += length;
  const uint32_t row = AddRow(tally, copy, length, head);
  // Never refused: the rows named are at most half the entries.
  OpenPut(&tally->rowOfText, slot, hash, row + 1);
  return row;
}

}  // namespace

uint32_t TallyOwnerRow(StatTally* tally, const char* text, size_t length) {
  return OwnerRowOf(tally, text, length);
}

uint32_t TallyNoOwnerRow(StatTally* tally) {
  if (tally->noneRow == 0) {
    tally->noneRow = AddRow(tally, kNoOwner, sizeof(kNoOwner) - 1, Head()) + 1;
  }
  return tally->noneRow - 1;
}

namespace {

void CloseRange(StatTally* tally) {
  if (!tally->rangeOpen) return;
  tally->rangeOpen = 0;
  if (tally->rangeCount < kMaxRanges) {
    tally->ranges[tally->rangeCount++] = tally->open;
  } else {
    ++tally->rangesLeftOut;
    tally->pagesLeftOut += (tally->open.end - tally->open.start) >> 12;
  }
}

}  // namespace

int TallyInit(StatTally* tally) {
  memset(tally, 0, sizeof(*tally));
  // Allocated at their largest but touched only as far as used: a real dump
  // costs the memory of its few rows and ranges.
  tally->owners = static_cast<OwnerRow*>(malloc((kMaxOwners + 3) * sizeof(OwnerRow)));
  void* rows = calloc(size_t{1} << kSlotBits, sizeof(OpenEntry<uint32_t>));
  OpenTableStart(&tally->rowOfText, static_cast<OpenEntry<uint32_t>*>(rows), kSlotBits);
  tally->text = static_cast<char*>(malloc(kMaxOwnerText));
  tally->ranges = static_cast<PageRange*>(malloc(kMaxRanges * sizeof(PageRange)));
  if (!tally->owners || !tally->rowOfText.entries || !tally->text || !tally->ranges) return -1;
  memset(&tally->owners[kNotOwnedRow], 0, sizeof(OwnerRow));
  return 0;
}

void TallyFree(StatTally* tally) {
  free(tally->owners);
  free(tally->rowOfText.entries);
  free(tally->text);
  free(tally->ranges);
  memset(tally, 0, sizeof(*tally));
}

void TallyClear(StatTally* tally) {
  memset(tally->uses, 0, sizeof(tally->uses));
  OpenTableClear(&tally->rowOfText);
  tally->ownerCount = 0;
  tally->noneRow = 0;
  tally->otherRow = 0;
  tally->textUsed = 0;
  TallyStartDump(tally);
}

void TallyStartDump(StatTally* tally) {
  tally->rangeCount = 0;
  tally->rangesLeftOut = 0;
  tally->pagesLeftOut = 0;
  tally->rangeOpen = 0;
}

void TallyAddPages(StatTally* tally, int dump, const TallyPage* pages, size_t count) {
  // Every page is counted in a row, kNotOwnedRow's unless it is private: a
  // branch on the use mispredicted so often that reading took a tenth
  // longer (0.45 s against 0.41 s for a 48 GiB machine's dump; holding the
  // open range in locals made no difference that showed).
  assert(dump >= 0 && dump < kTallyDumps);
  uint64_t(*const uses)[kListCount] = tally->uses[dump];
  OwnerRow* const owners = tally->owners;
  int open = tally->rangeOpen;
  uint64_t end = tally->open.end;
  for (size_t i = 0; i < count; ++i) {
    const TallyPage& page = pages[i];
    ++uses[page.use][page.list];
    ++owners[page.row].pages[dump][page.list];
    // A range ending at the top of the address space does not go on from 0.
    if (open && page.address == end && page.address != 0) {
      end += 4096;
      continue;
    }
    tally->rangeOpen = open;
    tally->open.end = end;
    CloseRange(tally);
    tally->open.start = page.address;
    open = 1;
    end = page.address + 4096;
  }
  tally->rangeOpen = open;
  tally->open.end = end;
}

void TallyEndDump(StatTally* tally) { CloseRange(tally); }
