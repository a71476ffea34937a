#include <cstdio>

#include "stat/pfnstat.h"

int main(int argc, char** argv) {
  UseBinaryStdio();
  return RunPfnstat(argc, argv, stdin, stdout, stderr);
}
