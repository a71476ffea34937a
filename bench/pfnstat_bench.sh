#!/usr/bin/env bash
# pfnstat's speed and memory on two 64 GiB dumps, each against `wc -l` on
# the same file in the same run (the floor for reading its bytes): the
# simulated machine's dump, where a few processes own most private pages,
# and the same dump with its owners rewritten so that 200 owners own equally
# many, each page's owner drawn at random (every owner look-up a surprise).
# A plain awk script computing the same uses table (the way it is done
# without pfnstat) is timed on the first; its table is checked to be
# pfnstat's, byte for byte.
#
#   bench/pfnstat_bench.sh [BUILD_DIR]     a Release build, default build/
#   PFNSTAT_BENCH_DIR   where the dumps are written (default /dev/shm; 2.3 GB)
#   PFNSTAT_BENCH_RUNS  runs of pfnstat and wc per dump, the fastest counted
#                       (default 5)
#
# Times are processor time (user + system). Last line:
#   vs_wc=<pfnstat / wc time, first dump> vs_wc_even=<the same, even owners>
#   vs_awk=<awk / pfnstat time, first dump> peak_mib=<pfnstat's peak resident
#   memory over both dumps>
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
dir=${PFNSTAT_BENCH_DIR:-/dev/shm}
runs=${PFNSTAT_BENCH_RUNS:-5}
for tool in "$build/pfndb" "$build/pfnstat" "$build/even_owners" /usr/bin/time; do
  if [[ ! -x $tool ]]; then
    echo "pfnstat_bench: $tool is missing (build first; tools/setup-host.sh installs time)" >&2
    exit 1
  fi
done

work=$(mktemp -d "$dir/pfnstat_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
dump=$work/dump
even=$work/even
PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200 "$build/pfndb" -p >"$dump"
"$build/even_owners" <"$dump" >"$even"

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

# Processor seconds (user and system) and peak KiB of one run of "$@", its
# output in $work/out. Processor time, not elapsed: on a machine shared with
# other work the elapsed time of a run is mostly its wait for a processor.
measure() {
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" >"$work/out"
  read -r user system kib <"$work/time"
  seconds=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
}

least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a + 0 < b + 0) ? a : b }'; }

peak_kib=0
# Sets best_stat and best_wc: the fastest of $runs runs of pfnstat and of wc
# on dump $1, taking turns; pfnstat's table is left in $work/pfnstat.csv.
time_both() {
  best_stat=""
  best_wc=""
  for ((i = 0; i < runs; i++)); do
    measure "$build/pfnstat" --csv uses "$1"
    best_stat=$(least "$seconds" "$best_stat")
    ((kib > peak_kib)) && peak_kib=$kib
    cp "$work/out" "$work/pfnstat.csv"
    measure wc -l "$1"
    best_wc=$(least "$seconds" "$best_wc")
  done
  lines=$(cut -d' ' -f1 "$work/out")
}

time_both "$even"
even_stat=$best_stat
even_wc=$best_wc
even_lines=$lines
cp "$work/pfnstat.csv" "$work/even.csv"
time_both "$dump"
# The owners were moved, not the pages: the uses table is the same.
if ! cmp -s "$work/even.csv" "$work/pfnstat.csv"; then
  echo "pfnstat_bench: the even dump's uses differ from the first dump's" >&2
  exit 1
fi
measure awk -f "$work/uses.awk" "$dump"
awk_seconds=$seconds
if ! cmp -s "$work/out" "$work/pfnstat.csv"; then
  echo "pfnstat_bench: awk's table differs from pfnstat's" >&2
  diff "$work/out" "$work/pfnstat.csv" >&2 || true
  exit 1
fi

awk_name=$(basename "$(readlink -f "$(command -v awk)")")
echo "dump: $(stat -c %s "$dump") bytes, $lines lines; awk is $awk_name"
echo "even dump: $(stat -c %s "$even") bytes, $even_lines lines"
echo "wc -l                  ${best_wc} s (fastest of $runs)"
echo "pfnstat uses           ${best_stat} s (fastest of $runs)"
echo "awk uses               ${awk_seconds} s"
echo "wc -l, even dump       ${even_wc} s (fastest of $runs)"
echo "pfnstat uses, even     ${even_stat} s (fastest of $runs)"
awk -v stat="$best_stat" -v wc="$best_wc" -v estat="$even_stat" -v ewc="$even_wc" \
  -v slow="$awk_seconds" -v kib="$peak_kib" \
  'BEGIN { printf "vs_wc=%.2f vs_wc_even=%.2f vs_awk=%.1f peak_mib=%.1f\n",
           stat / wc, estat / ewc, slow / stat, kib / 1024 }'
