#!/usr/bin/env bash
# win32_bench.sh [RUNS]: the shipped pfndb.exe's whole -p dump of the 64 GiB
# simulated machine (PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200),
# run under Wine through pfndb_launch.exe with the stand-in DLL, against
#   - its floor, pfndb_floor.exe (bench/floor_win32.cpp): through the same
#     launcher and DLL, the same service calls, then as many bytes written, a
#     megabyte per WriteFile; what any program must do on this platform;
#   - the host build's pfndb -p of the same machine.
# Each as a process of its own, into /dev/null (a character device, as NUL is
# on Windows) and into a file on a tmpfs (/dev/shm); each figure is the best
# of RUNS (default 3) runs, the three programs taking turns. Then the same for
# a machine whose processes own equally many pages (PFNDB_STANDIN_OWNERS=even).
# The x64 pair takes its turn too: pfndb64.exe -p against its own floor, the
# x64 build of pfndb_floor.exe, through the x64 launcher and stand-in DLL in
# the 64-bit prefix (natively, no emulation), the stand-in playing 64-bit
# Windows 10 1909 (PFNDB_STANDIN_WINDOWS=x64-1909).
# Builds what is missing (host build in build/, Windows builds in
# build-win32/ and build-win64/) and starts both Wine prefixes
# (PFNDB_WINEPREFIX, PFNDB_WINEPREFIX64). PFNDB_BENCH_EXE names another
# pfndb.exe to time in its place (an earlier build, say), PFNDB_BENCH_EXE64
# another pfndb64.exe. Last line, the default machine into /dev/null:
#   win32_vs_floor=R1 win32_vs_host=R2 win32_s=A floor_s=C host_s=B i386=native|qemu
#   win64_vs_floor=R3 win64_s=D floor64_s=E
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
cd "$root"
{
  [[ -f build/build.ninja ]] || cmake --preset default >/dev/null
  cmake --build --preset default --target pfndb ntdll >/dev/null
  [[ -f build-win32/build.ninja ]] || cmake --preset win32 >/dev/null
  cmake --build --preset win32 --target pfndb pfndb_launch pfndb_machine pfndb_floor >/dev/null
  [[ -f build-win64/build.ninja ]] || cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target pfndb64 pfndb_launch pfndb_machine pfndb_floor >/dev/null
  tools/wine-prefix.sh start
  PFNDB_WINEARCH=win64 tools/wine-prefix.sh start
} >&2

# How this machine runs i386 code, as tools/setup-win32.sh left it: through
# qemu-user when its binfmt_misc entry is registered (that entry wins over
# the kernel's own loader, and setup registers it only where the kernel
# refuses 32-bit ELF), natively otherwise.
i386=native
entry=/proc/sys/fs/binfmt_misc/qemu-i386
if [[ -f $entry ]] && grep -qx enabled "$entry"; then i386=qemu; fi

export PFNDB_STANDIN_PAGES=16777216 PFNDB_STANDIN_PROCESSES=200
unset PFNDB_STANDIN_LATER PFNDB_STANDIN_OWNERS
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
launch=(tools/wine-run build-win32/pfndb_launch.exe "$(win build-win32/pfndb_machine.dll)")
exe=("${launch[@]}" "$(win "${PFNDB_BENCH_EXE:-build-win32/pfndb.exe}")" -p)
host=(build/pfndb -p)
launch64=(env PFNDB_STANDIN_WINDOWS=x64-1909 tools/wine64-run build-win64/pfndb_launch.exe
          "$(win build-win64/pfndb_machine.dll)")
exe64=("${launch64[@]}" "$(win "${PFNDB_BENCH_EXE64:-build-win64/pfndb64.exe}")" -p)
out=$(mktemp -p /dev/shm pfndb_bench.XXXXXX)
trap 'rm -f "$out"' EXIT

# ms TARGET COMMAND...: wall milliseconds of one run whose stdout is TARGET.
ms() {
  local target=$1 start end
  shift
  start=$(date +%s%N)
  "$@" >"$target" || { echo "win32_bench.sh: $* failed" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$(((end - start) / 1000000))"
}
s() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# best TARGET: the best of the runs into TARGET, in win_ms, floor_ms,
# host_ms, win64_ms and floor64_ms; the five take turns. Into a file, each
# run's length is checked.
best() {
  local target=$1 i t
  win_ms=999999999 floor_ms=999999999 host_ms=999999999 win64_ms=999999999 floor64_ms=999999999
  for ((i = 0; i < runs; ++i)); do
    t=$(ms "$target" "${exe[@]}"); win_ms=$((t < win_ms ? t : win_ms))
    check "$target" pfndb.exe "$bytes"
    t=$(ms "$target" "${floor[@]}"); floor_ms=$((t < floor_ms ? t : floor_ms))
    check "$target" pfndb_floor.exe "$bytes"
    t=$(ms "$target" "${host[@]}"); host_ms=$((t < host_ms ? t : host_ms))
    t=$(ms "$target" "${exe64[@]}"); win64_ms=$((t < win64_ms ? t : win64_ms))
    check "$target" pfndb64.exe "$bytes64"
    t=$(ms "$target" "${floor64[@]}"); floor64_ms=$((t < floor64_ms ? t : floor64_ms))
    check "$target" "the x64 pfndb_floor.exe" "$bytes64"
  done
}
check() {  # check FILE WHO BYTES
  [[ -f $1 ]] || return 0
  local got
  got=$(stat -c %s "$1")
  [[ $got == "$3" ]] || { echo "win32_bench.sh: $2 wrote $got bytes, not $3" >&2; exit 1; }
}

start_ms=999999999
for ((i = 0; i < runs; ++i)); do
  t=$(ms /dev/null "${launch[@]}" "$(win build-win32/pfndb.exe)" -a)
  start_ms=$((t < start_ms ? t : start_ms))
done
echo "pages=$PFNDB_STANDIN_PAGES processes=$PFNDB_STANDIN_PROCESSES i386=$i386 runs=$runs"
echo "start-up of a Wine run (-a through the launcher): $(s "$start_ms") s"

for owners in even weighted; do
  export PFNDB_STANDIN_OWNERS=$owners
  # The dump's length, from a first run of the exe (which also warms up).
  ms "$out" "${exe[@]}" >/dev/null
  bytes=$(stat -c %s "$out")
  floor=("${launch[@]}" "$(win build-win32/pfndb_floor.exe)" "$bytes")
  ms "$out" "${exe64[@]}" >/dev/null
  bytes64=$(stat -c %s "$out")
  floor64=("${launch64[@]}" "$(win build-win64/pfndb_floor.exe)" "$bytes64")
  for sink in "$out" /dev/null; do
    best "$sink"
    [[ $sink == /dev/null ]] && where=/dev/null || where="a tmpfs file"
    echo "owners=$owners into $where ($bytes bytes):" \
         "win32 $(s "$win_ms") s, floor $(s "$floor_ms") s, host $(s "$host_ms") s;" \
         "win32_vs_floor=$(ratio "$win_ms" "$floor_ms") win32_vs_host=$(ratio "$win_ms" "$host_ms")"
    echo "owners=$owners into $where ($bytes64 bytes, x64):" \
         "win64 $(s "$win64_ms") s, floor64 $(s "$floor64_ms") s;" \
         "win64_vs_floor=$(ratio "$win64_ms" "$floor64_ms")"
  done
done
# The default machine's owners are weighted: its /dev/null figures last.
echo "win32_vs_floor=$(ratio "$win_ms" "$floor_ms") win32_vs_host=$(ratio "$win_ms" "$host_ms")" \
     "win32_s=$(s "$win_ms") floor_s=$(s "$floor_ms") host_s=$(s "$host_ms") i386=$i386" \
     "win64_vs_floor=$(ratio "$win64_ms" "$floor64_ms") win64_s=$(s "$win64_ms")" \
     "floor64_s=$(s "$floor64_ms")"
