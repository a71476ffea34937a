#include "native/console.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "native/line_end.h"

namespace {

// Large enough that the report reaches the sink in big writes.
const size_t kBufferSize = 1 << 20;
char g_buffer[kBufferSize];
size_t g_used = 0;
bool g_writeFailed = false;
ConsoleSink g_sink = nullptr;

int StdoutSink(const char* bytes, size_t count) { return StandardOutputWrite(bytes, count); }

void Drain() {
  if (g_used == 0) return;
  ConsoleSink sink = g_sink != nullptr ? g_sink : StdoutSink;
  if (sink(g_buffer, g_used) != 0) g_writeFailed = true;
  g_used = 0;
}

inline void PutByte(char c) {
  if (g_used == kBufferSize) Drain();
  g_buffer[g_used++] = c;
}

// Every "\n" of a message, in its format or in a string it prints, becomes
// the platform's line end here, as a text stream would write it; the buffer
// then holds the bytes standard output takes.
inline void PutText(char c) {
  if (kLineEndLength > 1 && c == '\n') PutByte(kLineEnd[0]);
  PutByte(c);
}

inline void PutChar(char c) { PutText(c); }

// The "C" locale maps the values 0 to 255 one to one onto bytes and has no
// byte for anything above.
inline void PutChar(wchar_t c) {
  uint32_t value = static_cast<uint32_t>(c);
  PutText(value <= 0xFF ? static_cast<char>(value) : '?');
}

void PutHex(unsigned long long value, bool upper) {
  const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[16];
  int count = 0;
  do {
    digits[count++] = table[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (count > 0) PutByte(digits[--count]);
}

template <typename CharT>
void PutString(const CharT* text, int precision) {
  if (text == nullptr) return;
  // The precision is checked first: an unterminated name of exactly that
  // many characters has no byte after it to look at.
  for (int length = 0; (precision < 0 || length < precision) && text[length] != 0; ++length)
    PutChar(text[length]);
}

// The conversions the program's messages use, and no more: %s with an
// optional precision, %x and %X of an unsigned int, %llx and %llX of an
// unsigned long long.
template <typename CharT>
void Format(const CharT* format, va_list* args) {
  for (const CharT* p = format; *p != 0; ++p) {
    if (*p != '%') {
      PutChar(*p);
      continue;
    }
    const CharT* start = p++;
    int precision = -1;
    if (*p == '.') {
      precision = 0;
      // Formats are the program's own: no precision comes near overflowing.
      for (++p; *p >= '0' && *p <= '9'; ++p) precision = precision * 10 + (*p - '0');
    }
    if (*p == 's') {
      PutString(va_arg(*args, const CharT*), precision);
    } else if ((*p == 'x' || *p == 'X') && precision < 0) {
      PutHex(va_arg(*args, unsigned), *p == 'X');
    } else if (*p == 'l' && p[1] == 'l' && (p[2] == 'x' || p[2] == 'X') && precision < 0) {
      p += 2;
      PutHex(va_arg(*args, unsigned long long), *p == 'X');
    } else {
      // Not a conversion this program uses: show it as written.
      for (const CharT* q = start; q <= p && *q != 0; ++q) PutChar(*q);
      if (*p == 0) return;
    }
  }
}

}  // namespace

void ConsoleWPrintf(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  Format(format, &args);
  va_end(args);
}

void ConsolePrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Format(format, &args);
  va_end(args);
}

void ConsoleWrite(const char* bytes, size_t count) {
  while (count > 0) {
    if (g_used == kBufferSize) Drain();
    size_t room = kBufferSize - g_used;
    size_t take = count < room ? count : room;
    memcpy(g_buffer + g_used, bytes, take);
    g_used += take;
    bytes += take;
    count -= take;
  }
}

char* ConsoleReserve(size_t bytes) {
  if (kBufferSize - g_used < bytes) Drain();
  return g_buffer + g_used;
}

void ConsoleCommit(size_t bytes) { g_used += bytes; }

int ConsoleFlush() {
  Drain();
  if (g_sink == nullptr && StandardOutputFlush() != 0) g_writeFailed = true;
  return g_writeFailed ? -1 : 0;
}

void SetConsoleSink(ConsoleSink sink) {
  Drain();
  g_sink = sink;
}

void ConsoleClearError() { g_writeFailed = false; }
