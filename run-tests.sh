#!/usr/bin/env bash
# Every test of Placidor on a fresh Debian 12 machine: installs the packages,
# builds each configuration and runs its tests.
#   native debug (unit, simd, api, clip), sanitizers (address + undefined),
#   Placidor.dll for 64-bit Windows under 64-bit Wine (win64), Placidor.dll
#   for 32-bit Windows under Wine (win32, where this machine runs 32-bit
#   programs), the command line (cli) and its installed tree, the command
#   line's tests again under the sanitizers, the Debian package, the fuzzer.
#
#   ./run-tests.sh [--no-32bit]
#
# Some kernels refuse 32-bit x86 programs, and Wine cannot run 32-bit Windows
# programs there. A probe finds out; where it fails, the win32 DLL and its
# test programs are still built, the checks that need no 32-bit execution
# (export table, imports, install folder) run, and the test programs are
# reported as skipped. --no-32bit takes that path on any machine.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

force_no_32bit=0
for arg in "$@"; do
  case "$arg" in
    --no-32bit) force_no_32bit=1 ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-tests.sh: unknown argument '$arg' (try --help)" >&2; exit 2 ;;
  esac
done

scripts/install-deps.sh base win32 win64 host fuzz

step() { printf '\n=== %s\n' "$*"; }

# ctest, counting the tests that passed and those that did not run
# (disabled, or skipped by their own choice) for the summary line at the end.
passed=0
skipped=0
not_run=""
run_ctest() {
  local log total failed n_skipped
  log=$(mktemp)
  ctest "$@" 2>&1 | tee "$log"
  total=$(sed -n 's/.* tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
  failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$log" | tail -n 1)
  # CTest counts a test that skipped itself in "out of N"; a disabled test
  # it leaves out.
  n_skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log" || true)
  not_run=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (\(Disabled\|Skipped\))$/\1/p' "$log" | tr '\n' ' ')
  skipped=$((skipped + $(grep -cE '^[[:space:]]+[0-9]+ - .* \((Disabled|Skipped)\)$' "$log" || true)))
  passed=$((passed + ${total:-0} - ${failed:-0} - n_skipped))
  rm -f "$log"
  check_test_names "$@"
}

# A test's name must be the same in every build: no address, no bytes of a
# parameter, no build folder in it. Read after the run, when the GoogleTest
# programs have been asked for their tests.
check_test_names() {
  local bad
  bad=$(ctest "$@" -N | sed -n 's/^ *Test *#[0-9]*: //p' |
    grep -E -e '(^|[^0-9A-Za-z])0x[0-9a-fA-F]{4,}|[0-9]+-byte object' -e "$PWD" || true)
  if [[ -n $bad ]]; then
    printf 'test names that would differ from build to build:\n%s\n' "$bad" >&2
    exit 1
  fi
}

# Can this machine run a 32-bit Windows console program under Wine? Builds
# a tiny one with the i686 cross compiler and runs it, with a time limit,
# in the prefix the win32 tests use. Sets win32_why when it cannot.
win32_why=""
probe_win32() {
  local dir out status
  if ((force_no_32bit)); then
    win32_why="--no-32bit was given"
    return 1
  fi
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    win32_why="the 32-bit Wine package (wine32:i386) could not be installed"
    return 1
  fi
  dir=$(mktemp -d)
  printf '#include <stdio.h>\nint main(void) { puts("placidor-probe"); return 0; }\n' >"$dir/probe.c"
  if ! i686-w64-mingw32-gcc -o "$dir/probe.exe" "$dir/probe.c" 2>"$dir/cc.log"; then
    win32_why="the i686 cross compiler failed: $(tail -n 1 "$dir/cc.log")"
    rm -rf "$dir"
    return 1
  fi
  mkdir -p build/win32
  status=0
  out=$(timeout 180 win/wine-run.sh win32 "$PWD/build/win32/wine-prefix" "$dir/probe.exe" 2>&1) || status=$?
  rm -rf "$dir"
  if [[ $status -eq 0 && $out == *placidor-probe* ]]; then
    return 0
  fi
  if ((status == 124)); then
    win32_why="a 32-bit probe program did not finish within 180 s under Wine"
  else
    win32_why="a 32-bit probe program failed under Wine (exit $status: $(printf '%s\n' "$out" | tail -n 1))"
  fi
  return 1
}

# Now and then a Windows test program under Wine ends at once with no output
# (Wine failing to start the process, seen in 0.00 s among 200 tests that pass).
# A test that fails under Wine runs once more; a real failure fails both times.
wine_retry="--repeat until-pass:2"

step "source format (clang-format)"
scripts/check-format.sh

step "native debug build and tests"
cmake --preset debug
cmake --build --preset debug -j"$jobs"
run_ctest --preset debug -j"$jobs"

step "Placidor.dll (64-bit Windows) under 64-bit Wine: exports, C host, unit tests"
cmake --preset win64
cmake --build --preset win64 -j"$jobs"
run_ctest --preset win64 -j"$jobs" $wine_retry

step "Placidor.dll (32-bit Windows) under Wine: exports, C host, unit tests"
if probe_win32; then
  cmake --preset win32 -DPLACIDOR_RUN_WINDOWS_TESTS=ON
  cmake --build --preset win32 -j"$jobs"
  run_ctest --preset win32 -j"$jobs" $wine_retry
else
  cmake --preset win32 -DPLACIDOR_RUN_WINDOWS_TESTS=OFF
  cmake --build --preset win32 -j"$jobs"
  run_ctest --preset win32 -j"$jobs" $wine_retry
  n_not_run=$(wc -w <<<"$not_run")
  echo "win32: ${n_not_run} tests skipped, not run: ${not_run% } (built, but ${win32_why});" \
       "only the export table, import and install checks ran"
fi

step "sanitizers (address, undefined) over the unit tests"
cmake --preset sanitize
cmake --build --preset sanitize -j"$jobs"
run_ctest --preset sanitize -j"$jobs"

step "the placidor command line: option parsing and whole files"
cmake --preset host
cmake --build --preset host -j"$jobs"
run_ctest --preset host -j"$jobs"

step "the placidor command line under the sanitizers (address, undefined, leaks)"
cmake --preset host-sanitize
cmake --build --preset host-sanitize -j"$jobs"
run_ctest --preset host-sanitize -j"$jobs"

step "the Debian package (CPack): control, contents, unpacked and run"
cmake --preset deb
cmake --build --preset deb -j"$jobs"
cpack --preset deb
tests/install/check_deb.sh build/deb
passed=$((passed + 1))

step "the API fuzzer (libFuzzer, clang), two minutes"
tests/fuzz/run-fuzz.sh 120
passed=$((passed + 1))

printf '\nAll steps passed.\n%s passed, 0 failed, %s skipped\n' "$passed" "$skipped"
