// Texts of up to 16 bytes handled as two machine words, for the dump
// reader's fields and the tally's owner texts. Words are loaded as the
// bytes lie in memory on the little-endian processors pfndb runs on.
#ifndef PFNDB_STAT_WORDS_H_
#define PFNDB_STAT_WORDS_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint64_t Load8(const char* text) {
  uint64_t word;
  memcpy(&word, text, 8);
  return word;
}

// The first 16 bytes of a text as two words, zeros past its end.
struct Head {
  uint64_t word[2];
};

// By length (0 to 16), the masks that keep a text's bytes of the two words
// loaded from its start.
struct HeadMasks {
  uint64_t mask[17][2];
};

constexpr uint64_t LowBytes(size_t count) {
  return count >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * count)) - 1;
}

constexpr HeadMasks BuildHeadMasks() {
  HeadMasks masks = {};
  for (size_t length = 0; length <= 16; ++length) {
    masks.mask[length][0] = LowBytes(length);
    masks.mask[length][1] = length <= 8 ? 0 : LowBytes(length - 8);
  }
  return masks;
}

inline constexpr HeadMasks kHeadMasks = BuildHeadMasks();

// Made without a branch on the length, which owners of mixed lengths in
// random order missed half the time.
// REQUIRES: text[0 .. 16) is readable.
inline Head HeadOf(const char* text, size_t length) {
  const uint64_t(&mask)[2] = kHeadMasks.mask[length < 16 ? length : 16];
  const Head head = {{Load8(text) & mask[0], Load8(text + 8) & mask[1]}};
  return head;
}

#endif  // PFNDB_STAT_WORDS_H_
