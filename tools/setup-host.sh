#!/usr/bin/env bash
# Installs what the host build, its tests, the sanitizer build, the fuzz
# targets and the benchmark need, when it is missing. Idempotent.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config libgtest-dev googletest
          clang libclang-rt-14-dev llvm zlib1g-dev time)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep 'install ok installed' >/dev/null || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup-host: missing packages (${missing[*]}) and not root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq || { echo "setup-host: apt-get update failed" >&2; exit 1; }
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
    { echo "setup-host: cannot install ${missing[*]}" >&2; exit 1; }
fi
