#!/bin/sh
# Checks that every C and C++ source (the engine, the command line, their
# tests and the benchmarks) is formatted as .clang-format describes; with
# --fix, formats them.
#
#   scripts/check-format.sh [--fix]
set -eu
cd "$(dirname "$0")/.."
files=$(find api motion trajectory platform include bench host win tests -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) | sort)
[ -n "$files" ]
if [ "${1:-}" = "--fix" ]; then
    clang-format -i $files
    exit 0
fi
bad=0
for f in $files; do
    if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
        echo "not formatted: $f (scripts/check-format.sh --fix)"
        bad=1
    fi
done
exit $bad
