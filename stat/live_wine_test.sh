#!/usr/bin/env bash
# live_wine_test.sh LAUNCHER PFNSTAT_EXE MACHINE REFUSING RUNNER HOST_BUILD
# Runs the Windows build of pfnstat --live through the launcher (under
# RUNNER, the Wine wrapper): with the stand-in machine, every CSV view and
# the tables must be the host build's `pfnstat --live` of the same machine,
# byte for byte; with a machine refusing the privileges and the queries, its
# two lines and status 2.
set -uo pipefail

launcher=$1 exe=$2 machine=$3 refusing=$4 runner=$5 host=$6
failures=0
# A small machine: Wine runs under qemu here.
export PFNDB_STANDIN_PAGES=8192 PFNDB_STANDIN_PROCESSES=24
unset PFNDB_STANDIN_LATER
win() { printf 'Z:%s' "$(realpath "$1" | tr / '\\')"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [[ ! -x $host/pfnstat || ! -e $host/libntdll.so ]]; then
  cmake -S "$(dirname "$0")/.." -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null &&
    cmake --build "$host" --target pfnstat ntdll >/dev/null || exit 1
fi

run() {  # run MACHINE ARGS...: pfnstat.exe through the launcher
  local dll=$1
  shift
  "$runner" "$launcher" "$(win "$dll")" "$(win "$exe")" "$@" </dev/null >"$work/got" 2>"$work/err"
}

for view in "" "--csv uses" "--csv processes" "--csv ranges"; do
  # shellcheck disable=SC2086
  env -u LD_LIBRARY_PATH "$host/pfnstat" $view --live >"$work/want" || {
    echo "FAIL the host's pfnstat $view --live"; failures=$((failures + 1)); continue; }
  # shellcheck disable=SC2086
  run "$machine" $view --live
  status=$?
  if [[ $status -ne 0 ]] || ! cmp -s "$work/got" "$work/want"; then
    echo "FAIL pfnstat.exe $view --live: status $status"; head -5 "$work/err"
    diff "$work/want" "$work/got" | head -10
    failures=$((failures + 1))
  else
    echo "ok   pfnstat.exe $view --live"
  fi
done

run "$refusing" --live
status=$?
step="the physical ranges query failed (status c0000061)"
printf '%s\n' "pfnstat: cannot read this machine's page-frame database: $step" \
  "pfnstat: run it from an elevated console (as administrator)" >"$work/want"
# Standard error is in text mode: "\r\n".
if [[ $status -ne 2 || -s $work/got ]] || ! cmp -s <(tr -d '\r' <"$work/err") "$work/want"; then
  echo "FAIL pfnstat.exe --live refused: status $status, stderr:"; cat "$work/err"
  failures=$((failures + 1))
else
  echo "ok   pfnstat.exe --live refused"
fi
exit $((failures > 0))
