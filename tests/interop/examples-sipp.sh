#!/usr/bin/env bash
# The example programs against SIPp, over loopback: each case runs one
# example and the SIPp peers around it, and checks the example's exit status
# and every peer's scenario (the scenarios check what the example sends).
# Usage: examples-sipp.sh PLACE-CALL B2BUA AUTO-ATTENDANT SCENARIO_DIR
set -euo pipefail
place_call="$1"
b2bua="$2"
attendant="$3"
scenarios="$4"
source "$(dirname "$0")/ua-lib.sh"

# peer CASE NAME SCENARIO PORT [SIPP ARGS...]: a SIPp peer of CASE in the background, its PID in $peer.
peer() {
  local case="$1" name="$2" scenario="$3" port="$4"
  shift 4
  timeout 60 sipp -sf "$scenarios/$scenario" "$@" -i 127.0.0.1 -p "$port" -m 1 -nostdin -nd -timeout 30s \
    -timeout_error >"$work/$case.$name.sipp" 2>&1 &
  peer=$!
  pids+=("$peer")
}

# passed CASE NAME PID: the peer's scenario passed, else the case fails with the example's output and the peer's.
passed() {
  wait "$3" && return
  cp "$work/$1.$2.sipp" "$work/$1.sipp"
  fail "$1" "SIPp's $2 scenario failed"
}

# ended CASE PID: the example (in the background) exited 0.
ended() {
  local got=0
  wait "$2" || got=$?
  [ "$got" = 0 ] || fail "$1" "the example exited $got"
}

# place-call: a 401 challenge and a 302 at the first server, answered at the second, hung up after 200 ms.
first="$(free_port)"
second="$(free_port)"
peer place-call redirector example-challenge-redirect.xml "$first" -key second_port "$second"
redirector=$peer
peer place-call callee example-callee.xml "$second"
callee=$peer
sleep 0.3
got=0
timeout 60 "$place_call" "sip:service@127.0.0.1:$first" alice:secret 200 >"$work/place-call.ua" 2>&1 || got=$?
[ "$got" = 0 ] || fail place-call "place-call exited $got"
passed place-call redirector "$redirector"
passed place-call callee "$callee"
echo "ok   place-call: $(tail -1 "$work/place-call.ua")"

# bridged CASE CALLER_SCENARIO CALLEE_SCENARIO: one call from a SIPp caller through b2bua to a SIPp callee.
bridged() {
  local case="$1" bridge callee_port callee example
  bridge="$(free_port)"
  callee_port="$(free_port)"
  peer "$case" callee "$3" "$callee_port"
  callee=$peer
  timeout 60 "$b2bua" "$bridge" "sip:callee@127.0.0.1:$callee_port" 1 >"$work/$case.ua" 2>&1 &
  example=$!
  pids+=("$example")
  sleep 0.3
  peer "$case" caller "$2" "$(free_port)" "127.0.0.1:$bridge"
  passed "$case" caller "$peer"
  passed "$case" callee "$callee"
  ended "$case" "$example"
  echo "ok   $case"
}
# The caller's re-INVITE and the callee's UPDATE each cross to the other side; the caller's BYE ends both legs.
bridged b2bua example-b2bua-caller.xml example-b2bua-callee.xml
# The caller's CANCEL while the callee rings cancels the outgoing leg (200 to the CANCEL, 487, ACK on both sides).
bridged b2bua-cancel uac-cancel.xml uas-cancel.xml

# auto-attendant: key 1 by INFO, REFER to the table's sales URI, NOTIFY 200, BYE.
attending="$(free_port)"
timeout 60 "$attendant" "$attending" 1 1=sip:sales@127.0.0.1:5070 2=sip:support@127.0.0.1:5070 \
  >"$work/auto-attendant.ua" 2>&1 &
example=$!
pids+=("$example")
sleep 0.3
peer auto-attendant caller example-attendant-caller.xml "$(free_port)" "127.0.0.1:$attending"
passed auto-attendant caller "$peer"
ended auto-attendant "$example"
echo "ok   auto-attendant: $(tail -1 "$work/auto-attendant.ua")"
