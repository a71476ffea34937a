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

// REQUIRES: text[0 .. 16) is readable.
inline Head HeadOf(const char* text, size_t length) {
  Head head = {{Load8(text), Load8(text + 8)}};
  if (length < 8) head.word[0] &= (uint64_t{1} << (8 * length)) - 1;
  if (length < 16) head.word[1] &= length <= 8 ? 0 : (uint64_t{1} << (8 * (length - 8))) - 1;
  return head;
}

#endif  // PFNDB_STAT_WORDS_H_
