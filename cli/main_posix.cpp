// The host entry: the arguments joined by single spaces stand in for the raw
// command line a Windows process gets.
#include <string>

#include "cli/pfndb.h"

int main(int argc, char** argv) {
  std::wstring commandLine;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) commandLine.push_back(L' ');
    // "C" locale: each byte is the wide character of the same value.
    for (const char* c = argv[i]; *c != '\0'; ++c)
      commandLine.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
  }
  return RunPfndbAndFlush(argc, &commandLine[0]);
}
