#!/usr/bin/env bash
# wine_test.sh PFNSTAT_EXE RUNNER DATA_DIR: runs the Windows build of pfnstat
# through RUNNER (the Wine wrapper) on a dump saved on Windows ("\r\n" line
# ends), from a file and from standard input, and compares every byte of its
# output and its exit status. Standard output is in binary mode: "\n" line
# ends, the same bytes as on every other system. Then on files under names
# outside the ANSI code page.
set -uo pipefail
# Wine takes the arguments' encoding from the locale, and its ANSI code page
# (1252) from the language; C.UTF-8 is on every system.
export LC_ALL=C.UTF-8

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

# A dump and a map under a folder the ANSI code page cannot name: the
# runtime's narrow arguments would have it as ????, which names nothing.
mkdir Олег
cp small.dump Олег/
check "dump and map under Олег" 0 "$data/small_processes.csv" --csv processes --map Олег/small.png \
  Олег/small.dump
if [[ $(head -c 8 Олег/small.png 2>/dev/null | od -An -tx1 | tr -d ' \n') != 89504e470d0a1a0a ]]; then
  echo "FAIL map under Олег: no PNG there"; failures=$((failures + 1))
fi
# Without a console the name is shown in the ANSI code page: ë as one byte.
check "missing dump under Zoë" 2 /dev/null Zoë/nothere.dump
if ! grep -q $'^pfnstat: cannot open Zo\xeb/nothere.dump: No such file' err; then
  echo "FAIL missing dump under Zoë: stderr says: $(od -c err | head -3)"; failures=$((failures + 1))
fi

exit $((failures > 0))
