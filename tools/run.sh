#!/usr/bin/env bash
# Installs what the host build needs, builds pfndb with its stand-in ntdll,
# and runs it: `tools/run.sh` dumps the simulated machine (-p); any other
# arguments are passed on instead.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup-host.sh >&2
cmake --preset default >/dev/null
cmake --build --preset default >&2
if (($#)); then exec build/pfndb "$@"; else exec build/pfndb -p; fi
