#!/usr/bin/env bash
# The 64-bit programs' speed and memory with the page-frame request asked in
# slices, on the simulated machine at 64 GiB (16,777,216 pages) and 1 TiB
# (268,435,456 pages), 200 processes, each against its floor measured in the
# same run:
#   pfndb64 -p > /dev/null           vs  the same sliced service calls, then
#                                        as many bytes written to /dev/null
#                                        (pfnstat64_live_floor BYTES)
#   pfnstat64 --live --csv uses      vs  the same calls alone
# The peaks are the processes' peak resident memory; what grows with the
# machine would show there, and the process list does not grow with it.
#
#   bench/slices_bench.sh [BUILD_DIR]   a Release build, default build/
#   SLICES_BENCH_RUNS   runs of each at 64 GiB, the fastest counted (default 3;
#                       1 TiB runs once: each run prints 18 GB)
#   SLICES_BENCH_PAGES  the machines, in pages (default "16777216 268435456")
#
# One line per machine; the last line is the largest machine's:
#   slices: pfndb_vs_floor=R1 live_vs_floor=R2 pfndb_peak_mib=M1 live_peak_mib=M2 pages=N
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${SLICES_BENCH_RUNS:-3}
machines=${SLICES_BENCH_PAGES:-16777216 268435456}
for tool in "$build/pfndb64" "$build/pfnstat64" "$build/pfnstat64_live_floor" /usr/bin/time; do
  if [[ ! -x $tool ]]; then
    echo "slices_bench: $tool is missing (build first; tools/setup-host.sh installs time)" >&2
    exit 1
  fi
done
export PFNDB_STANDIN_PROCESSES=200 PFNDB_STANDIN_WINDOWS=x64-1909
unset LD_LIBRARY_PATH PFNDB_STANDIN_LATER PFNDB_STANDIN_OWNERS PFNDB_TRACE

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds and peak KiB of one run of "$@" into /dev/null.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
  read -r seconds kib <"$work/time"
}
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }'; }
most() { ((${1} > ${2})) && echo "$1" || echo "$2"; }

line=""
for pages in $machines; do
  export PFNDB_STANDIN_PAGES=$pages
  n=$runs
  ((pages > 16777216)) && n=1
  bytes=$("$build/pfndb64" -p | wc -c)
  dump="" dump_floor="" live="" live_floor="" dump_kib=0 live_kib=0
  for ((i = 0; i < n; i++)); do
    measure "$build/pfndb64" -p
    dump=$(least "$seconds" "$dump"); dump_kib=$(most "$kib" "$dump_kib")
    measure "$build/pfnstat64_live_floor" "$bytes"
    dump_floor=$(least "$seconds" "$dump_floor")
    measure "$build/pfnstat64" --live --csv uses
    live=$(least "$seconds" "$live"); live_kib=$(most "$kib" "$live_kib")
    measure "$build/pfnstat64_live_floor"
    live_floor=$(least "$seconds" "$live_floor")
  done
  echo "machine: $pages pages ($((pages / 262144)) GiB), $PFNDB_STANDIN_PROCESSES processes, dump $bytes bytes, fastest of $n"
  echo "  pfndb64 -p                  $dump s   floor $dump_floor s   peak $((dump_kib / 1024)) MiB"
  echo "  pfnstat64 --live --csv uses $live s   floor $live_floor s   peak $((live_kib / 1024)) MiB"
  line=$(awk -v d="$dump" -v df="$dump_floor" -v l="$live" -v lf="$live_floor" -v dk="$dump_kib" \
    -v lk="$live_kib" -v p="$pages" 'BEGIN {
      printf "slices: pfndb_vs_floor=%.2f live_vs_floor=%.2f pfndb_peak_mib=%.1f live_peak_mib=%.1f pages=%d",
             d / df, l / lf, dk / 1024, lk / 1024, p }')
  echo "$line"
done
