# Sourced by tools/wine-prefix.sh and tools/wine-run: which Wine prefix and
# loader a run uses, from PFNDB_WINEARCH.
#   win32 (default)  the 32-bit prefix ${PFNDB_WINEPREFIX:-$HOME/.cache/pfndb/wineprefix}
#   win64            the 64-bit prefix ${PFNDB_WINEPREFIX64:-$HOME/.cache/pfndb/wineprefix64},
#                    whose x64 programs run natively; its 32-bit ones run through
#                    WoW64 (and qemu-user where the kernel has no 32-bit support)
# Sets WINEARCH, WINEPREFIX, WINEDEBUG and PFNDB_WINE, the loader to exec.
: "${HOME:=$(getent passwd "$(id -u)" | cut -d: -f6)}"
export WINEDEBUG=${PFNDB_WINEDEBUG:--all}
case ${PFNDB_WINEARCH:-win32} in
win32)
    export WINEARCH=win32
    export WINEPREFIX=${PFNDB_WINEPREFIX:-$HOME/.cache/pfndb/wineprefix}
    PFNDB_WINE=wine
    ;;
win64)
    export WINEARCH=win64
    export WINEPREFIX=${PFNDB_WINEPREFIX64:-$HOME/.cache/pfndb/wineprefix64}
    # Debian's `wine` starts the 32-bit loader first, which hands a 64-bit
    # program over to wine64: under qemu-user that first step alone costs
    # seconds, and it fails where no 32-bit code runs at all.
    PFNDB_WINE=/usr/lib/wine/wine64
    [ -x "$PFNDB_WINE" ] || PFNDB_WINE=$(command -v wine64 || echo wine)
    ;;
*)
    echo "PFNDB_WINEARCH must be win32 or win64, not '$PFNDB_WINEARCH'" >&2
    exit 2
    ;;
esac
