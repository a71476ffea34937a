// Reading a fuzz input front to back. Past its end every value reads as 0,
// so a truncated input still drives a whole run, with the most ordinary
// answers for whatever it no longer describes.
#ifndef PFNDB_FUZZ_FUZZ_INPUT_H_
#define PFNDB_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct FuzzInput {
  const uint8_t* data;
  size_t size;
  size_t position;
};

inline void FuzzInputStart(FuzzInput* in, const uint8_t* data, size_t size) {
  in->data = data;
  in->size = size;
  in->position = 0;
}

inline bool FuzzInputExhausted(const FuzzInput* in) { return in->position >= in->size; }

inline uint8_t TakeU8(FuzzInput* in) {
  return in->position < in->size ? in->data[in->position++] : 0;
}

// Little-endian, as the service's formats are.
inline uint32_t TakeU32(FuzzInput* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= uint32_t{TakeU8(in)} << (8 * i);
  return value;
}

// A broken promise of the program is a finding: say which, then abort so
// libFuzzer keeps the input that showed it.
#define FUZZ_REQUIRE(condition)                                                              \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      fprintf(stderr, "%s:%d: fuzz invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                               \
    }                                                                                        \
  } while (0)

#endif  // PFNDB_FUZZ_FUZZ_INPUT_H_
