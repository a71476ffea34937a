#!/usr/bin/env bash
# Prepares a Debian machine to cross-build pfndb for 32-bit and 64-bit Windows
# and to run the resulting exes under Wine (the x64 ones natively, through
# wine64). Safe to run again: every step first checks
# whether its work is already done, so a second run makes no network access.
#
#   sudo tools/setup-win32.sh          # root, no input needed
#   PFNDB_I386_VIA_QEMU=1 tools/setup-win32.sh
#       run i386 programs through qemu-user even where the kernel could run
#       them itself (to try the path that machines without ia32 support take)
# Afterwards: tools/wine-prefix.sh start (PFNDB_WINEARCH=win64 for the 64-bit
# prefix), then cmake --preset win32 or win64.
set -euo pipefail

readonly ME=setup-win32.sh
readonly QEMU_MIN_MAJOR=10
readonly BINFMT_DIR=/proc/sys/fs/binfmt_misc
readonly BINFMT_NAME=qemu-i386
readonly STAMP_DIR=/var/lib/pfndb-setup
readonly STAMP="$STAMP_DIR/i386-exec"

export DEBIAN_FRONTEND=noninteractive
# Waiting for the dpkg lock beats failing when another apt run is finishing.
APT_OPTS=(-q -o DPkg::Lock::Timeout=300)
APT_GET=(apt-get "${APT_OPTS[@]}" -y -o Dpkg::Use-Pty=0 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold)

STEP="start"
step() { STEP="$1"; echo "[$ME] $STEP" >&2; }
DIED=0
die() { echo "[$ME] FAILED in step '$STEP': $*" >&2; DIED=1; exit 1; }
warn() { echo "[$ME] warning: $*" >&2; }
# Commands that fail without a die() still name the step they broke.
on_exit() {
    local rc=$?
    [ "$rc" -eq 0 ] || [ "$DIED" -eq 1 ] || echo "[$ME] FAILED in step '$STEP' (exit $rc)" >&2
}
trap on_exit EXIT

installed() { # installed PKG -> true when dpkg has it fully installed
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null || true)" = "ii " ]
}

APT_UPDATED=0
apt_update_once() {
    [ "$APT_UPDATED" -eq 1 ] && return 0
    # Output kept for the failure message: a quiet update hides which mirror broke.
    local log
    log=$(mktemp)
    if ! apt-get "${APT_OPTS[@]}" update >"$log" 2>&1; then
        cat "$log" >&2; rm -f "$log"
        die "apt-get update failed (are the apt mirrors reachable?)"
    fi
    # apt-get update exits 0 even when an index could not be fetched.
    if grep -E '^(W|E): (Failed to fetch|Some index files failed)' "$log" >/dev/null; then
        cat "$log" >&2; rm -f "$log"
        die "apt-get update could not fetch every index"
    fi
    rm -f "$log"
    APT_UPDATED=1
}

qemu_major() { # qemu_major DEBIAN_VERSION -> upstream major number
    local v="${1#*:}"
    echo "${v%%.*}"
}

# ---------------------------------------------------------------------------
step "check preconditions"
[ "$(id -u)" -eq 0 ] || die "must run as root"
[ "$(uname -m)" = x86_64 ] || die "expects an x86_64 host, found $(uname -m)"
[ -r /etc/os-release ] || die "no /etc/os-release"
# shellcheck source=/dev/null
CODENAME=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$CODENAME" ] || die "cannot tell the Debian codename from /etc/os-release"
BACKPORTS="$CODENAME-backports"

# ---------------------------------------------------------------------------
step "configure $BACKPORTS apt source"
APT_ETC=/etc/apt
SOURCE_FILES=()
[ -f "$APT_ETC/sources.list" ] && SOURCE_FILES+=("$APT_ETC/sources.list")
for f in "$APT_ETC"/sources.list.d/*.list "$APT_ETC"/sources.list.d/*.sources; do
    [ -f "$f" ] && SOURCE_FILES+=("$f")
done
[ "${#SOURCE_FILES[@]}" -gt 0 ] || die "no apt sources found under $APT_ETC"

# Prints "URI<TAB>SIGNED_BY" for every enabled binary entry of the given suite,
# from both the one-line and the deb822 formats.
list_entries() {
    local suite="$1" f
    for f in "${SOURCE_FILES[@]}"; do
        case "$f" in
        *.sources)
            awk -v want="$suite" '
                function flush() {
                    if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "") {
                        n = split(suites, s, " ")
                        for (i = 1; i <= n; i++) if (s[i] == want) {
                            split(uris, u, " "); print u[1] "\t" signed; break
                        }
                    }
                    types = ""; uris = ""; suites = ""; signed = ""; enabled = ""; key = ""
                }
                /^[ \t]*#/ { next }
                /^[ \t]*$/ { flush(); next }
                /^[ \t]/ { next }   # continuation lines (e.g. inline keys)
                {
                    k = tolower($0); sub(/:.*/, "", k)
                    v = $0; sub(/^[^:]*:[ \t]*/, "", v); sub(/[ \t]+$/, "", v)
                    if (k == "types") types = v
                    else if (k == "uris") uris = v
                    else if (k == "suites") suites = v
                    else if (k == "enabled") enabled = tolower(v)
                    else if (k == "signed-by" && v ~ /^\//) signed = v
                }
                END { flush() }' "$f"
            ;;
        *)
            awk -v want="$suite" '
                /^[ \t]*#/ || NF == 0 { next }
                $1 == "deb" {
                    i = 2; signed = ""
                    if ($i ~ /^\[/) {
                        while (i <= NF) {
                            o = $i; gsub(/[\[\]]/, "", o)
                            if (o ~ /^signed-by=\//) { sub(/^signed-by=/, "", o); signed = o }
                            if ($i ~ /\]$/) { i++; break }
                            i++
                        }
                    }
                    if ($(i + 1) == want) print $i "\t" signed
                }' "$f"
            ;;
        esac
    done
}

if [ -n "$(list_entries "$BACKPORTS")" ]; then
    echo "[$ME] $BACKPORTS already in apt sources" >&2
else
    MAIN_ENTRY=$(list_entries "$CODENAME" | head -n 1)
    [ -n "$MAIN_ENTRY" ] || die "found no enabled '$CODENAME' entry in the apt sources to take the mirror from"
    MIRROR=${MAIN_ENTRY%%$'\t'*}
    KEYRING=${MAIN_ENTRY#*$'\t'}
    BPO_FILE="$APT_ETC/sources.list.d/pfndb-$BACKPORTS.sources"
    {
        echo "Types: deb"
        echo "URIs: $MIRROR"
        echo "Suites: $BACKPORTS"
        echo "Components: main"
        [ -n "$KEYRING" ] && echo "Signed-By: $KEYRING"
    } >"$BPO_FILE.tmp"
    mv "$BPO_FILE.tmp" "$BPO_FILE"
    echo "[$ME] wrote $BPO_FILE" >&2
    NEED_UPDATE=1
fi

# ---------------------------------------------------------------------------
step "enable i386 multiarch"
if ! dpkg --print-foreign-architectures | grep -x i386 >/dev/null; then
    dpkg --add-architecture i386
    NEED_UPDATE=1
fi
[ "${NEED_UPDATE:-0}" -eq 1 ] && apt_update_once

# ---------------------------------------------------------------------------
step "install MinGW-w64 cross compilers, zlib for MinGW, GoogleTest sources, CMake and Ninja"
BUILD_PKGS=(g++-mingw-w64-i686 mingw-w64-i686-dev g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
            libz-mingw-w64-dev googletest cmake ninja-build)
MISSING=()
for p in "${BUILD_PKGS[@]}"; do installed "$p" || MISSING+=("$p"); done
if [ "${#MISSING[@]}" -gt 0 ]; then
    apt_update_once
    "${APT_GET[@]}" install --no-install-recommends "${MISSING[@]}" >&2 \
        || die "apt-get install ${MISSING[*]} failed"
fi
# GoogleTest's own threading needs std::thread, which only the posix variants have.
for triple in i686 x86_64; do
    for c in $triple-w64-mingw32-gcc-posix $triple-w64-mingw32-g++-posix $triple-w64-mingw32-windres; do
        command -v "$c" >/dev/null || die "$c is missing after installing the MinGW-w64 compilers"
    done
done
[ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest is missing after installing googletest"
# pfnstat.exe links zlib statically, so the archive itself must be there.
for triple in i686 x86_64; do
    [ -f /usr/$triple-w64-mingw32/lib/libz.a ] \
        || die "/usr/$triple-w64-mingw32/lib/libz.a is missing after installing libz-mingw-w64-dev"
done

# ---------------------------------------------------------------------------
step "install Wine (32-bit and 64-bit)"
MISSING=()
for p in wine wine32:i386 wine64; do installed "$p" || MISSING+=("$p"); done
if [ "${#MISSING[@]}" -gt 0 ]; then
    apt_update_once
    "${APT_GET[@]}" install --no-install-recommends "${MISSING[@]}" >&2 \
        || die "apt-get install ${MISSING[*]} failed"
fi
command -v wine >/dev/null || die "wine is not on PATH after installing it"
[ -x /usr/lib/wine/wine ] || die "/usr/lib/wine/wine (the 32-bit loader) is missing"
# The x64 programs start through it directly (tools/wine-arch.sh), no i386
# code on the way.
[ -x /usr/lib/wine/wine64 ] || die "/usr/lib/wine/wine64 (the 64-bit loader) is missing"

# ---------------------------------------------------------------------------
step "install qemu-user >= $QEMU_MIN_MAJOR"
# The kernel here refuses 32-bit ELF, so every Wine process runs under
# qemu-user; releases before 10 make each Wine start several times slower.
QEMU_VER=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
installed qemu-user || QEMU_VER=""
if [ -z "$QEMU_VER" ] || [ "$(qemu_major "$QEMU_VER")" -lt "$QEMU_MIN_MAJOR" ]; then
    BPO_VER=$(apt-cache madison qemu-user 2>/dev/null | awk -F'|' -v s="$BACKPORTS" '$3 ~ s {gsub(/ /, "", $2); print $2; exit}')
    if [ -z "$BPO_VER" ] && [ "$APT_UPDATED" -eq 0 ]; then
        apt_update_once
        BPO_VER=$(apt-cache madison qemu-user 2>/dev/null | awk -F'|' -v s="$BACKPORTS" '$3 ~ s {gsub(/ /, "", $2); print $2; exit}')
    fi
    if [ -n "$BPO_VER" ] && [ "$(qemu_major "$BPO_VER")" -ge "$QEMU_MIN_MAJOR" ]; then
        if ! "${APT_GET[@]}" install --no-install-recommends "qemu-user/$BACKPORTS" >&2; then
            # Newer qemu may need newer libraries that only backports has.
            "${APT_GET[@]}" install --no-install-recommends -t "$BACKPORTS" qemu-user >&2 \
                || die "apt-get install qemu-user from $BACKPORTS failed"
        fi
    else
        warn "$BACKPORTS offers no qemu-user >= $QEMU_MIN_MAJOR (found '${BPO_VER:-none}');" \
             "using the default one, each Wine start will be much slower"
        if [ -z "$QEMU_VER" ]; then
            apt_update_once
            "${APT_GET[@]}" install --no-install-recommends qemu-user >&2 || die "apt-get install qemu-user failed"
        fi
    fi
    QEMU_VER=$(dpkg-query -W -f='${Version}' qemu-user)
fi
QEMU_BIN=""
for c in /usr/bin/qemu-i386-static /usr/bin/qemu-i386; do
    if [ -x "$c" ]; then QEMU_BIN=$(readlink -f "$c"); break; fi
done
[ -n "$QEMU_BIN" ] || die "qemu-user $QEMU_VER provides neither qemu-i386-static nor qemu-i386"
echo "[$ME] qemu-user $QEMU_VER, interpreter $QEMU_BIN" >&2
[ "$(qemu_major "$QEMU_VER")" -ge "$QEMU_MIN_MAJOR" ] \
    || warn "qemu-user $QEMU_VER is older than $QEMU_MIN_MAJOR; Wine starts will be slow"

# ---------------------------------------------------------------------------
step "let the kernel run i386 ELF binaries"
# Any i386 program proves it; the dynamic loader runs on its own and comes
# with wine32's libc6:i386.
I386_PROBE=/lib/ld-linux.so.2
[ -x "$I386_PROBE" ] || die "$I386_PROBE (from libc6:i386) is missing"
i386_runs() { "$I386_PROBE" --version >/dev/null 2>&1; }

# Some kernels of this machine kind refuse 32-bit ELF ("Exec format error"),
# others run it. binfmt_misc wins over the native ELF loader, so qemu is only
# registered where it is needed: emulation makes every Wine start slower.
# PFNDB_I386_VIA_QEMU=1 registers it anyway, to try the emulated path.
FORCE_QEMU=${PFNDB_I386_VIA_QEMU:-0}
ENTRY="$BINFMT_DIR/$BINFMT_NAME"

# The decision holds until reboot (registrations vanish then) or until qemu
# changes: with F the kernel keeps the interpreter opened at registration.
wanted_state() {
    local mode=$1 id=""
    [ "$mode" != native ] && id=$(stat -L -c '%d:%i:%Y:%s' "$QEMU_BIN")
    echo "$(cat /proc/sys/kernel/random/boot_id) $mode $QEMU_BIN $id"
}
state_holds() {
    [ -f "$STAMP" ] || return 1
    local mode
    mode=$(awk '{print $2}' "$STAMP")
    # A forced registration must not outlive the wish that forced it.
    case "$FORCE_QEMU:$mode" in
    1:qemu | 1:qemu-forced | 0:qemu | 0:native) ;;
    *) return 1 ;;
    esac
    [ "$(cat "$STAMP")" = "$(wanted_state "$mode")" ] || return 1
    if [ "$mode" != native ]; then
        [ -f "$ENTRY" ] || return 1
        grep -x enabled "$ENTRY" >/dev/null || return 1
        grep -x "interpreter $QEMU_BIN" "$ENTRY" >/dev/null || return 1
        grep -E '^flags: .*F' "$ENTRY" >/dev/null || return 1
    else
        [ ! -f "$ENTRY" ] || return 1
    fi
}
record_state() { mkdir -p "$STAMP_DIR"; wanted_state "$1" >"$STAMP"; }

binfmt_mount() {
    # Mounting an already mounted binfmt_misc fails, so look first.
    [ -e "$BINFMT_DIR/register" ] && return 0
    mount -t binfmt_misc binfmt_misc "$BINFMT_DIR" \
        || die "cannot mount binfmt_misc at $BINFMT_DIR (kernel without CONFIG_BINFMT_MISC, or no privilege)"
}
binfmt_unregister() {
    # A second registration under one name fails with "File exists".
    if [ -f "$ENTRY" ]; then
        echo -1 >"$ENTRY" || die "cannot remove the stale binfmt_misc entry $ENTRY"
    fi
}
binfmt_register() {
    binfmt_mount
    [ "$(cat "$BINFMT_DIR/status")" = enabled ] || echo 1 >"$BINFMT_DIR/status"
    binfmt_unregister
    # Matches i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":$BINFMT_NAME:M::$magic:$mask:$QEMU_BIN:F" >"$BINFMT_DIR/register" \
        || die "the kernel refused the binfmt_misc registration of $QEMU_BIN"
    echo "[$ME] registered $QEMU_BIN for i386 ELF in binfmt_misc" >&2
}

if state_holds && i386_runs; then
    echo "[$ME] i386 ELF runs ($(awk '{print $2}' "$STAMP")), nothing to change" >&2
else
    # An old entry would hide whether the kernel manages on its own.
    binfmt_unregister
    if [ "$FORCE_QEMU" != 1 ] && i386_runs; then
        record_state native
        echo "[$ME] the kernel runs i386 ELF natively; no emulation registered" >&2
    else
        binfmt_register
        i386_runs || die "an i386 ELF ($I386_PROBE) still does not run after registering $QEMU_BIN"
        if [ "$FORCE_QEMU" = 1 ]; then record_state qemu-forced; else record_state qemu; fi
    fi
fi
i386_runs || die "an i386 ELF ($I386_PROBE) does not run"

step "done"
echo "[$ME] ready: i686- and x86_64-w64-mingw32-g++-posix, wine $(wine --version 2>/dev/null || echo '?'), qemu-user $QEMU_VER" >&2
