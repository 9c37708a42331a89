#!/usr/bin/env bash
# Builds the project and runs every test: the unit tests, then the same
# tests again built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
jobs="$(nproc)"

echo "== build and test"
# Every option the run depends on is given, so that a cache left by an
# earlier configure cannot switch the tests off.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNVSIP_TESTS=ON -DNVSIP_BENCH=ON -DNVSIP_SANITIZE=OFF >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --no-tests=error --output-on-failure -j"$jobs"

echo "== build and test with sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DNVSIP_SANITIZE=ON -DNVSIP_TESTS=ON -DNVSIP_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
  ctest --test-dir build-asan --no-tests=error --output-on-failure -j"$jobs"
