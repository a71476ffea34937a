#!/usr/bin/env bash
# Builds pfndb64.exe, pfnstat64.exe, their unit suites and the x64 launcher
# and stand-in for 64-bit Windows and runs them under Wine64, natively, in
# the 64-bit prefix; the handover test runs the 32-bit pair there too
# (build-win32, built when missing). Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-win32.sh
# The prefix must exist before CTest starts anything under Wine.
PFNDB_WINEARCH=win64 tools/wine-prefix.sh start
trap 'PFNDB_WINEARCH=win64 tools/wine-prefix.sh stop || true' EXIT

cmake --preset win64 >/dev/null
cmake --build --preset win64
ctest --preset win64
