#!/usr/bin/env bash
# nvsip-ua listen against SIPp as the caller, over loopback, one SIPp
# scenario per behaviour (see ua-lib.sh).
# Usage: ua-listen-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
source "$(dirname "$0")/ua-lib.sh"

listen_ basic-udp "" "-sn uac" "1 answered, caller hung up"
listen_ basic-tcp "--tcp" "-sn uac" "1 answered, caller hung up" t1
listen_ reliable-180 "--reliable" "-sf $scenarios/uac-reliable.xml" "1 answered, caller hung up"
# The caller requires 100rel: the 180 goes reliably though nvsip-ua was not asked to send it so.
listen_ required-100rel "--ring 500" "-sf $scenarios/uac-require-100rel.xml" "1 answered, caller hung up"
# Early media (RFC 3262 3): a reliable 183 with the SDP answer; the 200 nvsip-ua gave at once waits for its PRACK.
listen_ early-media "--early-media --reliable --ring 0" "-sf $scenarios/uac-early-media.xml" \
  "1 answered, caller hung up" u1 "183 with SDP sent reliably"
# Delayed offer (RFC 3261 13.3.1): an INVITE without SDP gets the offer in the 200, the answer comes in the ACK; the
# PRACK of the reliable 180, sent after that 200, still gets 200.
listen_ delayed-offer-late-prack "--early-media --reliable --ring 0" "-sf $scenarios/uac-late-prack.xml" \
  "1 answered, caller hung up" u1 "ACK received with the SDP answer"
listen_ cancel "--ring 20000" "-sf $scenarios/uac-cancel.xml" "1 cancelled"
listen_ session-too-small "" "-sf $scenarios/uac-422.xml" "1 rejected"
listen_ session-timer "--timer 1800" "-sf $scenarios/uac-timer.xml" "1 answered, caller hung up"
listen_ retransmissions "--ring 1000" "-sf $scenarios/uac-retransmit.xml" "1 answered, caller hung up"
listen_ bye-before-ack "" "-sf $scenarios/uac-bye-no-ack.xml" "1 answered, caller hung up"
listen_ callee-hangs-up "--hangup-after 200" "-sf $scenarios/uac-callee-hangs-up.xml" "1 hung up (BYE answered 200)"
listen_ never-acknowledged "" "-sf $scenarios/uac-no-ack.xml" "1 timed out"
listen_ hangs-up-before-ack "--hangup-after 200" "-sf $scenarios/uac-late-ack.xml" "1 hung up (BYE answered 200)"
# INFO and re-INVITE left to the library: each answered 500 after 10 s, and the dialog takes the next re-INVITE.
sipp_timeout=60s listen_ left-to-the-library "--leave-unanswered INFO,INVITE" "-sf $scenarios/uac-left-unanswered.xml" \
  "1 answered, caller hung up"

# Requests naming no dialog get 481, OPTIONS 200, an unhandled method 405, an unknown Require 420, and the UA
# keeps running: a call afterwards still works.
start_listener stray ""
timeout 30 sipp -sf "$scenarios/uac-stray.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  >"$work/stray.sipp" 2>&1 || fail stray "SIPp's scenario failed"
timeout 30 sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd >"$work/stray.sipp" 2>&1 ||
  fail stray "no call after the stray requests"
wait "$ua_pid" || fail stray "nvsip-ua did not exit 0"
echo "ok   outside-any-dialog: 481 to BYE, CANCEL and To-tagged INVITE; 200 to OPTIONS, 405 to PUBLISH, 420 to an unknown Require; then a call"

# Replaces (RFC 3891): a second caller's INVITE names the first call (its Call-ID and tags, which the first SIPp
# logs); the listener's default accepts it, answers 200 and hangs the replaced call up (the first SIPp awaits
# that BYE); the second caller then hangs up.
start_listener replaces ""
timeout 60 sipp -sf "$scenarios/uac-replaced.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  -trace_logs -log_file "$work/replaced.log" >"$work/replaced.sipp" 2>&1 &
replaced_pid=$!
pids+=("$replaced_pid")
for _ in $(seq 100); do grep -qs SIPpTag "$work/replaced.log" && break; sleep 0.1; done
printf 'SEQUENTIAL\n%s\n' "$(grep -o '[^ ]*;[^ ;]*;[0-9]*SIPpTag00[0-9]*' "$work/replaced.log" | tail -1)" \
  >"$work/replaces.csv"
timeout 60 sipp -sf "$scenarios/uac-replaces.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  -inf "$work/replaces.csv" >"$work/replaces.sipp" 2>&1 || fail replaces "the replacing caller's scenario failed"
wait "$replaced_pid" || fail replaces "the replaced call got no BYE"
wait "$ua_pid" || fail replaces "nvsip-ua did not exit 0"
grep -q "^summary: .*1 answered, caller hung up" "$work/replaces.ua" || fail replaces "unexpected summary"
echo "ok   replaces: the replacing INVITE answered 200, the replaced call hung up, then the new caller's BYE"

# Call limit: with --max-calls 1 and a call held, a new caller's INVITE gets 503 with Retry-After (RFC 3261 21.5.4)
# and never reaches the listener's calls; the held call then ends as usual.
start_listener call-limit "--max-calls 1"
timeout 60 sipp -sf "$scenarios/uac-long-call.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  >"$work/call-limit.sipp" 2>&1 &
held_pid=$!
pids+=("$held_pid")
for _ in $(seq 50); do grep -q "ACK received" "$work/call-limit.ua" && break; sleep 0.1; done
timeout 30 sipp -sf "$scenarios/uac-shed.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  >>"$work/call-limit.sipp" 2>&1 || fail call-limit "the second caller got no 503 with Retry-After"
wait "$held_pid" || fail call-limit "the held call failed"
wait "$ua_pid" || fail call-limit "nvsip-ua did not exit 0"
grep -q "^summary: 1 calls ended.*1 answered, caller hung up" "$work/call-limit.ua" || fail call-limit "unexpected summary"
echo "ok   call-limit: a new INVITE at the limit answered 503 with Retry-After, the held call ended as usual"
