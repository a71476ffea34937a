// pfnstat's three views of a tally (page uses per list, process-private
// pages per owner, physical ranges), as text tables for people and as CSV
// for scripts.
#ifndef PFNDB_STAT_VIEWS_H_
#define PFNDB_STAT_VIEWS_H_

#include <cstdio>

#include "stat/tally.h"

enum StatView { kViewUses, kViewProcesses, kViewRanges };

// What the views show: one dump, or the change from dump 0 to dump 1.
struct ViewSource {
  const StatTally* tally;
  int change;         // 0: dump 0 alone; 1: dump 1 minus dump 0
  const char* dump;   // names for the headings
  const char* after;  // null unless change
};

// The label of an owner's row, such that no owner text passes for another
// row. The tally's own (none) and (other owners), and most texts, stand as
// they are: returns 0, and the label is row.text itself. A text that reads
// as (none) or (other owners), or starts with a quote as a quoted label
// does, is put in quotes, its own quotes doubled. In the text tables
// (table 1) so is one that reads as "Total" (trailing spaces aside: the
// labels are padded with them) or holds a byte below 0x20 or 0x7F, and
// inside the quotes such a byte is written \r, \n, \t or \xHH (lower-case
// hex) and a backslash \\, so no label breaks its line or draws over it.
// The CSV (table 0) keeps every other byte: its own quoting carries them.
// Returns the label's length, having written it to out unless out is null.
// REQUIRES: out, unless null, has room for the length returned.
size_t OwnerLabel(const OwnerRow& row, int table, char* out);

// Writes the three views as aligned tables, sizes in KiB with totals.
// Returns 0, or -1 when memory runs out (the output may then be partial).
int PrintViews(const ViewSource& source, FILE* out);

// Writes one view as CSV: page counts, "\n" line ends. Returns 0, or -1
// when memory runs out. REQUIRES: for kViewRanges, no range left out.
int WriteViewCsv(const ViewSource& source, StatView view, FILE* out);

#endif  // PFNDB_STAT_VIEWS_H_
