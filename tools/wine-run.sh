#!/usr/bin/env bash
# Runs one Windows program under Wine: wine-run.sh x86|x64 PROGRAM.exe [ARGS...]
#
# x64 runs on the native 64-bit Wine. x86 runs the 32-bit Wine loader under
# qemu-user, because this kind of machine cannot exec 32-bit ELF directly; its
# prefix is laid out by hand (system32 links to Wine's builtin DLLs) since
# wineboot cannot run there. Each architecture keeps one prefix under
# $TALLOWIX_WINE_ROOT (default: build/wine in the repository). 32-bit runs
# that share the prefix are serialised with flock.
set -euo pipefail

arch=${1:?usage: wine-run.sh x86|x64 PROGRAM.exe [ARGS...]}
shift
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${TALLOWIX_WINE_ROOT:-$repo/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# One locale whatever the caller's: Wine then gives Windows programs code page
# 1252, as a Western Windows has, and keeps Unix file names in UTF-8, so that
# names outside the code page exist too. TALLOWIX_WINE_LOCALE=DIR/NAME runs
# under locale NAME, made by localedef in DIR, instead (the code page 932 rows).
if [ -n "${TALLOWIX_WINE_LOCALE:-}" ]; then
    # bash cannot load it itself and says so: only Wine needs it.
    export LOCPATH=${TALLOWIX_WINE_LOCALE%/*} LC_ALL=${TALLOWIX_WINE_LOCALE##*/} 2>/dev/null
else
    export LC_ALL=C.UTF-8
fi
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winedbg.exe=d"

case "$arch" in
x64)
    export WINEPREFIX=$root/x64
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        mkdir -p "$WINEPREFIX"
        flock "$root/x64.lock" bash -c \
            '[ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot.exe --init >/dev/null 2>&1 || true'
    fi
    exec /usr/lib/wine/wine64 "$@"
    ;;
x86)
    export WINEPREFIX=$root/x86 WINEARCH=win32 WINELOADERNOEXEC=1
    sys32=$WINEPREFIX/drive_c/windows/system32
    mkdir -p "$root"
    exec 9>"$root/x86.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.update-timestamp" ]; then
        mkdir -p "$sys32"
        for dll in /usr/lib/i386-linux-gnu/wine/i386-windows/*; do
            ln -sf "$dll" "$sys32/"
        done
        echo disable >"$WINEPREFIX/.update-timestamp"
    fi
    # Pages of 64 KiB, the allocation granularity of Windows: with larger
    # ones qemu cannot map a view of a file mapping at all, with 4 KiB ones
    # Wine does not start.
    exec qemu-i386 -p 65536 /usr/lib/wine/wine "$@"
    ;;
*)
    echo "wine-run.sh: unknown architecture '$arch' (x86 or x64)" >&2
    exit 2
    ;;
esac
