#!/usr/bin/env bash
# win64_test.sh LAUNCHER PFNDB64 PFNSTAT64 MACHINE RUNNER HOST_BUILD WIN32_BUILD
# Under Wine64 (RUNNER), through the x64 launcher and MACHINE: on each 64-bit
# generation, pfndb64.exe -p and pfnstat64.exe --live as the host's pfndb64
# and pfnstat64, byte for byte (line ends and program token as Windows has
# them). Then WIN32_BUILD's 32-bit pair there, beside their siblings and
# alone; and the release archive's x64 pair is the one tested.
set -uo pipefail

launcher=$1 exe=$2 stat=$3 machine=$4 runner=$5 host=$6 win32=$(realpath "$7")
root=$(cd "$(dirname "$0")/.." && pwd)
failures=0
unset PFNDB_STANDIN_PAGES PFNDB_STANDIN_PROCESSES PFNDB_STANDIN_LATER PFNDB_STANDIN_OWNERS \
  PFNDB_TRACE LD_LIBRARY_PATH
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
result() {  # result OK NAME: counts a failure unless OK is 0
  if [[ $1 -eq 0 ]]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}
[[ -x $host/pfndb64 && -x $host/pfnstat64 ]] || { cmake -S "$root" -B "$host" -G Ninja &&
  cmake --build "$host" --target pfndb64 pfnstat64 ntdll; } >/dev/null || exit 1
[[ -f $win32/pfndb.exe && -f $win32/pfnstat.exe ]] || { cd "$root" && cmake --preset win32 &&
  cmake --build --preset win32 --target pfndb pfnstat; } >/dev/null || exit 1

same() {  # same NAME HOST_STATUS: the last run's output and status are the host's
  local status=$? ok
  cmp -s "$work/got" "$work/want" && [[ $status -eq $2 ]]
  ok=$?
  result $ok "$1 (status $status, host $2)"
  [[ $ok -eq 0 ]] || diff "$work/want" "$work/got" | head -6
}
for generation in x64-7 x64-1909 x64-24h2; do
  export PFNDB_STANDIN_WINDOWS=$generation
  "$host/pfndb64" -p >"$work/host"
  host_status=$?
  { printf '"%s" ' "$(win "$exe")"; head -1 "$work/host" | cut -d' ' -f2-; tail -n +2 "$work/host"; } |
    sed 's/$/\r/' >"$work/want"
  "$runner" "$launcher" "$(win "$machine")" "$(win "$exe")" -p >"$work/got" </dev/null
  same "pfndb64.exe -p on $generation" $host_status
  "$host/pfnstat64" --live >"$work/want"
  host_status=$?
  "$runner" "$launcher" "$(win "$machine")" "$(win "$stat")" --live >"$work/got" </dev/null
  same "pfnstat64.exe --live on $generation" $host_status
done
unset PFNDB_STANDIN_WINDOWS

# Against Wine's own ntdll, the trace's class-0 query tells which process
# asked: 64 bytes long from an x64 one, 44 from an x86 one.
mkdir -p "$work/beside" "$work/alone"
cp "$win32/pfndb.exe" "$win32/pfnstat.exe" "$work/alone/"
cp "$win32/pfndb.exe" "$win32/pfnstat.exe" "$exe" "$stat" "$work/beside/"
hint="this is 64-bit Windows, whose page-frame database a 32-bit program cannot read;"
# handover DIR PROGRAM LENGTH HINT ARGS...: DIR/PROGRAM.exe ARGS... asks with
# LENGTH bytes, and HINT is its one line about 64-bit Windows (or none).
handover() {
  local dir=$1 program=$2 length=$3 want=$4 got ok
  shift 4
  PFNDB_TRACE=1 "$runner" "$(win "$dir/$program.exe")" "$@" </dev/null 2>&1 >/dev/null |
    tr -d '\r' >"$work/err"
  got=$(sed -n 's/^trace: class 0, length \([0-9]*\):.*/\1/p' "$work/err" | head -1)
  [[ $got == "$length" && $(grep -F '64-bit Windows' "$work/err") == "$want" ]]
  ok=$?
  result $ok "$program.exe $* $(basename "$dir") its sibling (class-0 length '$got')"
  [[ $ok -eq 0 ]] || head -5 "$work/err"
}
handover "$work/beside" pfndb 64 "" -p
handover "$work/alone" pfndb 44 "pfndb: $hint run pfndb64.exe instead" -p
handover "$work/beside" pfnstat 64 "" --live
handover "$work/alone" pfnstat 44 "pfnstat: $hint for --live run pfnstat64.exe instead" --live

(cd "$work" && cpack -G ZIP --config "$win32/CPackConfig.cmake" -B "$work/pack" >/dev/null)
for tested in "$exe" "$stat"; do
  python3 -c 'import sys, zipfile, glob; sys.stdout.buffer.write(zipfile.ZipFile(glob.glob(
sys.argv[1])[0]).read(sys.argv[2]))' "$work/pack/*.zip" "$(basename "$tested")" | cmp -s - "$tested"
  result $? "the release archive holds $(basename "$tested") as tested"
done
exit $((failures > 0))
