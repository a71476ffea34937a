#include <windows.h>

#include <cstdint>
#include <cstring>

#include "native/console.h"

// The runtime's text mode turns each "\n" into "\r\n", but it does so in a
// small buffer and hands every kilobyte or so to the system as a write of
// its own: over a million writes for a 64 GiB machine's dump, each of them
// costly (on a character device such as NUL, under Wine, very much so).
// Expanding here and writing the standard output handle directly gives the
// same bytes in a write per megabyte: the 64 GiB dump under Wine (through
// qemu-i386) went from 11.2 s to 6.6 s into a tmpfs file and from 241 s to
// 5.2 s into /dev/null (bench/win32_bench.sh). Nothing else writes to the
// runtime's stdout, so there is nothing of its to flush or to interleave with.

namespace {

// Input taken per write; its expansion is at most twice as long.
const size_t kPiece = 1 << 20;
char g_expanded[2 * kPiece];

// Zero bytes of x as 0x80, every other byte as 0 (exact, unlike the
// shorter test that only tells whether there is one).
inline uint32_t ZeroBytes(uint32_t x) {
  return ~(((x & 0x7F7F7F7Fu) + 0x7F7F7F7Fu) | x) & 0x80808080u;
}

// Every byte as it is, each '\n' preceded by '\r'. Returns the bytes put
// in out, which must have room for 2 * count.
size_t ExpandLineEnds(const char* in, size_t count, char* out) {
  char* const start = out;
  const char* const end = in + count;
  // A line holds dozens of bytes: take eight at a time, copying them whole
  // and then placing the first '\n' among them, if any, by arithmetic.
  const uint32_t newlines = 0x0A0A0A0Au;
  while (end - in >= 8) {
    uint32_t words[2];
    memcpy(words, in, 8);
    memcpy(out, words, 8);
    const uint32_t low = ZeroBytes(words[0] ^ newlines);
    const uint32_t high = ZeroBytes(words[1] ^ newlines);
    if ((low | high) == 0) {
      in += 8;
      out += 8;
      continue;
    }
    const uint32_t at = low != 0 ? __builtin_ctz(low) >> 3 : 4 + (__builtin_ctz(high) >> 3);
    out[at] = '\r';
    out[at + 1] = '\n';
    in += at + 1;
    out += at + 2;
  }
  while (in != end) {
    const char c = *in++;
    if (c == '\n') *out++ = '\r';
    *out++ = c;
  }
  return out - start;
}

int WriteAll(HANDLE handle, const char* bytes, size_t count) {
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0)
      return -1;
    bytes += written;
    count -= written;
  }
  return 0;
}

}  // namespace

int StandardOutputWrite(const char* bytes, size_t count) {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  while (count > 0) {
    const size_t piece = count < kPiece ? count : kPiece;
    if (WriteAll(handle, g_expanded, ExpandLineEnds(bytes, piece, g_expanded)) != 0) return -1;
    bytes += piece;
    count -= piece;
  }
  return 0;
}

// Nothing is held back.
int StandardOutputFlush() { return 0; }
