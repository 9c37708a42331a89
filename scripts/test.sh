#!/usr/bin/env bash
# Builds the project and runs every test: the unit tests, the tool tests,
# the SIPp interop tests and the install test, then the same tests again
# built with AddressSanitizer and UndefinedBehaviorSanitizer, then, built
# with ThreadSanitizer, the unit tests that race threads against each other
# (named *Race*, and the shared-counter and shared-tag cases) and every tool
# and interop test: nvsip-ua, nvsip-ping and the examples with their real
# threads (stack, timers, application) against SIPp. A race stops the
# process that has it with status 66, which fails its test; a report from a
# process killed on purpose fails it too (scripts/loopback-lib.sh). Prints
# the total time at the end.
#
#   scripts/test.sh          the full run
#   scripts/test.sh --fast   the plain build with the unit and tool tests
#                            only: no SIPp, no install, no sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

# The fast run leaves out the benchmarks and the tests that need SIPp or an install.
fast=false bench=ON passed="all tests" skip=()
case "${1:-}" in
  "") ;;
  --fast) fast=true bench=OFF passed="the unit and tool tests" skip=(-E '^(interop|install)\.') ;;
  *) echo "usage: scripts/test.sh [--fast]" >&2; exit 2 ;;
esac

scripts/setup-deps.sh
jobs="$(nproc)"

echo "== build and test"
# Every option the run depends on is given, so that a cache left by an
# earlier configure cannot switch the tests off.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNVSIP_TESTS=ON -DNVSIP_BENCH=$bench -DNVSIP_SANITIZE=OFF >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --no-tests=error --output-on-failure -j"$jobs" "${skip[@]}"

if ! $fast; then
  echo "== build and test with sanitizers"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNVSIP_SANITIZE=ON -DNVSIP_TESTS=ON -DNVSIP_BENCH=OFF >/dev/null
  cmake --build build-asan -j"$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
    ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs"

  echo "== thread races with ThreadSanitizer"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DNVSIP_TSAN=ON -DNVSIP_TESTS=ON -DNVSIP_BENCH=OFF >/dev/null
  cmake --build build-tsan -j"$jobs" --target unit_tests nvsip-ua nvsip-ping nvsip-parse place-call b2bua auto-attendant
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  build-tsan/tests/unit_tests --gtest_filter='*Race*:NvObjectRefCount.*:TransactionServer.ThreadsRespondingAtOnceShareOneTag:MonitorThread.*'
  ctest --test-dir build-tsan --no-tests=error --output-on-failure -R '^(interop|tool)\.'
fi

echo "$passed passed in $((SECONDS / 60)) min $((SECONDS % 60)) s"
