#!/usr/bin/env bash
# exe_test.sh PFNDB_EXE RUNNER: runs the Windows build through RUNNER (the
# Wine wrapper) against the system's real ntdll and compares every byte of
# its output, line ends included, and its exit status.
set -uo pipefail

exe=$1
runner=$2
data=$(cd "$(dirname "$0")/data" && pwd)
failures=0

# Wine hands the program its full path, quoted, as the first token.
winpath="\"Z:$(cd "$(dirname "$exe")" && pwd | tr / '\\')\\$(basename "$exe")\""

crlf() { sed 's/$/\r/'; }

banner() {
  printf '%s  Copyright (C) 2026 The pfndb authors \n' "$winpath"
  printf 'This program comes with ABSOLUTELY NO WARRANTY; for details run it with -w.\n'
  printf 'It is free software under the GNU General Public License, version 3 or later.\n'
}

check() {
  local name=$1 want_status=$2 want_file=$3
  shift 3
  local got status
  got=$(mktemp)
  "$runner" "$exe" "$@" >"$got" </dev/null
  status=$?
  if [[ $status -ne $want_status ]]; then
    echo "FAIL $name: exit status $status, expected $want_status"
    failures=$((failures + 1))
  elif ! cmp -s "$got" "$want_file"; then
    echo "FAIL $name: output differs"
    diff <(od -c "$want_file") <(od -c "$got") | head -20
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
  rm -f "$got"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

{ banner; printf 'usage: %s -p Dump Pfn Database \n' "$winpath"; } | crlf >"$work/usage"
check "no option" 0 "$work/usage"
check "-a before -p" 0 "$work/usage" -a -p

{ banner; cat "$data/warranty.txt"; } | crlf >"$work/warranty"
check "-w" 0 "$work/warranty" -w

{ banner; printf ' \n'; } | crlf >"$work/conditions"
check "-c" 0 "$work/conditions" -c

# Wine knows class 0 but answers class 79 with STATUS_INVALID_INFO_CLASS and
# no length: the dump stops at the ranges probe, and -1 becomes status 255.
{ banner
  printf 'NativeQuerySuperFecthInformation failed c0000003\n'
  printf 'failed to get memory range ...\n'; } | crlf >"$work/dump"
check "-p" 255 "$work/dump" -p

exit $((failures > 0))
