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

// Writes the three views as aligned tables, sizes in KiB with totals.
// Returns 0, or -1 when memory runs out (the output may then be partial).
int PrintViews(const ViewSource& source, FILE* out);

// Writes one view as CSV: page counts, "\n" line ends. Returns 0, or -1
// when memory runs out. REQUIRES: for kViewRanges, no range left out.
int WriteViewCsv(const ViewSource& source, StatView view, FILE* out);

#endif  // PFNDB_STAT_VIEWS_H_
