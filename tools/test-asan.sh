#!/usr/bin/env bash
# The whole test suite built under AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer (preset asan): any finding aborts the test that met it.
# The programs the run tests start inherit the preset's ASAN_OPTIONS.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2
