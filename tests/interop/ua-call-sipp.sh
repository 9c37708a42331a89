#!/usr/bin/env bash
# nvsip-ua call against SIPp as the called party, over loopback, one SIPp
# scenario per behaviour (the scenarios check the ACK, BYE, PRACK, Route
# and credentials they receive). Each case checks SIPp's verdict, the UA's
# exit status and the outcome in its summary.
# Usage: ua-call-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

# case NAME "SIPP SCENARIO" "UA FLAGS" UA_STATUS "EXPECTED SUMMARY TEXT" [TRANSPORT]
case_() {
  local name="$1" scenario="$2" flags="$3" status="$4" expected="$5" transport="${6:-u1}"
  local port; port="$(free_port)"
  # shellcheck disable=SC2086
  timeout 90 sipp $scenario -t "$transport" -i 127.0.0.1 -p "$port" -m 1 -nostdin -nd \
    >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  sleep 0.3
  local got=0
  # shellcheck disable=SC2086
  timeout 90 "$ua" call "sip:service@127.0.0.1:$port" --bind 127.0.0.1:0 $flags >"$work/$name.ua" 2>&1 || got=$?
  if [ "$got" != "$status" ]; then
    echo "FAIL $name: nvsip-ua exited $got, expected $status"; cat "$work/$name.ua"; tail -20 "$work/$name.sipp"; exit 1
  fi
  if ! grep -q "^summary: .*$expected" "$work/$name.ua"; then
    echo "FAIL $name: expected '$expected' in the summary"; cat "$work/$name.ua"; exit 1
  fi
  if ! wait "$sipp_pid"; then
    echo "FAIL $name: SIPp's scenario failed"; tail -30 "$work/$name.sipp"; cat "$work/$name.ua"; exit 1
  fi
  echo "ok   $name: $(grep '^summary: .* ended' "$work/$name.ua")"
}

case_ basic-udp "-sf $scenarios/uas-basic.xml" "--hold 200" 0 "1 answered"
case_ basic-tcp "-sf $scenarios/uas-basic.xml" "--hold 200 --tcp" 0 "1 answered" t1
case_ record-route "-sf $scenarios/uas-record-route.xml" "--hold 200" 0 "1 answered"
case_ reliable-183 "-sf $scenarios/uas-reliable.xml" "--hold 200" 0 "1 answered"
case_ redirect "-sf $scenarios/uas-redirect.xml" "--hold 200 --follow-redirects" 0 "1 answered"
case_ auth-401 "-sf $scenarios/uas-auth-401.xml" "--hold 200 --auth alice:secret" 0 "1 answered"
case_ auth-407 "-sf $scenarios/uas-auth-407.xml" "--hold 200 --auth alice:secret" 0 "1 answered"
case_ busy "-sf $scenarios/uas-busy.xml" "" 1 "1 failed 486"
case_ forked "-sf $scenarios/uas-forked.xml" "--hold 300" 0 "1 answered"
case_ cancel "-sf $scenarios/uas-cancel.xml" "--cancel-after 300" 1 "1 cancelled"
case_ invite-timeout "-sf $scenarios/uas-silent.xml" "" 1 "1 failed no answer"
