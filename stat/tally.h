// The counts behind pfnstat's views, gathered from one or two dumps as their
// page lines stream past, in memory bounded whatever the dumps hold.
#ifndef PFNDB_STAT_TALLY_H_
#define PFNDB_STAT_TALLY_H_

#include <cstddef>
#include <cstdint>

#include "report/open_table.h"
#include "stat/dump_reader.h"

// Dump 0 is DUMP, dump 1 is AFTER.
const int kTallyDumps = 2;

// Owner texts kept apart, besides the rows kNoOwner and kOtherOwners; the
// private pages of any further owner text are counted in kOtherOwners. Real
// systems have a few thousand processes at most, so only a made-up dump gets
// there.
const uint32_t kMaxOwners = 32768;
const size_t kMaxOwnerText = size_t{4} << 20;
// Ranges kept for the ranges view; further ranges are only counted.
const size_t kMaxRanges = size_t{1} << 19;

extern const char kNoOwner[];      // "(none)"
extern const char kOtherOwners[];  // "(other owners)"

struct OwnerRow {
  uint64_t pages[kTallyDumps][kListCount];
  const char* text;  // into the tally's text store, or kNoOwner / kOtherOwners
  uint32_t length;
  uint64_t head[2];  // the text's first 16 bytes, zeros past its end
};

struct PageRange {
  uint64_t start;
  uint64_t end;  // exclusive
};

struct StatTally {
  uint64_t uses[kTallyDumps][kUseCount][kListCount];
  OwnerRow* owners;  // [0 .. ownerCount), kMaxOwners + 3 allocated
  uint32_t ownerCount;
  // Each named owner row plus 1, keyed by its text's hash.
  OpenTable<uint32_t> rowOfText;
  uint32_t noneRow;   // row + 1, or 0 while there is none
  uint32_t otherRow;  // row + 1, or 0 while there is none
  char* text;
  size_t textUsed;
  // The ranges of the dump read last, in its order.
  PageRange* ranges;
  size_t rangeCount;
  uint64_t rangesLeftOut;  // further ranges, not kept
  uint64_t pagesLeftOut;   // their pages
  int rangeOpen;           // ranges[rangeCount] is being extended
  PageRange open;
};

// Returns 0, or -1 when memory runs out. Release with TallyFree (also after
// a failure).
int TallyInit(StatTally* tally);
void TallyFree(StatTally* tally);

// Forgets everything counted, as if just made.
void TallyClear(StatTally* tally);

// Forgets the ranges counted so far: only the last dump's are shown.
void TallyStartDump(StatTally* tally);

// The row that counts the private pages of an owner text (the names as the
// report prints them, without the outer spaces): made when the text is new,
// kOtherOwners' once the rows or their text store are full. Each source
// finds a row once per owner it meets, not once per page.
// REQUIRES: text[0 .. 16) is readable, whatever length is.
uint32_t TallyOwnerRow(StatTally* tally, const char* text, size_t length);
// The row of private pages whose key has no record, kNoOwner's.
uint32_t TallyNoOwnerRow(StatTally* tally);

// The row a page of any use but 0 carries: counted in, never shown, so that
// counting a page does not branch on its use (which is as good as random).
const uint32_t kNotOwnedRow = kMaxOwners + 2;

// One page as the tally counts it, whatever source it came from.
struct TallyPage {
  uint64_t address;  // a multiple of 4096
  uint32_t row;      // the owner's row for a process-private page (use 0),
                     // kNotOwnedRow for any other
  uint8_t list;      // < kListCount
  uint8_t use;       // < kUseCount
};

// Counts pages[0 .. count) as pages of dump `dump`, in their order.
// REQUIRES: dump < kTallyDumps; each page's row is kNotOwnedRow unless its
// use is 0, when it came from TallyOwnerRow or TallyNoOwnerRow since the
// tally was last cleared.
void TallyAddPages(StatTally* tally, int dump, const TallyPage* pages, size_t count);

inline void TallyAddPage(StatTally* tally, int dump, const TallyPage& page) {
  TallyAddPages(tally, dump, &page, 1);
}

// Closes the last range of the dump.
void TallyEndDump(StatTally* tally);

#endif  // PFNDB_STAT_TALLY_H_
