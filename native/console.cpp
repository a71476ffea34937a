#include "native/console.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

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

inline void PutChar(char c) { PutByte(c); }

// The "C" locale maps the values 0 to 255 one to one onto bytes and has no
// byte for anything above.
inline void PutChar(wchar_t c) {
  uint32_t value = static_cast<uint32_t>(c);
  PutByte(value <= 0xFF ? static_cast<char>(value) : '?');
}

void PutRepeated(char c, int count) {
  for (int i = 0; i < count; ++i) PutByte(c);
}

struct Conversion {
  bool leftAlign = false;
  bool zeroPad = false;
  int width = 0;
  int precision = -1;
  int longs = 0;  // 0: int, 1: long, 2: long long, 3: size_t
};

void PutDigits(const Conversion& conversion, const char* digits, int count, bool negative) {
  int zeros = conversion.precision > count ? conversion.precision - count : 0;
  int length = count + zeros + (negative ? 1 : 0);
  int pad = conversion.width > length ? conversion.width - length : 0;
  if (!conversion.leftAlign && !(conversion.zeroPad && conversion.precision < 0)) PutRepeated(' ', pad);
  if (negative) PutByte('-');
  if (!conversion.leftAlign && conversion.zeroPad && conversion.precision < 0) PutRepeated('0', pad);
  PutRepeated('0', zeros);
  for (int i = 0; i < count; ++i) PutByte(digits[i]);
  if (conversion.leftAlign) PutRepeated(' ', pad);
}

void PutUnsigned(const Conversion& conversion, unsigned long long value, unsigned base, bool upper,
                 bool negative) {
  const char* table = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  int count = 0;
  // With a precision of 0, the value 0 prints no digit at all.
  if (!(value == 0 && conversion.precision == 0)) {
    char reversed[24];
    do {
      reversed[count++] = table[value % base];
      value /= base;
    } while (value != 0);
    for (int i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  }
  PutDigits(conversion, digits, count, negative);
}

unsigned long long TakeUnsigned(const Conversion& conversion, va_list* args) {
  switch (conversion.longs) {
    case 0: return va_arg(*args, unsigned int);
    case 1: return va_arg(*args, unsigned long);
    case 2: return va_arg(*args, unsigned long long);
    default: return va_arg(*args, size_t);
  }
}

long long TakeSigned(const Conversion& conversion, va_list* args) {
  switch (conversion.longs) {
    case 0: return va_arg(*args, int);
    case 1: return va_arg(*args, long);
    case 2: return va_arg(*args, long long);
    default: return static_cast<long long>(va_arg(*args, size_t));
  }
}

template <typename CharT>
void PutString(const Conversion& conversion, const CharT* text) {
  static const CharT kEmpty[1] = {0};
  if (text == nullptr) text = kEmpty;
  int length = 0;
  // The precision is checked first: an unterminated name of exactly that
  // many characters has no byte after it to look at.
  while ((conversion.precision < 0 || length < conversion.precision) && text[length] != 0) ++length;
  int pad = conversion.width > length ? conversion.width - length : 0;
  if (!conversion.leftAlign) PutRepeated(' ', pad);
  for (int i = 0; i < length; ++i) PutChar(text[i]);
  if (conversion.leftAlign) PutRepeated(' ', pad);
}

template <typename CharT>
void Format(const CharT* format, va_list* args) {
  for (const CharT* p = format; *p != 0; ++p) {
    if (*p != '%') {
      PutChar(*p);
      continue;
    }
    const CharT* start = p;
    Conversion conversion;
    ++p;
    for (;; ++p) {
      if (*p == '-') conversion.leftAlign = true;
      else if (*p == '0') conversion.zeroPad = true;
      else break;
    }
    while (*p >= '0' && *p <= '9') conversion.width = conversion.width * 10 + (*p++ - '0');
    if (*p == '.') {
      ++p;
      conversion.precision = 0;
      while (*p >= '0' && *p <= '9') conversion.precision = conversion.precision * 10 + (*p++ - '0');
    }
    if (*p == 'l') {
      ++p;
      conversion.longs = 1;
      if (*p == 'l') {
        ++p;
        conversion.longs = 2;
      }
    } else if (*p == 'z') {
      ++p;
      conversion.longs = 3;
    }
    switch (*p) {
      case 's': PutString(conversion, va_arg(*args, const CharT*)); break;
      case 'c': PutChar(static_cast<CharT>(va_arg(*args, int))); break;
      case 'x': PutUnsigned(conversion, TakeUnsigned(conversion, args), 16, false, false); break;
      case 'X': PutUnsigned(conversion, TakeUnsigned(conversion, args), 16, true, false); break;
      case 'u': PutUnsigned(conversion, TakeUnsigned(conversion, args), 10, false, false); break;
      case 'd': {
        long long value = TakeSigned(conversion, args);
        unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value);
        PutUnsigned(conversion, magnitude, 10, false, value < 0);
        break;
      }
      case '%': PutByte('%'); break;
      default:
        // Not a conversion this program uses: show it as written.
        for (const CharT* q = start; q <= p && *q != 0; ++q) PutChar(*q);
        if (*p == 0) return;
        break;
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
