#!/usr/bin/env bash
# Every test of Placidor on a fresh Debian 12 machine: installs the packages,
# builds each configuration and runs its tests.
#   native debug (unit, api, e2e), sanitizers (address + undefined),
#   Placidor.dll under Wine (win32), the command line (e2e), the fuzzer.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

scripts/install-deps.sh base win32 host fuzz

step() { printf '\n=== %s\n' "$*"; }

# ctest, counting the tests that passed for the summary line at the end.
passed=0
run_ctest() {
  local log n
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log"
  n=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  rm -f "$log"
  passed=$((passed + ${n:-0}))
}

step "native debug build and tests"
cmake --preset debug
cmake --build --preset debug -j"$jobs"
run_ctest --preset debug -j"$jobs"

step "Placidor.dll (32-bit Windows) under Wine: exports, C host, unit tests"
cmake --preset win32
cmake --build --preset win32 -j"$jobs"
run_ctest --preset win32 -j"$jobs"

step "sanitizers (address, undefined) over the unit tests"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
run_ctest --preset sanitize -j"$jobs"

step "the placidor command line: option parsing and whole files"
cmake --preset host
cmake --build --preset host -j"$jobs"
run_ctest --preset host -j"$jobs"

step "the API fuzzer (libFuzzer, clang), two minutes"
tests/fuzz/run-fuzz.sh 120
passed=$((passed + 1))

printf '\nAll steps passed.\n%s passed, 0 failed\n' "$passed"
