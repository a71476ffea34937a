#!/usr/bin/env bash
# Installs whatever is missing, then builds and runs every test: the host
# suite, the sanitizer suite, the fuzz targets for a bounded time, and the
# Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() { printf '\n==== %s ====\n' "$*"; }

stage "host set-up"
tools/setup-host.sh

stage "host build and tests"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default -j2

# Every stage must run: one that went missing, or lost its exec bit, fails
# the run rather than leaving it to say all passed without it.
for extra in tools/test-asan.sh tools/test-fuzz.sh tools/test-win32.sh tools/test-win64.sh; do
  if [[ ! -f $extra || ! -x $extra ]]; then
    echo "test: stage $extra is missing or not executable" >&2
    exit 1
  fi
  stage "$extra"
  "$extra"
done

stage "all tests passed"
