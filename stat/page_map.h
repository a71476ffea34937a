// A picture of physical memory, one colour per page use, built while a dump
// streams past and written as a PNG at the end.
//
// The picture runs from address 0 to the highest page added, left to right
// and top to bottom. Each pixel stands for 2^k consecutive pages, k the
// smallest that keeps the picture at kPageMapMaxPixels or fewer (k = 0, one
// page a pixel, up to 64 GiB of address space). The width is the smallest
// power of two whose square holds every pixel, so each row starts on an
// aligned address and the picture is between square and four times as wide
// as it is tall. A pixel takes the colour of the most common use among the
// pages of its block that the dump holds, the lowest use on a tie; a block
// without any such page, and the pixels after the highest page, are dark.
//
// Memory stays under kPageMapMaxBytes whatever the addresses: the map keeps a
// nibble per page in chunks of 65,536 pages (256 MiB of addresses), allocated
// when a page first falls in one. When the dump holds pages in more than 512
// chunks, neighbouring cells merge into cells of two, four... pages, each
// holding the most common use of its pages, and the chunks with them. Until
// then every pixel is exact. After it, a cell's use is exact for pages of one
// cell that arrive one after another (as a dump lists them); a cell revisited
// later counts its earlier winner as one page, two merged cells that disagree
// keep the lower of their two uses, a pixel of several cells takes the most
// common of their uses, and a page given twice counts twice. The budget never
// forces cells coarser than the picture's pixels.
#ifndef PFNDB_STAT_PAGE_MAP_H_
#define PFNDB_STAT_PAGE_MAP_H_

#include <cstddef>
#include <cstdint>

#include "report/page_names.h"

// Upper bound of the picture's pixel count (4096 x 4096).
const uint64_t kPageMapMaxPixels = uint64_t(1) << 24;

// Upper bound of what a map holds, whatever is added (16 MiB of page cells
// plus their index).
const size_t kPageMapMaxBytes = (size_t(16) << 20) + 16384;

struct PageMap;

// Returns a new, empty map, or null when memory runs out. Release with
// PageMapDestroy (which accepts null).
PageMap* PageMapCreate();
void PageMapDestroy(PageMap* map);

// Records that the page at physical address `page` * 4096 has `use`. Pages
// may come in any order; a page given twice keeps its last use (while the map
// holds one cell per page, see above). Returns 0, or -1 when memory runs out:
// the page is then not recorded, and the map stays usable. A use is the
// report's, kNoValueUse for "No Value".
// REQUIRES: use <= kNoValueUse.
int PageMapAdd(PageMap* map, uint64_t page, unsigned use);

// Writes the picture to `path`: an 8-bit palette PNG, palette index 0 dark,
// 1 + use for each use, 13 for "No Value". A map without pages gives one
// dark pixel. Rows are made and deflated one at a time, so writing needs less
// than 512 KiB beyond the map (zlib's deflate state and one IDAT chunk). The
// file is written under a temporary name beside `path` ("<path>.part", or
// "<path>.partN" when that is taken) and renamed once complete; on failure
// nothing is left under either name and a file already under `path` is
// untouched. Returns 0, or -1 with a one-line reason without the path and
// without a newline (the system's text, e.g. "No such file or directory") in
// reason[0 .. reasonSize).
int PageMapWritePng(const PageMap* map, const char* path, char* reason, size_t reasonSize);

// The legend, for --help: one line per use, naming its colour, then one for
// what is dark; each line starts with two spaces and ends in "\n".
extern const char kPageMapLegend[];

#endif  // PFNDB_STAT_PAGE_MAP_H_
