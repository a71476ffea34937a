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

check() {  # check NAME STATUS EXPECTED MACHINE: the machine's -p dump
  local status
  "$runner" "$launcher" "$(win "$4")" "$(win "$exe")" -p >"$work/got" </dev/null
  status=$?
  if [[ $status -ne $2 ]] || ! cmp "$work/got" "$3"; then
    echo "FAIL $1: exit status $status (expected $2)"
    failures=$((failures + 1))
  else
    echo "ok   $1"
  fi
}
# scripted NAME STATUS LINE...: a scripted machine's dump is the banner and LINEs.
scripted() {
  { banner; printf '%s\n' "${@:3}"; } | crlf >"$work/want"
  check "$1" "$2" "$work/want" "$scripted/machine_$1.dll"
}

# The default machine: the host build's dump, line ends and program token as
# Windows has them.
if [[ ! -x $host/pfndb || ! -e $host/libntdll.so ]]; then
  cmake -S "$(dirname "$0")/.." -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$host" --target pfndb ntdll >/dev/null || exit 1
fi
"$host/pfndb" -p >"$work/host" || { echo "FAIL the host build's dump"; exit 1; }
{ banner | head -1; tail -n +2 "$work/host"; } | crlf >"$work/dump"
check "default machine" 0 "$work/dump" "$machine"

probe='NativeQuerySuperFecthInformation failed c0000023'
scripted ranges_fetch_fails 255 "$probe" 'NativeQuerySuperFecthInformation failed c000009a' \
  'failed to get memory range ...'
scripted pfn_query_fails 255 "$probe" 'NativeQuerySuperFecthInformation failed c0000001' \
  'NativeQuerySuperFecthInformation get pfn database failed' 'SetUp Pfn Database failed ...'
# A probe that brings the whole answer is taken as the answer.
scripted sources_in_the_probe 0 "$probe" 'Client ID 2C0 Name: init ' 'size 1a' \
  'Address        List         Type       Process      VA ' \
  '0000000000001000 Active  list  Process Private  init  00000000000007F0 ' \
  '0000000000002000 Modified page l No Value 00000000C0001000 ' \
  '0000000000003000 Transition list Page tabke  00000000C0300000 '
# The machine refuses class 79 only once both privileges were refused.
scripted privileges_refused 255 'NativeQuerySuperFecthInformation failed c0000061' \
  'failed to get memory range ...'

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
