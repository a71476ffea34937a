#include "report/page_names.h"

const wchar_t* const PageListNames[8] = {
    L"Zero list ",          L"Free list ",    L"Standby list ", L"Modified list ",
    L"Modified page list ", L"Bad pagelist ", L"Active  list ", L"Transition list ",
};

const wchar_t* const PageUseNames[12] = {
    L"Process Private", L"Mem mapped",   L"PF mem mapped",   L"Page tabke", L"Paged Pool",
    L"Non paged pool",  L"System pte",   L"Session private", L"metafile",   L"AWE",
    L"Kernel Locked",   L"Kernel stack",
};
