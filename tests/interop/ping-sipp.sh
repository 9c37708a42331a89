#!/usr/bin/env bash
# nvsip-ping against SIPp over loopback, both ways and on both transports:
#   1. nvsip-ping pings SIPp's OPTIONS server (UDP, then TCP): every OPTIONS answered.
#   2. SIPp sends OPTIONS to `nvsip-ping --respond` (UDP, then TCP): no failed transaction.
# Usage: ping-sipp.sh PATH/TO/nvsip-ping SCENARIO_DIR
set -euo pipefail
ping="$1"
scenarios="$2"
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

for transport in u1 t1; do
  flag=""; [ "$transport" = t1 ] && flag="--tcp"

  port="$(free_port)"
  sipp -sf "$scenarios/options-server.xml" -t "$transport" -i 127.0.0.1 -p "$port" -nostdin -nd \
    >"$work/server-$transport.out" 2>&1 &
  pids+=($!)
  sleep 0.5
  timeout 60 "$ping" --bind 127.0.0.1:0 --count 3 --interval 50 $flag "sip:sipp@127.0.0.1:$port"
  kill "${pids[-1]}" 2>/dev/null || true

  port="$(free_port)"
  timeout 60 "$ping" --respond --bind 127.0.0.1:"$port" --count 50 >"$work/respond-$transport.out" 2>&1 &
  responder=$!
  pids+=($responder)
  sleep 0.5
  timeout 60 sipp -sf "$scenarios/options-client.xml" -t "$transport" 127.0.0.1:"$port" -i 127.0.0.1 \
    -p "$(free_port)" -m 50 -l 10 -r 500 -nostdin -nd >"$work/client-$transport.out" 2>&1 ||
    { echo "SIPp client against nvsip-ping --respond ($transport) failed"; cat "$work/client-$transport.out" | tail -20; exit 1; }
  wait "$responder"
  echo "SIPp ($transport): 50 OPTIONS answered by nvsip-ping --respond"
done
