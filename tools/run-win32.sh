#!/usr/bin/env bash
# run-win32.sh [--x64] [--pfnstat] [--machine DLL] [ARGS...]: runs
# build-win32/pfndb.exe ARGS... (with --pfnstat, build-win32/pfnstat.exe, for
# its --live; with --x64, build-win64/pfndb64.exe or pfnstat64.exe in the
# 64-bit prefix, natively, with x64 builds of the launcher and stand-in, any
# 64-bit DLL with the two exports playing the machine) under Wine through pfndb_launch.exe, with a simulated machine
# in ntdll's place: the stand-in (build-win32/pfndb_machine.dll, sized by
# PFNDB_STANDIN_PAGES and PFNDB_STANDIN_PROCESSES like libntdll.so), or the
# module DLL names (a Linux path). Standard output is the exe's, byte for
# byte (pfndb's with CR LF line ends, pfnstat's binary); the exit status is
# the exe's (255 for -1), or 126 when the launcher could not start it. Builds what is missing and starts the
# Wine prefix (PFNDB_WINEPREFIX, as tools/wine-run) first; their reports go
# to stderr.
#   tools/run-win32.sh -p > pfn.txt
#   tools/run-win32.sh --pfnstat --live
#   PFNDB_STANDIN_WINDOWS=x64-24h2 tools/run-win32.sh --x64 -p > pfn.txt
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=win32 suffix="" machine=""
program=pfndb
usage="usage: run-win32.sh [--x64] [--pfnstat] [--machine DLL] [ARGS...]"
while [[ $# -gt 0 ]]; do
  case $1 in
    --x64) preset=win64 suffix=64; export PFNDB_WINEARCH=win64; shift ;;
    --pfnstat) program=pfnstat; shift ;;
    --machine)
      [[ $# -ge 2 ]] || { echo "$usage" >&2; exit 2; }
      machine=$(realpath "$2")
      shift 2
      [[ -f $machine ]] || { echo "run-win32.sh: no module at $machine" >&2; exit 2; }
      ;;
    *) break ;;
  esac
done
build=$root/build-$preset
program=$program$suffix
machine=${machine:-$build/pfndb_machine.dll}
# Wine reads Linux paths through its Z: drive.
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }

(
  cd "$root"
  command -v i686-w64-mingw32-g++-posix >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
    command -v wine >/dev/null && [[ -x /usr/lib/wine/wine64 ]] || tools/setup-win32.sh
  [[ -f $build/build.ninja ]] || cmake --preset $preset >/dev/null
  cmake --build --preset $preset --target $program pfndb_launch pfndb_machine >/dev/null
  tools/wine-prefix.sh start
) >&2
exec "$root/tools/wine-run" "$build/pfndb_launch.exe" "$(win "$machine")" \
  "$(win "$build/$program.exe")" "$@"
