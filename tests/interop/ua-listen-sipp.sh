#!/usr/bin/env bash
# nvsip-ua listen against SIPp as the caller, over loopback, one SIPp
# scenario per behaviour. Each case starts the UA with its flags, runs the
# scenario, and checks that SIPp passed and that the UA exited 0 with the
# expected outcome in its summary.
# Usage: ua-listen-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

# case NAME "UA FLAGS" "SIPP SCENARIO ARGS" "EXPECTED SUMMARY TEXT" [SIPP TRANSPORT]
case_() {
  local name="$1" flags="$2" scenario="$3" expected="$4" transport="${5:-u1}"
  local port; port="$(free_port)"
  # shellcheck disable=SC2086
  timeout 90 "$ua" listen --bind 127.0.0.1:"$port" $flags >"$work/$name.ua" 2>&1 &
  local ua_pid=$!
  pids+=("$ua_pid")
  sleep 0.3
  # shellcheck disable=SC2086
  if ! timeout 60 sipp $scenario -t "$transport" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" \
      -m 1 -nostdin -nd -timeout 45s -timeout_error >"$work/$name.sipp" 2>&1; then
    echo "FAIL $name: SIPp's scenario failed"; tail -30 "$work/$name.sipp"; cat "$work/$name.ua"; exit 1
  fi
  if ! wait "$ua_pid"; then
    echo "FAIL $name: nvsip-ua did not exit 0"; cat "$work/$name.ua"; exit 1
  fi
  if ! grep -q "^summary: .*$expected" "$work/$name.ua"; then
    echo "FAIL $name: expected '$expected' in the summary"; cat "$work/$name.ua"; exit 1
  fi
  echo "ok   $name: $(grep '^summary:' "$work/$name.ua")"
}

case_ basic-udp "--count 1" "-sn uac" "1 answered, caller hung up"
case_ basic-tcp "--count 1 --tcp" "-sn uac" "1 answered, caller hung up" t1
case_ reliable-180 "--count 1 --reliable" "-sf $scenarios/uac-reliable.xml" "1 answered, caller hung up"
case_ cancel "--count 1 --ring 20000" "-sf $scenarios/uac-cancel.xml" "1 cancelled"
case_ session-too-small "--count 1" "-sf $scenarios/uac-422.xml" "1 rejected"
case_ session-timer "--count 1 --timer 1800" "-sf $scenarios/uac-timer.xml" "1 answered, caller hung up"
case_ retransmissions "--count 1 --ring 1000" "-sf $scenarios/uac-retransmit.xml" "1 answered, caller hung up"
case_ bye-before-ack "--count 1" "-sf $scenarios/uac-bye-no-ack.xml" "1 answered, caller hung up"
case_ callee-hangs-up "--count 1 --hangup-after 200" "-sf $scenarios/uac-callee-hangs-up.xml" "1 hung up (BYE answered 200)"
case_ never-acknowledged "--count 1" "-sf $scenarios/uac-no-ack.xml" "1 timed out"

# Requests naming no dialog get 481 and the UA keeps running: a call afterwards still works.
port="$(free_port)"
timeout 60 "$ua" listen --bind 127.0.0.1:"$port" --count 1 >"$work/stray.ua" 2>&1 &
ua_pid=$!
pids+=("$ua_pid")
sleep 0.3
timeout 30 sipp -sf "$scenarios/uac-stray.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  >"$work/stray.sipp" 2>&1 || { echo "FAIL stray: SIPp's scenario failed"; tail -30 "$work/stray.sipp"; exit 1; }
timeout 30 sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd >"$work/after.sipp" 2>&1 ||
  { echo "FAIL stray: no call after the stray requests"; tail -30 "$work/after.sipp"; exit 1; }
wait "$ua_pid" || { echo "FAIL stray: nvsip-ua did not exit 0"; cat "$work/stray.ua"; exit 1; }
echo "ok   outside-any-dialog: 481 to BYE, CANCEL and To-tagged INVITE, then a call"
