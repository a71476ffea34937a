#!/usr/bin/env bash
# win64_test.sh LAUNCHER PFNDB64 PFNSTAT64 MACHINE RUNNER HOST_BUILD WIN32_BUILD
# The x64 programs under Wine64 (RUNNER, tools/wine64-run), through the x64
# launcher with the stand-in DLL: for every 64-bit generation the stand-in
# plays, pfndb64.exe -p must be the host's pfndb64 -p (line ends and program
# token as Windows has them) and pfnstat64.exe --live the host's pfnstat64
# --live, byte for byte, with the same exit status. Then the 32-bit pair of
# WIN32_BUILD in the same prefix: beside their siblings they hand the run
# over, alone they run themselves and say which program to use. Last, the
# release archive (packed by the win32 build) must hold the x64 pair tested.
set -uo pipefail

launcher=$1 exe=$2 stat=$3 machine=$4 runner=$5 host=$6 win32=$(realpath "$7")
failures=0
unset PFNDB_STANDIN_PAGES PFNDB_STANDIN_PROCESSES PFNDB_STANDIN_LATER PFNDB_STANDIN_OWNERS \
  PFNDB_TRACE LD_LIBRARY_PATH
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
result() {  # result OK NAME: counts a failure unless OK is 0
  if [[ $1 -eq 0 ]]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}

root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -x $host/pfndb64 || ! -x $host/pfnstat64 || ! -e $host/libntdll.so ]]; then
  cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$host" --target pfndb64 pfnstat64 ntdll >/dev/null || exit 1
fi
if [[ ! -f $win32/pfndb.exe || ! -f $win32/pfnstat.exe ]]; then
  (cd "$root" && cmake --preset win32 >/dev/null &&
    cmake --build --preset win32 --target pfndb pfnstat >/dev/null) || exit 1
fi

# same NAME HOST_STATUS: the launched run's output and status are the host's.
same() {
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
  # The launcher gives the program its full path in quotes, as Wine does.
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

# The handover, against Wine's own ntdll: which process asked shows in the
# trace's class-0 query, 64 bytes long from an x64 process, 44 from an x86 one.
TRACE_CLASS0='s/^trace: class 0, length \([0-9]*\):.*/\1/p'
mkdir -p "$work/beside" "$work/alone"
cp "$win32/pfndb.exe" "$win32/pfnstat.exe" "$work/alone/"
cp "$win32/pfndb.exe" "$win32/pfnstat.exe" "$exe" "$stat" "$work/beside/"
hint="this is 64-bit Windows, whose page-frame database a 32-bit program cannot read;"
# handover DIR PROGRAM LENGTH HINT ARGS...: DIR/PROGRAM.exe ARGS... asks with
# LENGTH bytes, and HINT is its one line about 64-bit Windows (or none).
handover() {
  local dir=$1 program=$2 length=$3 want=$4 got ok
  shift 4
  PFNDB_TRACE=1 "$runner" "$(win "$dir/$program.exe")" "$@" </dev/null >/dev/null 2>"$work/err"
  got=$(tr -d '\r' <"$work/err" | sed -n "$TRACE_CLASS0" | head -1)
  [[ $got == "$length" && $(tr -d '\r' <"$work/err" | grep -F '64-bit Windows') == "$want" ]]
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
  python3 -c 'import sys, zipfile, glob
sys.stdout.buffer.write(zipfile.ZipFile(glob.glob(sys.argv[1] + "/*.zip")[0]).read(sys.argv[2]))' \
    "$work/pack" "$(basename "$tested")" | cmp -s - "$tested"
  result $? "the release archive holds $(basename "$tested") as tested"
done
exit $((failures > 0))
