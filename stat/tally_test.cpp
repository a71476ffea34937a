#include "stat/tally.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Tally {
  StatTally tally;
  Tally() { EXPECT_EQ(TallyInit(&tally), 0); }
  ~Tally() { TallyFree(&tally); }
};

// A private page of text's owner, at address; the text is padded as the
// tally requires.
uint32_t AddOwned(StatTally* tally, const std::string& text, uint64_t address) {
  const std::string padded = text + std::string(16, 'P');
  const uint32_t row = TallyOwnerRow(tally, padded.data(), text.size());
  TallyAddPage(tally, 0, TallyPage{address, row, 6, 0});
  return row;
}

std::string TextOf(const StatTally& tally, uint32_t row) {
  return std::string(tally.owners[row].text, tally.owners[row].length);
}

TEST(Tally, OwnersThatShareTheirFirst16BytesKeepRowsOfTheirOwn) {
  Tally t;
  // Enough texts of one length and one head that many meet in the table.
  const int count = 30000;
  char text[32];
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < count; ++i) {
      snprintf(text, sizeof(text), "0123456789abcdef-%05d", i);
      const uint32_t row = AddOwned(&t.tally, text, 0x1000);
      ASSERT_EQ(TextOf(t.tally, row), text);
    }
  }
  EXPECT_EQ(t.tally.ownerCount, static_cast<uint32_t>(count));
  // Shorter and longer texts with the same head are others still.
  for (const char* other : {"0123456789abcdef", "0123456789abcdef-000000", "0123456789abcde"}) {
    EXPECT_EQ(TextOf(t.tally, AddOwned(&t.tally, other, 0)), other);
  }
  EXPECT_EQ(t.tally.owners[0].pages[0][6], 2u);
}

TEST(Tally, TheOwnerTextStoreHoldsExactlyItsSizeThenOtherOwnersTakeTheRest) {
  Tally t;
  const size_t length = 4096;
  const size_t fit = kMaxOwnerText / length;
  ASSERT_LT(fit, kMaxOwners);
  std::string text(length, 'x');
  for (size_t i = 0; i < fit; ++i) {
    text.replace(0, 8, std::to_string(10000000 + i));
    const uint32_t row = AddOwned(&t.tally, text, 0x1000 * i);
    ASSERT_EQ(TextOf(t.tally, row), text) << "owner " << i << " fits the store";
  }
  EXPECT_EQ(t.tally.textUsed, kMaxOwnerText);
  // Not one byte more.
  const uint32_t other = AddOwned(&t.tally, "y", 0);
  EXPECT_EQ(TextOf(t.tally, other), kOtherOwners);
  EXPECT_EQ(AddOwned(&t.tally, "z", 0), other);
  EXPECT_EQ(t.tally.owners[other].pages[0][6], 2u);
}

TEST(Tally, ARangeReachingTheTopOfTheAddressSpaceEndsThere) {
  Tally t;
  const uint32_t none = TallyNoOwnerRow(&t.tally);
  TallyStartDump(&t.tally);
  for (uint64_t address : {0xFFFFFFFFFFFFE000ull, 0xFFFFFFFFFFFFF000ull, 0ull, 0x1000ull}) {
    TallyAddPage(&t.tally, 0, TallyPage{address, none, 1, 0});
  }
  TallyEndDump(&t.tally);
  ASSERT_EQ(t.tally.rangeCount, 2u);
  EXPECT_EQ(t.tally.ranges[0].start, 0xFFFFFFFFFFFFE000ull);
  EXPECT_EQ(t.tally.ranges[0].end, 0u);  // exclusive: just past the top
  EXPECT_EQ(t.tally.ranges[1].start, 0u);
  EXPECT_EQ(t.tally.ranges[1].end, 0x2000u);
  EXPECT_EQ(t.tally.owners[none].pages[0][1], 4u);
  EXPECT_EQ(t.tally.uses[0][0][1], 4u);
}

}  // namespace
