#!/usr/bin/env bash
# Builds the project and runs the main job: `nvsip-ping --respond` answers
# OPTIONS on a loopback port, and `nvsip-ping` pings it through client
# transactions, printing each response and its round-trip time.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
# A build folder of its own, so that the test command's build keeps its tests.
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release -DNVSIP_TESTS=OFF -DNVSIP_BENCH=OFF >/dev/null
cmake --build build-demo -j"$(nproc)" --target nvsip-ping nvsip-parse

port="$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
build-demo/apps/nvsip-ping --respond --bind 127.0.0.1:"$port" --count 4 &
responder=$!
trap 'kill "$responder" 2>/dev/null || true' EXIT
sleep 0.5
build-demo/apps/nvsip-ping --bind 127.0.0.1:0 --count 4 --interval 250 "sip:demo@127.0.0.1:$port"
wait "$responder"
