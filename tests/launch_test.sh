#!/usr/bin/env bash
# launch_test.sh LAUNCHER EXE MACHINE SCRIPTED_DIR RUNNER HOST_BUILD CPACK_CONFIG
# Runs the Windows build through the launcher (under RUNNER, the Wine
# wrapper) against simulated machines, comparing every byte and the exit
# status, and checks that the exe tested is the one the release archive holds.
set -uo pipefail

launcher=$1 exe=$2 machine=$3 scripted=$4 runner=$5 host=$6 cpack_config=$(realpath "$7")
failures=0
# The default machine on both sides.
unset PFNDB_STANDIN_PAGES PFNDB_STANDIN_PROCESSES PFNDB_STANDIN_LATER
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The launcher gives the program its full path in quotes, as Wine does.
token="\"$(win "$exe")\""
crlf() { sed 's/$/\r/'; }
banner() {
  printf '%s  Copyright (C) 2026 The pfndb authors \n' "$token"
  printf 'This program comes with ABSOLUTELY NO WARRANTY; for details run it with -w.\n'
  printf 'It is free software under the GNU General Public License, version 3 or later.\n'
}

check() {  # check NAME STATUS EXPECTED MACHINE ARGS...
  local name=$1 want_status=$2 want=$3 dll=$4 status
  shift 4
  "$runner" "$launcher" "$(win "$dll")" "$(win "$exe")" "$@" >"$work/got" </dev/null
  status=$?
  if [[ $status -ne $want_status ]] || ! cmp -s "$work/got" "$want"; then
    echo "FAIL $name: exit status $status (expected $want_status); first differences:"
    cmp "$work/got" "$want" | head -3
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

# The default machine: the host build's dump, line ends and program token as
# Windows has them.
if [[ ! -x $host/pfndb || ! -e $host/libntdll.so ]]; then
  cmake -S "$(dirname "$0")/.." -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$host" --target pfndb ntdll >/dev/null || exit 1
fi
"$host/pfndb" -p >"$work/host" || { echo "FAIL the host build's dump"; exit 1; }
{ banner | head -1; tail -n +2 "$work/host"; } | crlf >"$work/dump"
check "-p on the default machine" 0 "$work/dump" "$machine" -p

{ banner
  printf 'NativeQuerySuperFecthInformation failed c0000023\n'
  printf 'NativeQuerySuperFecthInformation failed c000009a\n'
  printf 'failed to get memory range ...\n'; } | crlf >"$work/ranges"
check "ranges fetch fails" 255 "$work/ranges" "$scripted/machine_ranges_fetch_fails.dll" -p

{ banner
  printf 'NativeQuerySuperFecthInformation failed c0000023\n'
  printf 'NativeQuerySuperFecthInformation failed c0000001\n'
  printf 'NativeQuerySuperFecthInformation get pfn database failed\n'
  printf 'SetUp Pfn Database failed ...\n'; } | crlf >"$work/pfn"
check "page-frame query fails" 255 "$work/pfn" "$scripted/machine_pfn_query_fails.dll" -p

# A probe that brings the whole answer is taken as the answer.
{ banner
  printf 'NativeQuerySuperFecthInformation failed c0000023\n'
  printf 'Client ID 2C0 Name: init \nsize 1a\n'
  printf 'Address        List         Type       Process      VA \n'
  printf '0000000000001000 Active  list  Process Private  init  00000000000007F0 \n'
  printf '0000000000002000 Modified page l No Value 00000000C0001000 \n'
  printf '0000000000003000 Transition list Page tabke  00000000C0300000 \n'; } | crlf >"$work/probe"
check "sources in the probe" 0 "$work/probe" "$scripted/machine_sources_in_the_probe.dll" -p

# The machine refuses class 79 only once both privileges were refused.
{ banner
  printf 'NativeQuerySuperFecthInformation failed c0000061\n'
  printf 'failed to get memory range ...\n'; } | crlf >"$work/refused"
check "privileges refused" 255 "$work/refused" "$scripted/machine_privileges_refused.dll" -p

# The archive's exe is the file tested here.
(cd "$work" && cpack -G ZIP --config "$cpack_config" -B "$work/pack" >/dev/null)
packed=$(python3 -c 'import sys, zipfile, glob
sys.stdout.buffer.write(zipfile.ZipFile(glob.glob(sys.argv[1] + "/*.zip")[0]).read("pfndb.exe"))' \
  "$work/pack" | sha256sum)
if [[ $packed != "$(sha256sum <"$exe")" ]]; then
  echo "FAIL the release archive's pfndb.exe differs from $exe"
  failures=$((failures + 1))
else
  echo "ok   release archive holds the exe tested"
fi
exit $((failures > 0))
