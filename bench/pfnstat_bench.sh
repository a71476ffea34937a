#!/usr/bin/env bash
# pfnstat's speed and memory on the 64 GiB simulated machine's dump, against
# two baselines in the same run: `wc -l` on the same file (the floor for
# reading its bytes) and a plain awk script computing the same uses table
# (the way it is done without pfnstat). The awk table is checked to be
# pfnstat's, byte for byte.
#
#   bench/pfnstat_bench.sh [BUILD_DIR]     a Release build, default build/
#   PFNSTAT_BENCH_DIR   where the dump is written (default /dev/shm; 1.1 GB)
#   PFNSTAT_BENCH_RUNS  runs of pfnstat and wc, the fastest counted (default 5)
#
# Last line: vs_wc=<pfnstat / wc time> vs_awk=<awk / pfnstat time>
# peak_mib=<pfnstat's peak resident memory>.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
dir=${PFNSTAT_BENCH_DIR:-/dev/shm}
runs=${PFNSTAT_BENCH_RUNS:-5}
for tool in "$build/pfndb" "$build/pfnstat" /usr/bin/time; do
  if [[ ! -x $tool ]]; then
    echo "pfnstat_bench: $tool is missing (build first; tools/setup-host.sh installs time)" >&2
    exit 1
  fi
done

work=$(mktemp -d "$dir/pfnstat_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
dump=$work/dump
PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200 "$build/pfndb" -p >"$dump"

# The uses table the slow way: every list and use text tried in turn.
cat >"$work/uses.awk" <<'AWK'
BEGIN {
  nl = split("Zero list  |Free list  |Standby list  |Modified list  |Modified page l |" \
             "Bad pagelist  |Active  list  |Transition list ", list, "|")
  nu = split("Process Private |Mem mapped |PF mem mapped |Page tabke |Paged Pool |" \
             "Non paged pool |System pte |Session private |metafile |AWE |Kernel Locked |" \
             "Kernel stack |No Value", use, "|")
  split("process_private mapped_file pagefile_mapped page_table paged_pool nonpaged_pool " \
        "system_pte session_private metafile awe driver_locked kernel_stack unknown", name, " ")
}
table {
  rest = substr($0, 18)
  for (l = 1; l <= nl; l++) if (index(rest, list[l]) == 1) break
  rest = substr(rest, length(list[l]) + 1)
  for (u = 1; u <= nu; u++) if (index(rest, use[u]) == 1) break
  count[u, l]++
  next
}
$0 == "Address        List         Type       Process      VA " { table = 1 }
END {
  print "use,zero,free,standby,modified,modified_no_write,bad,active,transition,total"
  for (u = 1; u <= nu + 1; u++) {
    line = u <= nu ? name[u] : "total"
    sum = 0
    for (l = 1; l <= nl; l++) {
      if (u <= nu) { c = count[u, l] + 0; column[l] += c } else c = column[l]
      line = line "," c
      sum += c
    }
    print line "," sum
  }
}
AWK

# Seconds and peak KiB of one run of "$@", its output in $work/out.
measure() {
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out"
  read -r seconds kib <"$work/time"
}

least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }'; }

best_stat=""
best_wc=""
peak_kib=0
for ((i = 0; i < runs; i++)); do
  measure "$build/pfnstat" --csv uses "$dump"
  best_stat=$(least "$seconds" "$best_stat")
  ((kib > peak_kib)) && peak_kib=$kib
  cp "$work/out" "$work/pfnstat.csv"
  measure wc -l "$dump"
  best_wc=$(least "$seconds" "$best_wc")
done
lines=$(cut -d' ' -f1 "$work/out")
measure awk -f "$work/uses.awk" "$dump"
awk_seconds=$seconds
if ! cmp -s "$work/out" "$work/pfnstat.csv"; then
  echo "pfnstat_bench: awk's table differs from pfnstat's" >&2
  diff "$work/out" "$work/pfnstat.csv" >&2 || true
  exit 1
fi

awk_name=$(basename "$(readlink -f "$(command -v awk)")")
echo "dump: $(stat -c %s "$dump") bytes, $lines lines; awk is $awk_name"
echo "wc -l            ${best_wc} s (fastest of $runs)"
echo "pfnstat uses     ${best_stat} s (fastest of $runs)"
echo "awk uses         ${awk_seconds} s"
awk -v stat="$best_stat" -v wc="$best_wc" -v slow="$awk_seconds" -v kib="$peak_kib" \
  'BEGIN { printf "vs_wc=%.2f vs_awk=%.1f peak_mib=%.1f\n", stat / wc, slow / stat, kib / 1024 }'
