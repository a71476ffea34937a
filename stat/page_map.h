// A picture of physical memory, one colour per page use, built while a dump
// streams past and written as a PNG at the end.
#ifndef PFNDB_STAT_PAGE_MAP_H_
#define PFNDB_STAT_PAGE_MAP_H_

#include <cstdint>
#include <cstdio>

// Uses 0 to 11 are the page uses of the report, in its order;
// kPageMapUnknownUse stands for "No Value".
const unsigned kPageMapUnknownUse = 12;

struct PageMap;

// Returns a new, empty map, or null when memory runs out. Release with
// PageMapDestroy (which accepts null).
PageMap* PageMapCreate();
void PageMapDestroy(PageMap* map);

// Records that the page at physical address `page` * 4096 has `use`. Pages
// may come in any order; a page given twice keeps its last use. Memory stays
// bounded whatever the pages' addresses (far apart pages are shown in coarser
// blocks). Returns 0, or -1 when memory runs out (the map stays usable).
// REQUIRES: use <= kPageMapUnknownUse.
int PageMapAdd(PageMap* map, uint64_t page, unsigned use);

// Writes the picture to `path`: address 0 to the highest page added, left to
// right and top to bottom. Nothing is left under `path` unless the whole file
// was written. Returns 0, or -1 with a one-line reason (no newline) in
// reason[0 .. reasonSize).
int PageMapWritePng(const PageMap* map, const char* path, char* reason, size_t reasonSize);

// The legend, for --help: one line per use, naming its colour; ends in "\n".
extern const char kPageMapLegend[];

#endif  // PFNDB_STAT_PAGE_MAP_H_
