// The host entry: the arguments, written back into one line as a Windows
// command line is written, stand in for the raw command line a Windows
// process gets, so the same typed command gives the same tokens.
#include <cstdlib>

#include "cli/command_line.h"
#include "cli/pfndb.h"

int main(int argc, char** argv) {
  size_t length = JoinCommandLine(argc, argv, nullptr, 0);
  wchar_t* commandLine = static_cast<wchar_t*>(malloc(length * sizeof(wchar_t)));
  // Nothing has been printed yet, and without its command line the run
  // cannot start.
  if (commandLine == nullptr) return -1;
  JoinCommandLine(argc, argv, commandLine, length);
  int status = RunPfndbAndFlush(argc, commandLine);
  free(commandLine);
  return status;
}
