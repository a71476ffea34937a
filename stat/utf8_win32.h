// Text between the UTF-8 that pfnstat carries file names in on Windows and
// the system's UTF-16 and code pages.
#ifndef PFNDB_STAT_UTF8_WIN32_H_
#define PFNDB_STAT_UTF8_WIN32_H_

// Returns text, UTF-8, as UTF-16 in a block the caller frees with free(), or
// null with errno set: ENOMEM, or EINVAL when text is not UTF-8.
wchar_t* WideFromUtf8(const char* text);

// Returns text, UTF-16, in the code page codePage (CP_UTF8 included), each
// character it lacks as the code page's stand-in ('?'), in a block the
// caller frees with free(); or null when out of memory or when the code
// page is not one the system has.
char* CodePageFromWide(const wchar_t* text, unsigned codePage);

#endif  // PFNDB_STAT_UTF8_WIN32_H_
