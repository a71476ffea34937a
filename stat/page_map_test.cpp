#include "stat/page_map.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Png {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> palette, pixels;  // pixels without the filter bytes
};

uint32_t Big32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Reads back what the map wrote, checking every chunk's CRC, with zlib's inflate.
void ReadPng(const std::string& path, Png* png) {
  std::vector<uint8_t> bytes, idat;
  FILE* file = fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr) << path;
  for (int c; (c = fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
  fclose(file);
  ASSERT_GT(bytes.size(), 8u);
  ASSERT_EQ(memcmp(bytes.data(), "\x89PNG\r\n\x1a\n", 8), 0);
  std::string types;
  for (size_t at = 8; at < bytes.size();) {
    ASSERT_LE(at + 12, bytes.size());
    uint32_t length = Big32(&bytes[at]);
    ASSERT_LE(at + 12 + length, bytes.size());
    const uint8_t* data = &bytes[at + 8];
    EXPECT_EQ(crc32(0, &bytes[at + 4], length + 4), Big32(data + length));
    std::string type(reinterpret_cast<const char*>(&bytes[at + 4]), 4);
    types += type + " ";
    if (type == "IHDR") {
      png->width = Big32(data);
      png->height = Big32(data + 4);
      EXPECT_EQ(std::vector<uint8_t>(data + 8, data + 13), (std::vector<uint8_t>{8, 3, 0, 0, 0}));
    }
    if (type == "PLTE") png->palette.assign(data, data + length);
    if (type == "IDAT") idat.insert(idat.end(), data, data + length);
    at += 12 + length;
  }
  EXPECT_EQ(types.substr(0, 10), "IHDR PLTE ");
  EXPECT_EQ(types.substr(types.size() - 10), "IDAT IEND ");
  std::vector<uint8_t> raw(size_t(png->width + 1) * png->height + 1);
  uLongf rawLength = raw.size();
  ASSERT_EQ(uncompress(raw.data(), &rawLength, idat.data(), idat.size()), Z_OK);
  ASSERT_EQ(rawLength, raw.size() - 1);
  for (uint32_t y = 0; y < png->height; ++y) {
    const uint8_t* row = &raw[size_t(y) * (png->width + 1)];
    EXPECT_EQ(row[0], 0);
    png->pixels.insert(png->pixels.end(), row + 1, row + 1 + png->width);
  }
}

std::string TempPath(const char* name) { return ::testing::TempDir() + "pfnstat_map_" + name; }

void Write(const PageMap* map, const std::string& path, Png* png) {
  char reason[128] = "";
  ASSERT_EQ(PageMapWritePng(map, path.c_str(), reason, sizeof(reason)), 0) << reason;
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  ReadPng(path, png);
  remove(path.c_str());
}

TEST(PageMap, OnePixelAPageInAnyOrderAbsentPagesDark) {
  PageMap* map = PageMapCreate();
  ASSERT_NE(map, nullptr);
  const std::pair<uint64_t, unsigned> adds[] = {{9, 11}, {3, 2}, {0, 0}, {1, 12}, {3, 5}};
  for (auto add : adds) ASSERT_EQ(PageMapAdd(map, add.first, add.second), 0);
  Png png;
  Write(map, TempPath("small.png"), &png);
  // Ten pages: four a row, the smallest power of two whose square holds them.
  EXPECT_EQ(png.width, 4u);
  EXPECT_EQ(png.height, 3u);
  EXPECT_EQ(png.pixels, (std::vector<uint8_t>{1, 13, 0, 6, 0, 0, 0, 0, 0, 12, 0, 0}));
  ASSERT_EQ(png.palette.size(), 14u * 3);
  EXPECT_LT(png.palette[0] + png.palette[1] + png.palette[2], 3 * 0x30);  // dark
  for (int a = 0; a < 14; ++a) {
    for (int b = a + 1; b < 14; ++b) {
      int distance = 0;
      for (int i = 0; i < 3; ++i) distance += abs(png.palette[3 * a + i] - png.palette[3 * b + i]);
      EXPECT_GT(distance, 60) << a << " " << b;
    }
  }
  PageMapDestroy(map);
}

TEST(PageMap, BlocksTakeTheirMostCommonUse) {
  PageMap* map = PageMapCreate();
  ASSERT_NE(map, nullptr);
  // Highest page 2^26 - 1: four pages a pixel keep the picture at 2^24 pixels.
  const std::pair<uint64_t, unsigned> adds[] = {
      {0, 7}, {1, 2}, {2, 7}, {4, 9}, {5, 4}, {(1u << 26) - 1, 1}, {(1u << 26) - 3, 12}};
  for (auto add : adds) ASSERT_EQ(PageMapAdd(map, add.first, add.second), 0);
  Png png;
  Write(map, TempPath("blocks.png"), &png);
  ASSERT_EQ(png.width, 4096u);
  ASSERT_EQ(png.height, 4096u);
  EXPECT_EQ(png.pixels[0], 1 + 7);  // two of three beat the lower use
  EXPECT_EQ(png.pixels[1], 1 + 4);  // a tie goes to the lower use
  EXPECT_EQ(png.pixels[2], 0);
  EXPECT_EQ(png.pixels.back(), 1 + 1);
  PageMapDestroy(map);
}

TEST(PageMap, FarApartPagesStayWithinTheBudget) {
  PageMap* map = PageMapCreate();
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(PageMapAdd(map, 0, 0), 0);
  ASSERT_EQ(PageMapAdd(map, uint64_t(1) << 40, 1), 0);
  // More spread-out runs than the budget has chunks, with gaps: cells must
  // merge, from pairs of chunks and from either one alone, while the runs lie
  // in the upper half of their chunk. A run's most common use is neither its
  // first, its last nor its lowest.
  const unsigned uses[] = {2, 6, 6, 4};
  const uint64_t offset = uint64_t(3) << 26;
  for (uint64_t i = 1; i <= 1500; ++i) {
    for (unsigned page = 0; page < 4 && i % 3 != 0; ++page) {
      ASSERT_EQ(PageMapAdd(map, (i << 28) + offset + page, uses[page]), 0);
    }
  }
  Png png;
  Write(map, TempPath("far.png"), &png);
  // 2^17 pages a pixel: 2^23 + 1 pixels.
  ASSERT_EQ(png.width, 4096u);
  ASSERT_EQ(png.height, 2049u);
  EXPECT_EQ(png.pixels[0], 1 + 0);
  EXPECT_EQ(png.pixels[uint64_t(1) << 23], 1 + 1);
  size_t lit = 0;
  for (uint8_t pixel : png.pixels) lit += pixel != 0;
  EXPECT_EQ(lit, 2u + 1000);
  // The first merge comes with run 766, the 511th: its chunk would be the
  // 513th after pages 0 and 2^40 and 510 runs. Runs before it were
  // single-page cells, merged pairwise to the lower use; runs from it on
  // fall into one cell and are counted.
  for (uint64_t i = 1; i <= 1500; ++i) {
    unsigned expected = i % 3 == 0 ? 0 : i < 766 ? 1 + 2 : 1 + 6;
    ASSERT_EQ(png.pixels[(i << 11) + (offset >> 17)], expected) << i;
  }
  PageMapDestroy(map);
}

TEST(PageMap, FailureLeavesNoFileAndSuccessReplacesOne) {
  PageMap* map = PageMapCreate();
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(PageMapAdd(map, 5, 3), 0);
  char reason[128] = "";
  std::string missing = TempPath("no_such_dir/map.png");
  EXPECT_EQ(PageMapWritePng(map, missing.c_str(), reason, sizeof(reason)), -1);
  EXPECT_STREQ(reason, strerror(ENOENT));
  // The temporary file is written, but cannot take a directory's place.
  std::string directory = TempPath("directory");
  std::filesystem::create_directory(directory);
  remove((directory + ".part").c_str());
  reason[0] = '\0';
  EXPECT_EQ(PageMapWritePng(map, directory.c_str(), reason, sizeof(reason)), -1);
  EXPECT_NE(reason[0], '\0');
  EXPECT_FALSE(std::filesystem::exists(directory + ".part"));
  EXPECT_TRUE(std::filesystem::is_directory(directory));
  std::filesystem::remove(directory);
  // A second picture replaces the first, an empty map's single dark pixel.
  std::string path = TempPath("again.png");
  PageMap* empty = PageMapCreate();
  ASSERT_EQ(PageMapWritePng(empty, path.c_str(), reason, sizeof(reason)), 0);
  PageMapDestroy(empty);
  Png png, dark;
  ReadPng(path, &dark);
  EXPECT_EQ(dark.pixels, std::vector<uint8_t>{0});
  Write(map, path, &png);
  EXPECT_EQ(png.pixels, (std::vector<uint8_t>{0, 0, 0, 0, 0, 4, 0, 0}));
  PageMapDestroy(map);
}

}  // namespace
