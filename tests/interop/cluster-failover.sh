#!/usr/bin/env bash
# The failover cluster of deploy/ (Kamailio's dispatcher in front of two
# nvsip-ua nodes sharing Redis), run twice by deploy/cluster.sh:
#   1. a few calls through the balancer, one node killed mid-call, new calls
#      right after: every call ends cleanly;
#   2. node A answers every INVITE 503: its calls move to node B and their
#      BYEs follow them there, though node A is back in the set by then.
# Skipped (77) without kamailio or redis-server (scripts/setup-deps.sh
# installs both).
# Usage: cluster-failover.sh PATH/TO/nvsip-ua
set -euo pipefail
ua="$1"
for tool in kamailio redis-server redis-cli sipp; do
  command -v "$tool" >/dev/null ||
    { echo "SKIP: $tool not installed (scripts/setup-deps.sh installs kamailio, redis-server, sip-tester)"; exit 77; }
done
cluster="$(dirname "$0")/../../deploy/cluster.sh"
"$cluster" --ua "$ua" --calls 6 --hold 4 --kill-after 2 --new-calls 3
"$cluster" --ua "$ua" --calls 10 --hold 2 --busy-node
