#!/bin/sh
# wine-run.sh ARCH PREFIX PROGRAM [ARGS...]: runs a Windows console program
# under Wine in the prefix PREFIX, creating the prefix on first use. ARCH is
# win32 (32-bit programs, Wine's 32-bit loader) or win64 (64-bit programs,
# the wine64 loader, which needs no 32-bit support from the kernel).
#
# Used as the cross-compiling emulator of the Windows builds, so CTest runs
# the test programs, and discovers their tests, through it. Wine's own
# diagnostics are silenced and the .NET and HTML engines are not offered
# for installation, so only the program's output is seen. No display is
# needed: the programs are console programs.
set -eu
arch=$1
prefix=$2
shift 2

case "$arch" in
    win32) loader=wine ;;
    win64)
        # Debian's wine64 package puts its loader outside PATH.
        if command -v wine64 >/dev/null 2>&1; then loader=wine64
        else loader=/usr/lib/wine/wine64; fi ;;
    *) echo "wine-run.sh: ARCH must be win32 or win64, not '$arch'" >&2; exit 2 ;;
esac

WINEPREFIX=$prefix
WINEARCH=$arch
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

# Tests may start in parallel: one of them creates the prefix, the others
# wait for it. Creating a prefix takes tens of seconds and about 700 MB.
# Now and then wineboot stops half-way on a fresh prefix with "could not
# load kernel32.dll, status c0000135", leaving a system32 folder with one
# program in it (seen in CI runs right after the native tests, with 77 GB
# free; the same step run again passed): the half-made prefix is removed and
# made again, three tries in all. A prefix that could not be made is not
# marked ready: wineboot's last lines and the free space are printed (a full
# disk fails the same way), and the program's own run then fails.
if [ ! -f "$prefix/.placidor-ready" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        try=1
        while [ ! -f "$prefix/.placidor-ready" ]; do
            if "$loader" wineboot --init >"$prefix.log" 2>&1; then
                wineserver --wait || true
                touch "$prefix/.placidor-ready"
                break
            fi
            {
                echo "wine-run.sh: wineboot could not create the prefix $prefix (try $try of 3); its last lines:"
                tail -n 5 "$prefix.log" || true
                df -h "$prefix" | tail -n 1 || true
            } >&2
            [ "$try" -lt 3 ] || break
            try=$((try + 1))
            wineserver -k >/dev/null 2>&1 || true
            rm -rf "$prefix"
            mkdir -p "$prefix"
        done
    ) 9>"$prefix.lock"
fi

exec "$loader" "$@"
