#!/usr/bin/env bash
# The installed tree serves another project: `cmake --install` into a scratch
# prefix, where nvsip-ua runs; examples/answer-calls.cpp built from it by the
# CMake project in consumer/ (find_package) and by g++ with pkg-config's flags;
# each build answers one call from SIPp. No LD_LIBRARY_PATH: RPATHs suffice.
# Usage: find-package-and-pkg-config.sh BUILD_DIR LIBDIR [sanitized]
set -euo pipefail
[ "${3:-}" != sanitized ] || { echo "skipped: a build with sanitizers is not for installing"; exit 77; }
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=../../scripts/loopback-lib.sh
source "$here/../../scripts/loopback-lib.sh"
prefix="$work/prefix"

cmake --install "$1" --prefix "$prefix"
"$prefix/bin/nvsip-ua" --help >/dev/null
cmake -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/consumer"
# shellcheck disable=SC2046
g++ -std=c++17 -o "$work/answer-calls-pc" "$here/../../examples/answer-calls.cpp" -Wl,-rpath,"$prefix/$2" \
  $(PKG_CONFIG_PATH="$prefix/$2/pkgconfig" pkg-config --cflags --libs nvsipmlapi)

for program in "$work/consumer/answer-calls" "$work/answer-calls-pc"; do
  port="$(free_port)"
  "$program" "$port" >/dev/null &
  pids+=($!)
  timeout 60 sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd -timeout 30 -timeout_error \
    >"$work/sipp.out" 2>&1 || { echo "SIPp's call to $program failed"; tail -20 "$work/sipp.out"; exit 1; }
  kill "${pids[-1]}"
  echo "ok   $program answered SIPp's call"
done
