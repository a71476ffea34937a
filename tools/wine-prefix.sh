#!/usr/bin/env bash
# Owns the Wine prefix that tools/wine-run uses.
#   start  create the prefix if it is missing or made by another Wine release,
#          then make sure a persistent wineserver serves it
#   stop   shut that wineserver (and every Wine process of the prefix) down
#   check  exit 0 if the prefix is ready, starting its wineserver if none
#          runs; never creates it (wine-run calls this before every run)
# The prefix is ${PFNDB_WINEPREFIX:-$HOME/.cache/pfndb/wineprefix}, or with
# PFNDB_WINEARCH=win64 the 64-bit one, ${PFNDB_WINEPREFIX64:-$HOME/.cache/pfndb/wineprefix64}
# (tools/wine-arch.sh); each has its own wineserver.
#
# Creating a prefix takes seconds to tens of seconds (much longer under
# qemu-user), so it is done once here rather than on the first wine call,
# which might be a test-discovery step with a short timeout.
set -euo pipefail

ME=wine-prefix.sh
die() { echo "[$ME] $*" >&2; exit 1; }

# shellcheck source=tools/wine-arch.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-arch.sh"
case "$WINEPREFIX" in /*) ;; *) die "the prefix must be an absolute path: $WINEPREFIX" ;; esac

command -v "$PFNDB_WINE" >/dev/null || die "$PFNDB_WINE is not installed; run tools/setup-win32.sh as root"
# Debian's wineserver wrapper forces -p0, which would end the server as soon
# as the last Wine process exits; call the real binary to keep it alive.
WINESERVER=""
for c in /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver32; do
    if [ -x "$c" ]; then WINESERVER=$c; break; fi
done
[ -n "$WINESERVER" ] || WINESERVER=$(command -v wineserver) || die "no wineserver found"

# Wine rebuilds a prefix whose .update-timestamp differs from wine.inf's
# mtime, printing to stdout as it goes; such a prefix is not ready.
prefix_ready() {
    [ -f "$WINEPREFIX/system.reg" ] && [ -f "$WINEPREFIX/.update-timestamp" ] || return 1
    local stamp inf
    # Wine writes it with a CR LF ending.
    stamp=$(head -c 64 "$WINEPREFIX/.update-timestamp" | tr -d '\r\n')
    [ "$stamp" = disable ] && return 0
    for inf in /usr/share/wine/wine.inf /usr/share/wine/wine/wine.inf; do
        [ -f "$inf" ] && { [ "$stamp" = "$(stat -c %Y "$inf")" ]; return; }
    done
    return 0
}

# The server, and the services.exe/winedevice.exe/... that the first Wine
# process of a session starts, outlive whoever started them and keep the
# stdio they inherited. Were that a pipe of ctest or of a `| cmd` pipeline,
# the reader would wait for their end forever; so they get /dev/null and a log.
LOG="$WINEPREFIX.log"
serve() {
    local rc=0
    # wineserver exits 0 when it became the server and 2 when one already runs.
    "$WINESERVER" -p </dev/null >/dev/null 2>>"$LOG" 9>&- || rc=$?
    [ "$rc" -eq 0 ] || [ "$rc" -eq 2 ] || die "wineserver -p failed (exit $rc); see $LOG"
    if [ "$rc" -eq 0 ]; then
        # Starts the session's services now, detached, and spares the first
        # real run their start-up time.
        "$PFNDB_WINE" cmd.exe /c exit 0 </dev/null >/dev/null 2>>"$LOG" 9>&- \
            || die "the first Wine process of the new session failed; see $LOG"
    fi
}

create() {
    if [ -e "$WINEPREFIX" ]; then
        # Only throw away what Wine left half-made, never an unrelated folder.
        if [ -d "$WINEPREFIX/dosdevices" ] || [ -d "$WINEPREFIX/drive_c" ] || [ -z "$(ls -A "$WINEPREFIX")" ]; then
            echo "[$ME] replacing the incomplete or outdated prefix $WINEPREFIX" >&2
            "$WINESERVER" -k </dev/null >/dev/null 2>>"$LOG" 9>&- || true
            rm -rf "$WINEPREFIX"
        else
            die "$WINEPREFIX exists but is not a Wine prefix; remove it or choose another (tools/wine-arch.sh)"
        fi
    fi
    echo "[$ME] creating the $WINEARCH Wine prefix $WINEPREFIX (once)" >&2
    local t0=$SECONDS
    # mscoree/mshtml off: no Mono or Gecko download prompts on a closed network.
    # Wine reports on stdout while it builds a prefix; keep that off callers' stdout.
    WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" "$PFNDB_WINE" wineboot.exe --init </dev/null 9>&- 1>&2 \
        || die "wineboot --init failed for $WINEPREFIX"
    # The registry reaches disk only when the server that built it exits.
    "$WINESERVER" -w </dev/null >/dev/null 2>>"$LOG" 9>&-
    prefix_ready || die "wineboot finished but $WINEPREFIX is still not a complete prefix"
    echo "[$ME] prefix ready after $((SECONDS - t0)) s" >&2
}

cmd=${1:-}
case "$cmd" in
start)
    mkdir -p "$(dirname "$WINEPREFIX")"
    # Parallel builds may start several of us; only one may build the prefix.
    exec 9>"$WINEPREFIX.lock"
    flock 9
    prefix_ready || create
    serve
    ;;
check)
    prefix_ready || die "no ready Wine prefix at $WINEPREFIX; run tools/wine-prefix.sh start first"
    serve
    ;;
stop)
    if [ -d "$WINEPREFIX" ]; then
        # Exits non-zero when no server runs, which is already the goal.
        "$WINESERVER" -k 2>/dev/null || true
    fi
    ;;
*)
    echo "usage: $ME start|stop|check" >&2
    exit 2
    ;;
esac
