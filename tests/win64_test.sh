#!/usr/bin/env bash
# win64_test.sh LAUNCHER PFNDB64 PFNSTAT64 MACHINE RUNNER HOST_BUILD WIN32_BUILD
# The x64 programs under Wine64 (RUNNER, tools/wine64-run), through the x64
# launcher with the stand-in DLL: for every 64-bit generation the stand-in
# plays, pfndb64.exe -p must be the host build's pfndb64 -p (line ends and
# program token as Windows has them) and pfnstat64.exe --live the host's
# pfnstat64 --live, byte for byte, with the same exit status. Then the 32-bit
# pfndb.exe and pfnstat.exe of WIN32_BUILD in the same 64-bit prefix: beside
# their siblings they hand the run over (their trace then shows the x64
# class-0 query), alone they run as 32-bit programs and add the one line
# that names the program to use. Last, the release archive (the win32
# build's) must hold the x64 pair tested here.
set -uo pipefail

launcher=$1 exe=$2 stat=$3 machine=$4 runner=$5 host=$6 win32=$7
failures=0
unset PFNDB_STANDIN_PAGES PFNDB_STANDIN_PROCESSES PFNDB_STANDIN_LATER PFNDB_STANDIN_OWNERS \
  PFNDB_TRACE
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

root=$(cd "$(dirname "$0")/.." && pwd)
if [[ ! -x $host/pfndb64 || ! -x $host/pfnstat64 || ! -e $host/libntdll.so ]]; then
  cmake -S "$root" -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$host" --target pfndb64 pfnstat64 ntdll >/dev/null || exit 1
fi
if [[ ! -f $win32/pfndb.exe || ! -f $win32/pfnstat.exe ]]; then
  (cd "$root" && cmake --preset win32 >/dev/null &&
    cmake --build --preset win32 --target pfndb pfnstat >/dev/null) || exit 1
fi

crlf() { sed 's/$/\r/'; }
for generation in x64-7 x64-1909 x64-24h2; do
  export PFNDB_STANDIN_WINDOWS=$generation
  "$host/pfndb64" -p >"$work/host"
  want_status=$?
  # The launcher gives the program its full path in quotes, as Wine does.
  { printf '"%s"' "$(win "$exe")"; head -1 "$work/host" | cut -d' ' -f2-; tail -n +2 "$work/host"; } |
    crlf >"$work/want"
  "$runner" "$launcher" "$(win "$machine")" "$(win "$exe")" -p >"$work/got" </dev/null
  status=$?
  if [[ $status -ne $want_status ]] || ! cmp -s "$work/got" "$work/want"; then
    fail "pfndb64.exe -p on $generation: status $status (host $want_status)"
    diff "$work/want" "$work/got" | head -6
  else
    echo "ok   pfndb64.exe -p on $generation"
  fi
  env -u LD_LIBRARY_PATH "$host/pfnstat64" --live >"$work/want"
  want_status=$?
  "$runner" "$launcher" "$(win "$machine")" "$(win "$stat")" --live >"$work/got" </dev/null
  status=$?
  if [[ $status -ne $want_status ]] || ! cmp -s "$work/got" "$work/want"; then
    fail "pfnstat64.exe --live on $generation: status $status (host $want_status)"
    diff "$work/want" "$work/got" | head -6
  else
    echo "ok   pfnstat64.exe --live on $generation"
  fi
done
unset PFNDB_STANDIN_WINDOWS

# The handover, against Wine's own ntdll: which process asked shows in the
# trace's class-0 query, 64 bytes long in an x64 process, 44 in an x86 one.
mkdir -p "$work/beside" "$work/alone"
cp "$win32/pfndb.exe" "$win32/pfnstat.exe" "$work/alone/"
cp "$win32/pfndb.exe" "$win32/pfnstat.exe" "$exe" "$stat" "$work/beside/"
# The trace's line for the class-0 query gives its length (PFNDB_TRACE).
TRACE_CLASS0='s/.*class 0 .*length \([0-9]*\).*/\1/p'
# handover DIR PROGRAM LENGTH HINT ARGS...: DIR/PROGRAM.exe ARGS..., traced:
# its class-0 query must be LENGTH bytes long, and its standard error must
# hold HINT as its only line about 64-bit Windows (none if HINT is empty).
handover() {
  local dir=$1 program=$2 length=$3 hint=$4 got about exact
  shift 4
  PFNDB_TRACE=1 "$runner" "$(win "$dir/$program.exe")" "$@" </dev/null >/dev/null 2>"$work/err"
  tr -d '\r' <"$work/err" >"$work/err.txt"
  got=$(sed -n "$TRACE_CLASS0" "$work/err.txt" | head -1)
  about=$(grep -c -F '64-bit Windows' "$work/err.txt")
  exact=0
  [[ -n $hint ]] && exact=$(grep -c -x -F -e "$hint" "$work/err.txt")
  if [[ $got != "$length" || $about -ne $exact || ( -n $hint && $exact -ne 1 ) ]]; then
    fail "$program.exe $* in $(basename "$dir"): class-0 length '$got' (want $length), stderr:"
    head -5 "$work/err.txt"
  else
    echo "ok   $program.exe $* in $(basename "$dir")"
  fi
}
handover "$work/beside" pfndb 64 "" -p
handover "$work/alone" pfndb 44 \
  "pfndb: this is 64-bit Windows, whose page-frame database a 32-bit program cannot read; run pfndb64.exe instead" -p
handover "$work/beside" pfnstat 64 "" --live
handover "$work/alone" pfnstat 44 \
  "pfnstat: this is 64-bit Windows, whose page-frame database a 32-bit program cannot read; for --live run pfnstat64.exe instead" --live
# The release archive, packed by the win32 build, holds the x64 pair tested.
(cd "$work" && cpack -G ZIP --config "$win32/CPackConfig.cmake" -B "$work/pack" >/dev/null)
for tested in "$exe" "$stat"; do
  packed=$(python3 -c 'import sys, zipfile, glob
sys.stdout.buffer.write(zipfile.ZipFile(glob.glob(sys.argv[1] + "/*.zip")[0]).read(sys.argv[2]))' \
    "$work/pack" "$(basename "$tested")" | sha256sum)
  if [[ $packed != "$(sha256sum <"$tested")" ]]; then
    fail "the release archive's $(basename "$tested") is not $tested"
  else
    echo "ok   release archive holds $(basename "$tested") as tested"
  fi
done
exit $((failures > 0))
