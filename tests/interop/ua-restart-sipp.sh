#!/usr/bin/env bash
# Calls that survive a crash: `nvsip-ua listen --snapshot-dir` answers a call
# from SIPp, is killed with SIGKILL once the call is up, and is started
# again on the same address with the same folder. It takes the call back:
#   1. SIPp's BYE is answered 200;
#   2. started with --hangup-after, it sends a BYE that SIPp accepts.
# Usage: ua-restart-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

# case NAME SCENARIO "FLAGS AFTER THE RESTART" "EXPECTED SUMMARY TEXT"
case_() {
  local name="$1" scenario="$2" flags="$3" expected="$4"
  local port snapshots="$work/$name.snapshots"
  port="$(free_port)"
  "$ua" listen --bind 127.0.0.1:"$port" --count 1 --snapshot-dir "$snapshots" >"$work/$name.first" 2>&1 &
  local first=$!
  pids+=("$first")
  sleep 0.3
  timeout 60 sipp -sf "$scenarios/$scenario" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
    -timeout 30s -timeout_error >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  for _ in $(seq 50); do
    compgen -G "$snapshots/*.call" >/dev/null && break
    sleep 0.05
  done
  compgen -G "$snapshots/*.call" >/dev/null || { echo "FAIL $name: no snapshot written"; cat "$work/$name.first"; exit 1; }
  kill -KILL "$first"
  wait "$first" 2>/dev/null || true
  # shellcheck disable=SC2086
  timeout 60 "$ua" listen --bind 127.0.0.1:"$port" --count 1 --snapshot-dir "$snapshots" $flags >"$work/$name.second" 2>&1 ||
    { echo "FAIL $name: the restarted nvsip-ua did not exit 0"; cat "$work/$name.second"; exit 1; }
  wait "$sipp_pid" || { echo "FAIL $name: SIPp's scenario failed"; tail -30 "$work/$name.sipp"; exit 1; }
  grep -q "^summary: .*$expected" "$work/$name.second" ||
    { echo "FAIL $name: expected '$expected'"; cat "$work/$name.second"; exit 1; }
  if compgen -G "$snapshots/*" >/dev/null; then echo "FAIL $name: snapshot left behind"; ls "$snapshots"; exit 1; fi
  echo "ok   $name: $(grep '^summary:' "$work/$name.second")"
}

case_ peer-hangs-up uac-long-call.xml "" "1 answered, caller hung up"
case_ we-hang-up uac-callee-hangs-up.xml "--hangup-after 300" "1 hung up (BYE answered 200)"
