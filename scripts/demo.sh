#!/usr/bin/env bash
# Builds the project and runs the main job: `nvsip-ua demo` listens on a
# loopback port, calls itself through the call-control library (INVITE,
# reliable 180 and PRACK, 200, ACK, BYE) and draws the call as a ladder.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
# A build folder of its own, so that the test command's build keeps its tests.
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DNVSIP_TESTS=OFF -DNVSIP_BENCH=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target nvsip-ua
timeout 60 build-demo/apps/nvsip-ua demo
