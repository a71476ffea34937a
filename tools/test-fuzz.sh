#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz) and runs each for a bounded time
# on a copy of its seed corpus, so the committed seeds stay as they are. Any
# crash, leak, broken invariant, timeout or out-of-memory fails the script;
# the input that showed it is kept in build-fuzz/findings/.
#   PFNDB_FUZZ_SECONDS  time per target (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${PFNDB_FUZZ_SECONDS:-60}
# One libFuzzer target per entry, each with its seeds in fuzz/corpus/<name>.
targets=(
  fuzz_dump
  fuzz_options
  fuzz_pfnstat
)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=build-fuzz/findings
mkdir -p "$findings"

for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target"/
  echo "fuzz: $target for ${seconds}s"
  if ! build-fuzz/"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$findings/$target-" "$work/$target" \
       >"$work/$target.log" 2>&1; then
    tail -n 80 "$work/$target.log"
    echo "fuzz: $target found a fault; its input is in $findings/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target.log")
  if [[ -z $runs || -z $rate ]]; then
    tail -n 20 "$work/$target.log"
    echo "fuzz: $target printed no final statistics" >&2
    exit 1
  fi
  echo "fuzz: $target ran $runs inputs in ${seconds}s ($rate inputs/s)"
done
echo "fuzz: no findings"
