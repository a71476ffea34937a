#include <fcntl.h>
#include <io.h>

#include "stat/pfnstat.h"

// In text mode the runtime would drop the CR of every "\r\n" read (and stop
// at a Ctrl-Z byte) and write "\n" as "\r\n": the CSV would not be the same
// bytes as on other systems. Messages keep the console's line ends.
void UseBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}
