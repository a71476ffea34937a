// The names pfndb gives the memory lists and the page uses, shared by the
// report and by the programs that read it back.
#ifndef PFNDB_REPORT_PAGE_NAMES_H_
#define PFNDB_REPORT_PAGE_NAMES_H_

// Names of the memory lists (bits 4-6 of word 0) and of the page uses
// (bits 0-3); uses 12 to 15 have no name.
extern const wchar_t* const PageListNames[8];
extern const wchar_t* const PageUseNames[12];

#endif  // PFNDB_REPORT_PAGE_NAMES_H_
