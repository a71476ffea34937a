#!/usr/bin/env bash
# win32_bench.sh [RUNS]: the shipped pfndb.exe's whole -p dump of the 64 GiB
# simulated machine (PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200),
# run under Wine through pfndb_launch.exe, against the host build's pfndb -p
# of the same machine, each as a process of its own writing into a file on a
# tmpfs (/dev/shm); then both again into /dev/null, a character device as
# NUL is on Windows. Each figure is the best of RUNS (default 3) runs, the two
# programs taking turns. Builds what is missing (host build in build/,
# Windows build in build-win32/) and starts the Wine prefix (PFNDB_WINEPREFIX).
# PFNDB_BENCH_EXE names another pfndb.exe to time in its place (an earlier
# build, say). Last line: win32_vs_host=R win32_s=A host_s=B, the tmpfs
# figures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
cd "$root"
{
  [[ -f build/build.ninja ]] || cmake --preset default >/dev/null
  cmake --build --preset default --target pfndb ntdll >/dev/null
  [[ -f build-win32/build.ninja ]] || cmake --preset win32 >/dev/null
  cmake --build --preset win32 --target pfndb pfndb_launch pfndb_machine >/dev/null
  tools/wine-prefix.sh start
} >&2

export PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200
unset PFNDB_STANDIN_LATER
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
launch=(tools/wine-run build-win32/pfndb_launch.exe "$(win build-win32/pfndb_machine.dll)"
        "$(win "${PFNDB_BENCH_EXE:-build-win32/pfndb.exe}")")
out=$(mktemp -p /dev/shm pfndb_bench.XXXXXX)
trap 'rm -f "$out"' EXIT

# seconds COMMAND...: wall time of one run whose stdout is $target.
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" -p >"$target" || { echo "win32_bench.sh: $* -p failed" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$(((end - start) / 1000000))"
}
# best WHERE: sets win_ms and host_ms to the best of the runs into WHERE.
best() {
  target=$1
  win_ms=999999999 host_ms=999999999
  local i t
  for ((i = 0; i < runs; ++i)); do
    t=$(seconds "${launch[@]}"); win_ms=$((t < win_ms ? t : win_ms))
    [[ ! -f $target ]] || win_bytes=$(stat -c %s "$target")
    t=$(seconds build/pfndb); host_ms=$((t < host_ms ? t : host_ms))
  done
}
ms() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }

start_ms=999999999
for ((i = 0; i < runs; ++i)); do
  begin=$(date +%s%N)
  "${launch[@]}" -a >/dev/null
  t=$((($(date +%s%N) - begin) / 1000000)); start_ms=$((t < start_ms ? t : start_ms))
done
best /dev/null
null_win=$win_ms null_host=$host_ms
best "$out"
echo "pages=$PFNDB_STANDIN_PAGES processes=$PFNDB_STANDIN_PROCESSES bytes_win32=$win_bytes"
echo "start-up of a Wine run (-a through the launcher): $(ms "$start_ms") s"
echo "into /dev/null: win32 $(ms "$null_win") s, host $(ms "$null_host") s"
echo "into a tmpfs file: win32 $(ms "$win_ms") s, host $(ms "$host_ms") s"
echo "win32_vs_host=$(awk -v a="$win_ms" -v b="$host_ms" 'BEGIN { printf "%.2f", a / b }')" \
     "win32_s=$(ms "$win_ms") host_s=$(ms "$host_ms")"
