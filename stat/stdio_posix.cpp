#include "stat/pfnstat.h"

// Streams carry bytes as they are here already.
void UseBinaryStdio() {}
