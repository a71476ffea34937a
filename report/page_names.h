// The names pfndb gives the memory lists and the page uses, shared by the
// report and by the programs that read it back.
#ifndef PFNDB_REPORT_PAGE_NAMES_H_
#define PFNDB_REPORT_PAGE_NAMES_H_

#include <cstddef>

// The memory lists 0-7 (bits 4-6 of word 0), and the page uses 0-11 (bits
// 0-3) followed by kNoValueUse, which stands for uses 12 to 15: they have
// no name, and a page of one is printed "No Value".
const unsigned kListCount = 8;
const unsigned kNoValueUse = 12;
const unsigned kUseCount = kNoValueUse + 1;

extern const wchar_t* const PageListNames[kListCount];
extern const wchar_t* const PageUseNames[kNoValueUse];
inline constexpr char kNoValueName[] = "No Value";

// Writes the first `limit` characters of name (fewer at its end) to out as
// the "C" locale narrows them, each character below 256 becoming the byte of
// that value; the names are plain ASCII. Returns how many were written.
size_t NarrowName(const wchar_t* name, size_t limit, char* out);

#endif  // PFNDB_REPORT_PAGE_NAMES_H_
