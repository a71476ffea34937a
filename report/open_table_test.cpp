#include "report/open_table.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// One step on a table of 8 entries: a seek for key from `from` must return
// entry `found` holding `value` (0: free); then, unless put is 0, putting
// key with value put there must return putResult.
struct Step {
  uint32_t from, key, found, value, put;
  int putResult;
};

const Step kSteps[] = {
    {6, 10, 6, 0, 1, 0},   // its home free
    {6, 11, 7, 0, 2, 0},   // its home taken: the next entry
    {6, 12, 0, 0, 3, 0},   // past the last entry, the first
    {6, 12, 0, 3, 0, 0},   // found past the wrap
    {6, 10, 6, 1, 0, 0},   // found at its home
    {7, 13, 1, 0, 4, 0},   // half the entries taken
    {7, 10, 2, 0, 0, 0},   // never looked for before `from`
    {2, 14, 2, 0, 5, -1},  // past half: refused
    {2, 14, 2, 0, 0, 0},   // and nothing put
};

template <typename Key>
void RunSteps() {
  std::vector<OpenEntry<Key>> entries(8);
  OpenTable<Key> table;
  OpenTableStart(&table, entries.data(), 3);
  for (const Step& step : kSteps) {
    SCOPED_TRACE(testing::Message() << sizeof(Key) * 8 << "-bit key " << step.key);
    const uint32_t at = OpenSeek(table, step.from, Key{step.key});
    EXPECT_EQ(at, step.found);
    EXPECT_EQ(entries[at].value, step.value);
    if (step.put == 0) continue;
    EXPECT_EQ(OpenPut(&table, at, Key{step.key}, step.put), step.putResult);
  }
  OpenTableClear(&table);
  EXPECT_EQ(entries[6].value, 0u);
  EXPECT_EQ(OpenPut(&table, 2, Key{14}, 5), 0);
}

TEST(OpenTable, ProbesWrapsFindsAndStopsAtHalf) {
  RunSteps<uint32_t>();
  RunSteps<uint64_t>();

  // 64-bit keys that fold to one hash stay apart.
  const uint64_t folded[] = {8, uint64_t{1} << 32, (uint64_t{3} << 32) + 16};
  std::vector<OpenEntry<uint64_t>> entries(16);
  OpenTable<uint64_t> table;
  OpenTableStart(&table, entries.data(), 4);
  for (uint32_t i = 0; i < 3; ++i)
    ASSERT_EQ(OpenPut(&table, OpenFind(table, folded[i]), folded[i], i + 1), 0);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(entries[OpenFind(table, folded[i])].value, i + 1);

  // Sizes: the least bits with `spread` entries a key, within the bounds.
  const struct {
    uint64_t count;
    uint32_t spread, least, most, bits;
  } kSizes[] = {{0, 2, 1, 31, 1},      {2, 2, 1, 31, 2},      {3, 2, 1, 31, 3},
                {1024, 4, 12, 30, 12}, {1025, 4, 12, 30, 13}, {uint64_t{1} << 40, 4, 12, 30, 30}};
  for (const auto& size : kSizes)
    EXPECT_EQ(OpenTableBits(size.count, size.spread, size.least, size.most), size.bits)
        << size.count << " keys";
}

}  // namespace
