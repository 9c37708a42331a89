#!/usr/bin/env bash
# nvsip-ua in an established call against SIPp over loopback: re-INVITEs
# both ways (491 and its retry, 422 with Min-SE), the session timer
# (negotiation, 422 to our INVITE, the refresh), INFO and NOTIFY, a BYE
# challenged for credentials, our INFO left unanswered. listen_ cases run
# the UA as callee and SIPp as caller, call_ cases the other way round; each
# checks SIPp's verdict, the UA's exit status and its summary.
# Usage: ua-dialog-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

# fail NAME WHY: reports the case with both peers' output and stops.
fail() {
  echo "FAIL $1: $2"; cat "$work/$1.ua"; tail -30 "$work/$1.sipp"; exit 1
}

# verdict NAME UA_STATUS EXPECTED_STATUS "EXPECTED SUMMARY TEXT" SIPP_PID
verdict() {
  local name="$1" got="$2" status="$3" expected="$4" sipp_pid="$5"
  [ "$got" = "$status" ] || fail "$name" "nvsip-ua exited $got, expected $status"
  grep -q "^summary: .*$expected" "$work/$name.ua" || fail "$name" "expected '$expected' in the summary"
  wait "$sipp_pid" || fail "$name" "SIPp's scenario failed"
  echo "ok   $name: $(grep '^summary: .* ended' "$work/$name.ua")"
}

# listen_ NAME "UA FLAGS" SCENARIO "EXPECTED SUMMARY TEXT"
listen_() {
  local name="$1" flags="$2" scenario="$3" expected="$4"
  local port; port="$(free_port)"
  # shellcheck disable=SC2086
  timeout 60 "$ua" listen --bind 127.0.0.1:"$port" --count 1 $flags >"$work/$name.ua" 2>&1 &
  local ua_pid=$!
  pids+=("$ua_pid")
  sleep 0.3
  timeout 60 sipp -sf "$scenarios/$scenario" -t u1 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" \
    -m 1 -nostdin -nd -timeout 45s -timeout_error >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  local got=0
  wait "$ua_pid" || got=$?
  verdict "$name" "$got" 0 "$expected" "$sipp_pid"
}

# call_ NAME SCENARIO "UA FLAGS" UA_STATUS "EXPECTED SUMMARY TEXT" ["EXPECTED EVENT LINE"]
call_() {
  local name="$1" scenario="$2" flags="$3" status="$4" expected="$5" event="${6:-}"
  local port; port="$(free_port)"
  timeout 60 sipp -sf "$scenarios/$scenario" -t u1 -i 127.0.0.1 -p "$port" -m 1 -nostdin -nd \
    >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  sleep 0.3
  local got=0
  # shellcheck disable=SC2086
  timeout 60 "$ua" call "sip:service@127.0.0.1:$port" --bind 127.0.0.1:0 $flags >"$work/$name.ua" 2>&1 || got=$?
  verdict "$name" "$got" "$status" "$expected" "$sipp_pid"
  [ -z "$event" ] || grep -q "$event" "$work/$name.ua" || fail "$name" "no event line '$event'"
}

listen_ peer-reinvite-info-notify "" uac-in-dialog.xml "1 answered, caller hung up"
listen_ peer-reinvite-too-small "--timer 90" uac-reinvite-422.xml "1 answered, caller hung up"
listen_ session-refresh "--timer 22" uac-refresh.xml "1 answered, caller hung up"
call_ our-reinvite uas-reinvite.xml "--reinvite-after 200 --hold 1000" 0 "1 answered"
call_ glare uas-glare.xml "--reinvite-after 200 --hold 1500" 0 "1 answered"
call_ our-reinvite-491 uas-reinvite-491.xml "--reinvite-after 200 --hold 6000" 0 "1 answered" \
  "491 to re-INVITE received"
call_ bye-challenged uas-bye-401.xml "--hold 200 --auth alice:secret" 0 "1 answered"
call_ invite-422-session-timer uas-422.xml "--timer 30 --hold 300" 0 "1 answered"
call_ info-unanswered uas-info-silent.xml "--info-after 100 --hold 40000" 1 "1 answered, not ended cleanly" \
  "INFO got no answer"
