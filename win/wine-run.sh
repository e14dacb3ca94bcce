#!/bin/sh
# wine-run.sh PREFIX PROGRAM [ARGS...]: runs a 32-bit Windows console
# program under Wine in the prefix PREFIX, creating the prefix on first use.
#
# Used as the cross-compiling emulator of the win32 build, so CTest and
# gtest_discover_tests run the test programs through it. Wine's own
# diagnostics are silenced and the .NET and HTML engines are not offered
# for installation, so only the program's output is seen. No display is
# needed: the programs are console programs.
set -eu
prefix=$1
shift

WINEPREFIX=$prefix
WINEARCH=win32
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY

# Tests may start in parallel: one of them creates the prefix, the others
# wait for it. Creating a prefix takes tens of seconds.
if [ ! -f "$prefix/.placidor-ready" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        if [ ! -f "$prefix/.placidor-ready" ]; then
            wineboot --init >/dev/null 2>&1 || true
            wineserver --wait
            touch "$prefix/.placidor-ready"
        fi
    ) 9>"$prefix.lock"
fi

exec wine "$@"
