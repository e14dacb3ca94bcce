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

step "native debug build and tests"
cmake --preset debug
cmake --build --preset debug -j"$jobs"
ctest --preset debug -j"$jobs"

step "Placidor.dll (32-bit Windows) under Wine: exports, C host, unit tests"
cmake --preset win32
cmake --build --preset win32 -j"$jobs"
ctest --preset win32 -j"$jobs"

step "sanitizers (address, undefined) over the unit tests"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
ctest --preset sanitize -j"$jobs"

step "the placidor command line: option parsing and whole files"
cmake --preset host
cmake --build --preset host -j"$jobs"
ctest --preset host -j"$jobs"

step "the API fuzzer (libFuzzer, clang), two minutes"
tests/fuzz/run-fuzz.sh 120
