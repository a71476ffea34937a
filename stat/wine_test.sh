#!/usr/bin/env bash
# wine_test.sh PFNSTAT_EXE RUNNER DATA_DIR: runs the Windows build of pfnstat
# through RUNNER (the Wine wrapper) on a dump saved on Windows ("\r\n" line
# ends), from a file and from standard input, and compares every byte of its
# output and its exit status. Standard output is in binary mode: "\n" line
# ends, the same bytes as on every other system.
set -uo pipefail

exe=$(realpath "$1")
runner=$(realpath "$2")
data=$(realpath "$3")
failures=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed 's/$/\r/' "$data/small.dump" >"$work/small.dump"
cd "$work"

# check NAME STATUS EXPECTED_STDOUT_FILE ARGS...; stdin from $stdin.
check() {
  local name=$1 want_status=$2 want_file=$3
  shift 3
  "$runner" "$exe" "$@" <"${stdin:-/dev/null}" >got 2>err
  local status=$?
  if [[ $status -ne $want_status ]]; then
    echo "FAIL $name: exit status $status, expected $want_status"; cat err
    failures=$((failures + 1))
  elif ! cmp -s got "$want_file"; then
    echo "FAIL $name: output differs"
    diff <(od -c "$want_file") <(od -c got) | head -20
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

stdin=small.dump check "views from standard input" 0 "$data/small_views.txt" -
check "processes as CSV from a file" 0 "$data/small_processes.csv" --csv processes small.dump
stdin=small.dump check "map and views" 0 "$data/small_views.txt" --map small.png -
if [[ $(head -c 8 small.png | od -An -tx1 | tr -d ' \n') != 89504e470d0a1a0a ]]; then
  echo "FAIL map: small.png is not a PNG"; failures=$((failures + 1))
fi

check "missing dump" 2 /dev/null nothere.dump
if ! grep -q '^pfnstat: cannot open nothere.dump: No such file or directory' err; then
  echo "FAIL missing dump: stderr says: $(cat err)"; failures=$((failures + 1))
fi

exit $((failures > 0))
