#include "stat/page_map.h"

#include <zlib.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stat/page_map_file.h"

namespace {

// A cell holds 0 when no page of it was added, else 1 + its use: the palette
// index its pixel gets.
const unsigned kColours = kNoValueUse + 2;

// Cells are kept in chunks of 2^16 nibbles, allocated when a page first
// falls in their span.
const unsigned kChunkBits = 16;
const uint64_t kChunkCells = uint64_t(1) << kChunkBits;
const uint64_t kCellMask = kChunkCells - 1;
const size_t kChunkBytes = kChunkCells / 2;
const size_t kMaxChunks = 512;

// With cells as coarse as the picture's pixels, every chunk the picture can
// touch fits in the budget, so merging never has to go further than that.
static_assert(kMaxChunks * kChunkCells >= kPageMapMaxPixels, "budget below one picture");

struct Chunk {
  uint64_t index;  // cell number >> kChunkBits
  uint8_t* cells;  // two cells a byte, the even one in the low nibble
};

}  // namespace

struct PageMap {
  Chunk chunks[kMaxChunks];  // [0, count), ascending index
  size_t count;
  size_t last;     // the chunk used last: pages come in runs, which skip the search
  unsigned shift;  // a cell stands for 2^shift pages
  bool any;
  uint64_t highest;
  // Counts of the coarse cell being filled, so that a cell whose pages come
  // one after another gets the most common of their uses.
  bool open;
  uint64_t openCell;
  uint64_t openCounts[kNoValueUse + 1];
  unsigned openBest;
};

static_assert(sizeof(PageMap) + kMaxChunks * kChunkBytes <= kPageMapMaxBytes, "budget");

namespace {

unsigned CellAt(const uint8_t* cells, uint64_t i) { return (cells[i >> 1] >> ((i & 1) * 4)) & 0xF; }

void SetCell(uint8_t* cells, uint64_t i, unsigned value) {
  unsigned shift = (i & 1) * 4;
  uint8_t* byte = &cells[i >> 1];
  *byte = static_cast<uint8_t>((*byte & ~(0xFu << shift)) | (value << shift));
}

// The two cells' winners are all that is left of their pages.
unsigned MergeCells(unsigned a, unsigned b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

// Position of the first chunk whose index is `index` or more.
size_t LowerBound(const PageMap* map, uint64_t index) {
  size_t low = 0, high = map->count;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (map->chunks[middle].index < index) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// Doubles the pages of a cell. Chunks 2j and 2j+1 become chunk j, in the
// memory of one of them, so that this step needs no memory of its own.
void Coarsen(PageMap* map) {
  const uint64_t half = kChunkCells / 2;
  size_t out = 0;
  for (size_t i = 0; i < map->count;) {
    uint64_t index = map->chunks[i].index;
    uint8_t* low = index % 2 == 0 ? map->chunks[i].cells : nullptr;
    uint8_t* high = low == nullptr ? map->chunks[i].cells : nullptr;
    if (low != nullptr && i + 1 < map->count && map->chunks[i + 1].index == index + 1) {
      high = map->chunks[i + 1].cells;
    }
    i += low != nullptr && high != nullptr ? 2 : 1;
    if (low != nullptr) {
      // Cell c comes from cells 2c and 2c+1, never behind it: forwards in place.
      for (uint64_t c = 0; c < half; ++c) {
        SetCell(low, c, MergeCells(CellAt(low, 2 * c), CellAt(low, 2 * c + 1)));
      }
      if (high != nullptr) {
        for (uint64_t c = 0; c < half; ++c) {
          SetCell(low, half + c, MergeCells(CellAt(high, 2 * c), CellAt(high, 2 * c + 1)));
        }
        free(high);
      } else {
        memset(low + half / 2, 0, half / 2);
      }
      map->chunks[out].cells = low;
    } else {
      // Cell half+c comes from cells 2c and 2c+1, never ahead of it: backwards.
      for (uint64_t c = half; c-- > 0;) {
        SetCell(high, half + c, MergeCells(CellAt(high, 2 * c), CellAt(high, 2 * c + 1)));
      }
      memset(high, 0, half / 2);
      map->chunks[out].cells = high;
    }
    map->chunks[out].index = index >> 1;
    ++out;
  }
  map->count = out;
  map->last = 0;
  map->shift += 1;
  map->open = false;
}

// The cells of the chunk that holds `page`, added (after merging cells as far
// as the budget needs) when missing; null when memory runs out.
uint8_t* CellsOf(PageMap* map, uint64_t page) {
  for (;;) {
    assert(map->shift + kChunkBits < 64);
    uint64_t index = page >> (map->shift + kChunkBits);
    if (map->last < map->count && map->chunks[map->last].index == index) {
      return map->chunks[map->last].cells;
    }
    size_t at = LowerBound(map, index);
    if (at < map->count && map->chunks[at].index == index) {
      map->last = at;
      return map->chunks[at].cells;
    }
    if (map->count < kMaxChunks) {
      uint8_t* cells = static_cast<uint8_t*>(calloc(kChunkBytes, 1));
      if (cells == nullptr) return nullptr;
      memmove(&map->chunks[at + 1], &map->chunks[at], (map->count - at) * sizeof(Chunk));
      map->chunks[at].index = index;
      map->chunks[at].cells = cells;
      map->count += 1;
      map->last = at;
      return cells;
    }
    Coarsen(map);
  }
}

void SetReason(char* reason, size_t reasonSize, const char* text) {
  if (reasonSize > 0) snprintf(reason, reasonSize, "%s", text);
}

void SetErrnoReason(char* reason, size_t reasonSize, int error) {
  SetReason(reason, reasonSize, error != 0 ? strerror(error) : "write error");
}

// Dark for what the dump lacks, then one colour per use, "No Value" grey.
const uint8_t kPalette[kColours][3] = {
    {0x14, 0x14, 0x14},  // absent
    {0xe6, 0x19, 0x4b},  // process private: red
    {0x43, 0x63, 0xd8},  // mapped file: blue
    {0x42, 0xd4, 0xf4},  // pagefile-mapped: cyan
    {0xf5, 0x82, 0x31},  // page table: orange
    {0x3c, 0xb4, 0x4b},  // paged pool: green
    {0xbf, 0xef, 0x45},  // nonpaged pool: lime
    {0x91, 0x1e, 0xb4},  // system PTE: purple
    {0xf0, 0x32, 0xe6},  // session private: magenta
    {0xff, 0xe1, 0x19},  // metafile: yellow
    {0x46, 0x99, 0x90},  // AWE: teal
    {0x9a, 0x63, 0x24},  // driver locked: brown
    {0xfa, 0xbe, 0xd4},  // kernel stack: pink
    {0xa9, 0xa9, 0xa9},  // no value: grey
};

// The picture's geometry: pixel p stands for pages [p << shift, (p+1) << shift).
struct Geometry {
  unsigned shift;
  uint64_t pixels;
  uint32_t width;
  uint32_t height;
};

Geometry GeometryOf(const PageMap* map) {
  Geometry g;
  g.shift = map->shift;
  while (map->any && (map->highest >> g.shift) + 1 > kPageMapMaxPixels) ++g.shift;
  g.pixels = map->any ? (map->highest >> g.shift) + 1 : 1;
  g.width = 1;
  while (uint64_t(g.width) * g.width < g.pixels) g.width *= 2;
  g.height = static_cast<uint32_t>((g.pixels + g.width - 1) / g.width);
  return g;
}

// Palette index of the cells [first, last]: the most common one that is not
// 0, the lowest on a tie. `cursor` is the position of the first chunk that
// may still hold cells of this or a later block; blocks come in ascending order.
unsigned BlockColour(const PageMap* map, uint64_t first, uint64_t last, size_t* cursor) {
  while (*cursor < map->count && map->chunks[*cursor].index < (first >> kChunkBits)) ++*cursor;
  if (first == last) {
    if (*cursor < map->count && map->chunks[*cursor].index == (first >> kChunkBits)) {
      return CellAt(map->chunks[*cursor].cells, first & kCellMask);
    }
    return 0;
  }
  uint64_t tally[kColours] = {};
  for (size_t c = *cursor; c < map->count && map->chunks[c].index <= (last >> kChunkBits); ++c) {
    uint64_t base = map->chunks[c].index << kChunkBits;
    uint64_t from = first > base ? first - base : 0;
    uint64_t to = last - base < kCellMask ? last - base : kCellMask;
    const uint8_t* cells = map->chunks[c].cells;
    for (uint64_t i = from; i <= to; ++i) ++tally[CellAt(cells, i)];
  }
  unsigned best = 0;
  for (unsigned colour = 1; colour < kColours; ++colour) {
    if (tally[colour] > tally[best] || (best == 0 && tally[colour] > 0)) best = colour;
  }
  return best;
}

void PutBig32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

// Writes one PNG chunk; returns 0, or -1 with errno telling why (0 when the C
// library does not say).
int WriteChunk(FILE* file, const char* type, const uint8_t* data, uint32_t length) {
  uint8_t head[8];
  PutBig32(head, length);
  memcpy(head + 4, type, 4);
  uLong crc = crc32(0L, head + 4, 4);
  if (length > 0) crc = crc32(crc, data, length);
  uint8_t tail[4];
  PutBig32(tail, static_cast<uint32_t>(crc));
  errno = 0;
  if (fwrite(head, 1, 8, file) != 8 || (length > 0 && fwrite(data, 1, length, file) != length) ||
      fwrite(tail, 1, 4, file) != 4) {
    return -1;
  }
  return 0;
}

const size_t kIdatBytes = 64 * 1024;

// The rows of the picture, deflated as they are made, in IDAT chunks of
// kIdatBytes: the whole picture is never in memory, raw or compressed.
int WriteImageData(const PageMap* map, const Geometry& g, FILE* file, char* reason,
                   size_t reasonSize) {
  uint8_t* row = static_cast<uint8_t*>(malloc(size_t(g.width) + 1));
  uint8_t* out = static_cast<uint8_t*>(malloc(kIdatBytes));
  z_stream stream;
  memset(&stream, 0, sizeof(stream));
  if (row == nullptr || out == nullptr || deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
    free(row);
    free(out);
    SetReason(reason, reasonSize, "out of memory");
    return -1;
  }
  const unsigned cellsPerPixelShift = g.shift - map->shift;
  size_t cursor = 0;
  uint64_t pixel = 0;
  int status = 0;
  stream.next_out = out;
  stream.avail_out = kIdatBytes;
  for (uint32_t y = 0; y <= g.height && status == 0; ++y) {
    int flush = Z_FINISH;
    if (y < g.height) {
      flush = Z_NO_FLUSH;
      row[0] = 0;  // filter "None": the runs of one index deflate well as they are
      for (uint32_t x = 0; x < g.width; ++x, ++pixel) {
        uint64_t first = pixel << cellsPerPixelShift;
        uint64_t last = first + ((uint64_t(1) << cellsPerPixelShift) - 1);
        row[1 + x] =
            static_cast<uint8_t>(pixel < g.pixels ? BlockColour(map, first, last, &cursor) : 0);
      }
      stream.next_in = row;
      stream.avail_in = g.width + 1;
    }
    for (;;) {
      int result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) {
        SetReason(reason, reasonSize, "compression failed");
        status = -1;
        break;
      }
      bool done = flush == Z_FINISH ? result == Z_STREAM_END : stream.avail_in == 0;
      if (stream.avail_out == 0 || (done && flush == Z_FINISH)) {
        if (WriteChunk(file, "IDAT", out, uint32_t(kIdatBytes - stream.avail_out)) != 0) {
          SetErrnoReason(reason, reasonSize, errno);
          status = -1;
          break;
        }
        stream.next_out = out;
        stream.avail_out = kIdatBytes;
      }
      if (done) break;
    }
  }
  deflateEnd(&stream);
  free(row);
  free(out);
  return status;
}

int WritePicture(const PageMap* map, FILE* file, char* reason, size_t reasonSize) {
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  Geometry g = GeometryOf(map);
  uint8_t header[13];
  PutBig32(header, g.width);
  PutBig32(header + 4, g.height);
  header[8] = 8;                             // bits per index
  header[9] = 3;                             // palette colour
  header[10] = header[11] = header[12] = 0;  // deflate, adaptive filters, no interlace
  errno = 0;
  if (fwrite(kSignature, 1, 8, file) != 8 || WriteChunk(file, "IHDR", header, 13) != 0 ||
      WriteChunk(file, "PLTE", &kPalette[0][0], sizeof(kPalette)) != 0) {
    SetErrnoReason(reason, reasonSize, errno);
    return -1;
  }
  if (WriteImageData(map, g, file, reason, reasonSize) != 0) return -1;
  if (WriteChunk(file, "IEND", nullptr, 0) != 0) {
    SetErrnoReason(reason, reasonSize, errno);
    return -1;
  }
  return 0;
}

}  // namespace

const char kPageMapLegend[] =
    "  red      process private\n"
    "  blue     mapped file\n"
    "  cyan     pagefile-mapped\n"
    "  orange   page table\n"
    "  green    paged pool\n"
    "  lime     nonpaged pool\n"
    "  purple   system PTE\n"
    "  magenta  session private\n"
    "  yellow   metafile\n"
    "  teal     AWE\n"
    "  brown    driver locked\n"
    "  pink     kernel stack\n"
    "  grey     no value (\"No Value\")\n"
    "  dark     not in the dump\n";

PageMap* PageMapCreate() { return static_cast<PageMap*>(calloc(1, sizeof(PageMap))); }

void PageMapDestroy(PageMap* map) {
  if (map == nullptr) return;
  for (size_t i = 0; i < map->count; ++i) free(map->chunks[i].cells);
  free(map);
}

int PageMapAdd(PageMap* map, uint64_t page, unsigned use) {
  assert(use <= kNoValueUse);
  uint8_t* cells = CellsOf(map, page);
  if (cells == nullptr) return -1;
  if (!map->any || page > map->highest) map->highest = page;
  map->any = true;
  uint64_t cell = page >> map->shift;
  uint64_t at = cell & kCellMask;
  if (map->shift == 0) {
    SetCell(cells, at, use + 1);
    return 0;
  }
  if (!map->open || map->openCell != cell) {
    memset(map->openCounts, 0, sizeof(map->openCounts));
    unsigned before = CellAt(cells, at);
    map->openBest = before != 0 ? before - 1 : use;
    if (before != 0) map->openCounts[before - 1] = 1;
    map->open = true;
    map->openCell = cell;
  }
  uint64_t count = ++map->openCounts[use];
  uint64_t best = map->openCounts[map->openBest];
  if (count > best || (count == best && use < map->openBest)) map->openBest = use;
  SetCell(cells, at, map->openBest + 1);
  return 0;
}

int PageMapWritePng(const PageMap* map, const char* path, char* reason, size_t reasonSize) {
  // "<path>.part", or "<path>.part1" ... when that name is taken.
  size_t length = strlen(path);
  char* temporary = static_cast<char*>(malloc(length + 16));
  if (temporary == nullptr) {
    SetReason(reason, reasonSize, "out of memory");
    return -1;
  }
  FILE* file = nullptr;
  for (unsigned n = 0; n < 100 && file == nullptr; ++n) {
    memcpy(temporary, path, length);
    if (n == 0) {
      memcpy(temporary + length, ".part", 6);
    } else {
      snprintf(temporary + length, 16, ".part%u", n);
    }
    file = CreateNewFile(temporary);
    if (file == nullptr && errno != EEXIST) break;
  }
  if (file == nullptr) {
    SetErrnoReason(reason, reasonSize, errno);
    free(temporary);
    return -1;
  }
  int status = WritePicture(map, file, reason, reasonSize);
  errno = 0;
  if (fclose(file) != 0 && status == 0) {
    SetErrnoReason(reason, reasonSize, errno);
    status = -1;
  }
  if (status == 0) status = MoveFileOver(temporary, path, reason, reasonSize);
  if (status != 0) RemoveNamedFile(temporary);
  free(temporary);
  return status;
}
