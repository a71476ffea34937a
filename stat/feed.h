// The one loop that reads a source of pages into the tally (and the map):
// a saved dump through the dump reader, or the machine itself (live.h).
#ifndef PFNDB_STAT_FEED_H_
#define PFNDB_STAT_FEED_H_

#include <cstddef>

#include "stat/dump_reader.h"
#include "stat/page_map.h"
#include "stat/tally.h"

// Hands out the next pages of a source, their owners' rows found in tally:
// returns 1 with pages[0 .. *got) filled (1 <= *got <= room), 0 at the end,
// or -1 when the source failed (the source tells why). After 0 or -1 every
// further call returns the same.
typedef int (*PageBatchFn)(void* source, StatTally* tally, TallyPage* pages, size_t room,
                           size_t* got);

// Reads the whole source into the tally as dump `dump`, and into map unless
// it is null; *mapFull is set when the map ran out of memory for a page.
// Returns the source's last answer: 0 when it was read to its end, -1 when
// it failed.
int FeedTally(PageBatchFn next, void* source, StatTally* tally, int dump, PageMap* map,
              int* mapFull);

// A PageBatchFn over a DumpReader (the source): each line's owner is looked
// up once, as the line is taken.
int NextDumpPages(void* reader, StatTally* tally, TallyPage* pages, size_t room, size_t* got);

// Fills *page, the tally's page for a page line. (Through an out-parameter:
// a returned temporary gave the sanitizer build a cleanup path that unwinds,
// which the product must not have.)
inline void TallyPageOfLine(StatTally* tally, const PageLine& line, TallyPage* page) {
  page->address = line.address;
  page->list = static_cast<uint8_t>(line.list);
  page->use = static_cast<uint8_t>(line.use);
  page->row = kNotOwnedRow;
  if (line.use == 0) {
    page->row =
        line.hasOwner ? TallyOwnerRow(tally, line.owner, line.ownerLength) : TallyNoOwnerRow(tally);
  }
}

#endif  // PFNDB_STAT_FEED_H_
