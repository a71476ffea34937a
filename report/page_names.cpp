#include "report/page_names.h"

const wchar_t* const PageListNames[kListCount] = {
    L"Zero list ",          L"Free list ",    L"Standby list ", L"Modified list ",
    L"Modified page list ", L"Bad pagelist ", L"Active  list ", L"Transition list ",
};

const wchar_t* const PageUseNames[kNoValueUse] = {
    L"Process Private", L"Mem mapped",   L"PF mem mapped",   L"Page tabke", L"Paged Pool",
    L"Non paged pool",  L"System pte",   L"Session private", L"metafile",   L"AWE",
    L"Kernel Locked",   L"Kernel stack",
};

size_t NarrowName(const wchar_t* name, size_t limit, char* out) {
  size_t n = 0;
  for (; n < limit && name[n] != L'\0'; ++n) out[n] = static_cast<char>(name[n] & 0xFF);
  return n;
}
