#!/bin/sh
# Builds the API fuzzer with clang and runs it for a bounded time.
#
#   tests/fuzz/run-fuzz.sh [seconds] [build directory]
#
# The corpus grows in <build>/fuzz-corpus and is kept between runs; the
# committed regression inputs and a freshly written seed corpus are read
# every time. Exits non-zero on any finding (crash, sanitizer report, leak,
# hang of more than 10 s, or a broken check), leaving the input under
# <build>/fuzz-artifacts/.
set -eu

seconds=${1:-120}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${2:-$root/build/fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DPLACIDOR_BUILD_FUZZ=ON \
    -DPLACIDOR_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target placidor_api_fuzzer placidor_fuzz_seeds -j2

seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
rm -rf "$seeds"
mkdir -p "$seeds" "$corpus" "$artifacts"
"$build/tests/fuzz/placidor_fuzz_seeds" "$seeds"

# Every committed regression input must pass on its own first.
if [ -d "$here/regressions" ] && [ -n "$(ls -A "$here/regressions")" ]; then
    "$build/tests/fuzz/placidor_api_fuzzer" -runs=0 "$here/regressions"
fi

"$build/tests/fuzz/placidor_api_fuzzer" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$seeds"
