// pfnstat's Windows entry. On 64-bit Windows the 32-bit program hands a
// --live run to pfnstat64.exe (cli/handover.h); reading dumps needs no
// handover.
#include <cstdint>
#include <cstdio>

#include "cli/handover.h"
#include "stat/pfnstat.h"

int main(int argc, char** argv) {
  uint32_t siblingStatus = 0;
  if (PfnstatAsksLive(argc, argv) &&
      HandOverTo64(SystemHandover(), kPfnstatHandover, &siblingStatus) == kHandedOver)
    return static_cast<int>(siblingStatus);
  UseBinaryStdio();
  return RunPfnstat(argc, argv, stdin, stdout, stderr);
}
