#include "stat/utf8_win32.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>

wchar_t* WideFromUtf8(const char* text) {
  const int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (count <= 0) {
    errno = EINVAL;
    return nullptr;
  }
  wchar_t* wide = static_cast<wchar_t*>(malloc(count * sizeof(wchar_t)));
  if (wide == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, count);
  return wide;
}

char* CodePageFromWide(const wchar_t* text, unsigned codePage) {
  const int count = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return nullptr;
  char* bytes = static_cast<char*>(malloc(count));
  if (bytes == nullptr) return nullptr;
  WideCharToMultiByte(codePage, 0, text, -1, bytes, count, nullptr, nullptr);
  return bytes;
}
