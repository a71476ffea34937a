#include "cli/options.h"

#include <cwchar>

namespace {

bool IsDelimiter(wchar_t c, const wchar_t* delimiters) {
  for (const wchar_t* d = delimiters; *d != L'\0'; ++d)
    if (*d == c) return true;
  return false;
}

}  // namespace

wchar_t* TokenizeWide(wchar_t* text, const wchar_t* delimiters, wchar_t** context) {
  wchar_t* p = text != nullptr ? text : *context;
  if (p == nullptr) return nullptr;
  while (*p != L'\0' && IsDelimiter(*p, delimiters)) ++p;
  if (*p == L'\0') {
    *context = p;
    return nullptr;
  }
  wchar_t* token = p;
  while (*p != L'\0' && !IsDelimiter(*p, delimiters)) ++p;
  if (*p != L'\0') *p++ = L'\0';
  *context = p;
  return token;
}

RunMode ScanRunMode(int argumentCount, wchar_t* commandLine, const wchar_t** programToken) {
  wchar_t* programContext = nullptr;
  *programToken = TokenizeWide(commandLine, L" ", &programContext);

  struct Option {
    const wchar_t* text;
    RunMode mode;
  };
  static const Option kOptions[] = {
      {L"-p", ModeDumpPfn}, {L"-a", ModeUsage}, {L"-w", ModeWarranty}, {L"-c", ModeConditions}};

  // The tokens continue where the program token ended.
  wchar_t* remainder = programContext;
  wchar_t* scanContext = nullptr;
  for (int k = 1; k < argumentCount; ++k) {
    wchar_t* token = TokenizeWide(remainder, L" ", &scanContext);
    remainder = nullptr;
    if (token == nullptr) continue;
    for (const Option& option : kOptions)
      if (wcscmp(token, option.text) == 0) return option.mode;
  }
  return ModeUsage;
}
