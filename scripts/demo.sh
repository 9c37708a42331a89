#!/usr/bin/env bash
# Builds the project and runs the main job: nvsip-parse checks a SIP INVITE
# and prints it back as the stack writes it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DNVSIP_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" --target nvsip-parse

if [ -t 0 ]; then
  build/apps/nvsip-parse            # terminal on stdin: the built-in sample INVITE
else
  build/apps/nvsip-parse --print examples/messages/invite-with-sdp.sip
fi
