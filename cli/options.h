// Choosing what a run does from the raw command line.
#ifndef PFNDB_CLI_OPTIONS_H_
#define PFNDB_CLI_OPTIONS_H_

enum RunMode {
  ModeDumpPfn = 0,     // -p
  ModeWarranty = 1,    // -w
  ModeConditions = 2,  // -c
  ModeUsage = 3,       // -a, and the default
};

// Splits text in place at runs of the characters in delimiters, the way
// wcstok_s does: leading delimiters are skipped, the token is terminated in
// place and the remainder is left in *context. Pass text for the first call
// and null afterwards. Returns null once no token is left, and keeps doing so.
wchar_t* TokenizeWide(wchar_t* text, const wchar_t* delimiters, wchar_t** context);

// Takes the program token off commandLine (modified in place) into
// *programToken (null when the line holds no token at all), then examines at
// most argumentCount - 1 further space-separated tokens: the first that is
// exactly "-p", "-a", "-w" or "-c" picks the mode; others are skipped. Quotes
// are not honoured and only the space separates.
RunMode ScanRunMode(int argumentCount, wchar_t* commandLine, const wchar_t** programToken);

#endif  // PFNDB_CLI_OPTIONS_H_
