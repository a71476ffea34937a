#include "stat/tally.h"

#include <cstdlib>
#include <cstring>

const char kNoOwner[] = "(none)";
const char kOtherOwners[] = "(other owners)";

namespace {

// Twice the rows, so a probe rarely goes past a slot or two.
const uint32_t kSlotCount = 2 * kMaxOwners;

// Eight bytes a step: owner texts are short and every private page hashes
// one.
uint32_t HashText(const char* text, size_t length) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
  while (length >= 8) {
    uint64_t word;
    memcpy(&word, text, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
    text += 8;
    length -= 8;
  }
  uint64_t word = 0;
  memcpy(&word, text, length);
  h = (h ^ word) * 0xC4CEB9FE1A85EC53ull;
  return static_cast<uint32_t>(h ^ h >> 29);
}

uint32_t AddRow(StatTally* tally, const char* text, size_t length, uint32_t hash) {
  OwnerRow* row = &tally->owners[tally->ownerCount];
  memset(row->pages, 0, sizeof(row->pages));
  row->text = text;
  row->length = static_cast<uint32_t>(length);
  row->hash = hash;
  return tally->ownerCount++;
}

// The row of a named owner text, made when it is new; the row of other
// owners once the rows or their text store are full.
uint32_t OwnerRowOf(StatTally* tally, const char* text, size_t length) {
  const uint32_t hash = HashText(text, length);
  uint32_t slot = hash & (kSlotCount - 1);
  for (;; slot = (slot + 1) & (kSlotCount - 1)) {
    const uint32_t taken = tally->slots[slot];
    if (taken == 0) break;
    const OwnerRow& row = tally->owners[taken - 1];
    if (row.hash == hash && row.length == length && memcmp(row.text, text, length) == 0) {
      return taken - 1;
    }
  }
  // Two rows stay free for (none) and (other owners).
  if (tally->ownerCount >= kMaxOwners || length > kMaxOwnerText - tally->textUsed) {
    if (tally->otherRow == 0) {
      tally->otherRow = AddRow(tally, kOtherOwners, sizeof(kOtherOwners) - 1, 0) + 1;
    }
    return tally->otherRow - 1;
  }
  char* copy = tally->text + tally->textUsed;
  memcpy(copy, text, length);
  tally->textUsed += length;
  const uint32_t row = AddRow(tally, copy, length, hash);
  tally->slots[slot] = row + 1;
  return row;
}

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
  tally->owners = static_cast<OwnerRow*>(malloc((kMaxOwners + 2) * sizeof(OwnerRow)));
  tally->slots = static_cast<uint32_t*>(calloc(kSlotCount, sizeof(uint32_t)));
  tally->text = static_cast<char*>(malloc(kMaxOwnerText));
  tally->ranges = static_cast<PageRange*>(malloc(kMaxRanges * sizeof(PageRange)));
  return tally->owners && tally->slots && tally->text && tally->ranges ? 0 : -1;
}

void TallyFree(StatTally* tally) {
  free(tally->owners);
  free(tally->slots);
  free(tally->text);
  free(tally->ranges);
  memset(tally, 0, sizeof(*tally));
}

void TallyClear(StatTally* tally) {
  memset(tally->uses, 0, sizeof(tally->uses));
  memset(tally->slots, 0, kSlotCount * sizeof(uint32_t));
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

void TallyAddPage(StatTally* tally, int dump, const PageLine& page) {
  ++tally->uses[dump][page.use][page.list];
  if (page.use == 0) {
    uint32_t row;
    if (page.hasOwner) {
      row = OwnerRowOf(tally, page.owner, page.ownerLength);
    } else {
      if (tally->noneRow == 0) tally->noneRow = AddRow(tally, kNoOwner, sizeof(kNoOwner) - 1, 0) + 1;
      row = tally->noneRow - 1;
    }
    ++tally->owners[row].pages[dump][page.list];
  }
  // A range ending at the top of the address space does not go on from 0.
  if (tally->rangeOpen && page.address == tally->open.end && page.address != 0) {
    tally->open.end += 4096;
    return;
  }
  CloseRange(tally);
  tally->open.start = page.address;
  tally->open.end = page.address + 4096;
  tally->rangeOpen = 1;
}

void TallyEndDump(StatTally* tally) { CloseRange(tally); }
