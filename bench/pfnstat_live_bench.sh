#!/usr/bin/env bash
# pfnstat --live's speed and memory on the simulated 64 GiB machine
# (16,777,216 pages, 200 processes), against two baselines in the same run:
# the same service calls alone (build/pfnstat_live_floor, which prints
# nothing) and the way without --live, `pfndb -p | pfnstat --csv uses -`.
# The two tables are checked to be the same, byte for byte.
#
#   bench/pfnstat_live_bench.sh [BUILD_DIR]   a Release build, default build/
#   PFNSTAT_BENCH_RUNS  runs of each, the fastest counted (default 3)
#
# Last line: live_vs_floor=<live / floor time> live_vs_pipeline=<live /
# pipeline time> peak_mib=<pfnstat --live's peak resident memory>.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
runs=${PFNSTAT_BENCH_RUNS:-3}
for tool in "$build/pfndb" "$build/pfnstat" "$build/pfnstat_live_floor" /usr/bin/time; do
  if [[ ! -x $tool ]]; then
    echo "pfnstat_live_bench: $tool is missing (build first; tools/setup-host.sh installs time)" >&2
    exit 1
  fi
done
export PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200
unset LD_LIBRARY_PATH PFNDB_STANDIN_LATER

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Seconds and peak KiB of one run of "$@", its output in $work/out.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out"
  read -r seconds kib <"$work/time"
}

least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }'; }

best_live="" best_floor="" best_pipe="" peak_kib=0
for ((i = 0; i < runs; i++)); do
  measure "$build/pfnstat" --live --csv uses
  best_live=$(least "$seconds" "$best_live")
  ((kib > peak_kib)) && peak_kib=$kib
  cp "$work/out" "$work/live.csv"
  measure "$build/pfnstat_live_floor"
  best_floor=$(least "$seconds" "$best_floor")
  measure bash -c "'$build/pfndb' -p | '$build/pfnstat' --csv uses -"
  best_pipe=$(least "$seconds" "$best_pipe")
done
if ! cmp -s "$work/out" "$work/live.csv"; then
  echo "pfnstat_live_bench: --live's table differs from the pipeline's" >&2
  diff "$work/out" "$work/live.csv" >&2 || true
  exit 1
fi

echo "machine: $PFNDB_STANDIN_PAGES pages, $PFNDB_STANDIN_PROCESSES processes"
echo "pfnstat --live --csv uses            ${best_live} s (fastest of $runs)"
echo "service calls alone (floor)          ${best_floor} s"
echo "pfndb -p | pfnstat --csv uses -      ${best_pipe} s"
awk -v live="$best_live" -v floor="$best_floor" -v pipe="$best_pipe" -v kib="$peak_kib" \
  'BEGIN { printf "live_vs_floor=%.2f live_vs_pipeline=%.2f peak_mib=%.1f\n",
           live / floor, live / pipe, kib / 1024 }'
