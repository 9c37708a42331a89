#!/usr/bin/env bash
# Calls over a lossy network: SIPp's -lost drops LOST percent of what a SIPp
# peer sends and of what it receives, at random, so both directions of each
# exchange lose messages and the calls live on retransmissions. In one run:
#   1. SIPp's lossy caller against SIPp's answerer (the reference) and
#      against `nvsip-ua listen`;
#   2. SIPp's caller against SIPp's lossy answerer (the reference) and
#      `nvsip-ua call` against the same lossy answerer;
#   3. without loss, SIPp's caller against the same `nvsip-ua listen` and
#      `nvsip-ua call` against SIPp's answerer: both must fail no call.
# A call counts as completed when it was answered and its BYE got its 200
# (SIPp's successful calls; nvsip-ua call's calls ended cleanly). Each
# phase places CALLS calls at RATE a second, each held 1 s before its BYE
# (so that a lost ACK is recovered from before the BYE comes).
#
#   bench/call-loss.sh [BUILD_DIR] [CALLS] [LOST] [RATE]
#
# BUILD_DIR holds a Release build (default build-rel); defaults: 2,000
# calls, 10 % lost, 200 calls a second. Needs sipp (Debian package
# sip-tester). Exits 1 when nvsip-ua completes fewer calls than SIPp under
# loss, beyond chance (see compare), or fails one without loss.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
calls="${2:-2000}"
lost="${3:-10}"
rate="${4:-200}"
# A lost INVITE is given up after 64*T1 (32 s): every phase ends well within this.
limit=$((calls / rate + 120))
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

# caller NAME PORT [SIPP FLAGS]: SIPp's caller places the calls to PORT; prints "completed failed".
caller() {
  local name="$1" port="$2"
  shift 2
  timeout "$limit" sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m "$calls" -r "$rate" \
    -d 1000 "$@" -nostdin -nd -trace_stat -stf "$work/$name.csv" -fd 3600 >"$work/$name.out" 2>&1 || true
  sipp_calls "$work/$name.csv"
}

# answerer NAME [SIPP FLAGS]: SIPp's answerer on a free port; sets $answerer_port.
answerer() {
  local name="$1"
  shift
  answerer_port="$(free_port)"
  sipp -sn uas -i 127.0.0.1 -p "$answerer_port" "$@" -nostdin -nd >"$work/$name.out" 2>&1 &
  pids+=($!)
  sleep 0.5
}

# ua_caller NAME PORT: `nvsip-ua call` places the calls to PORT; prints "completed failed".
ua_caller() {
  timeout "$limit" "$build/apps/nvsip-ua" call "sip:service@127.0.0.1:$2" --bind 127.0.0.1:0 --count "$calls" \
    --rate "$rate" --hold 1000 --json >"$work/$1.json" 2>"$work/$1.err" || true
  python3 -c 'import json, sys; s = json.load(open(sys.argv[1])); print(s["ended_cleanly"], s["calls"] - s["ended_cleanly"])' \
    "$work/$1.json"
}

percent() { python3 -c "print('%.1f %%' % (100.0 * $1 / $calls))"; }
verdict=0
# compare WHAT OURS THEIRS: one line. Calls fail rarely under this loss (a
# few in a thousand, nearly all a BYE that SIPp's answerer never answers,
# whoever the caller), so the failures of a run are a small random count:
# a shortfall fails the run when it exceeds chance, twice the standard
# deviation of the difference of two such counts.
compare() {
  local mark
  mark="$(python3 -c "
ours, theirs = $calls - $2, $calls - $3
print('ok' if ours <= theirs else 'fewer, within chance' if ours - theirs <= 2 * (ours + theirs) ** 0.5 else 'FEWER')")"
  [ "$mark" != FEWER ] || verdict=1
  echo "  $1: nvsip-ua $2 ($(percent "$2")), SIPp $3 ($(percent "$3")): $mark"
}

echo "Calls with $lost % of each SIPp peer's messages lost: $calls calls a phase at $rate/s, UDP on 127.0.0.1"

listen_port="$(free_port)"
"$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$listen_port" --quiet >"$work/listen.out" 2>&1 &
listener=$!
pids+=("$listener")
answerer plain
plain_port="$answerer_port"
sleep 0.5

read -r sipp_done _ < <(caller lossy-to-sipp "$plain_port" -lost "$lost")
read -r ua_done _ < <(caller lossy-to-ua "$listen_port" -lost "$lost")
compare "lossy SIPp caller, calls completed by the answerer" "$ua_done" "$sipp_done"

answerer lossy -lost "$lost"
read -r sipp_done _ < <(caller to-lossy "$answerer_port")
read -r ua_done _ < <(ua_caller ua-to-lossy "$answerer_port")
compare "lossy SIPp answerer, calls completed by the caller" "$ua_done" "$sipp_done"

read -r done failed < <(caller clean-to-ua "$listen_port")
echo "  no loss, SIPp caller -> the same nvsip-ua listen: $done completed, $failed failed"
[ "$failed" = 0 ] && [ "$done" = "$calls" ] || verdict=1
read -r done failed < <(ua_caller ua-to-clean "$plain_port")
echo "  no loss, nvsip-ua call -> SIPp answerer: $done completed, $failed failed"
[ "$failed" = 0 ] && [ "$done" = "$calls" ] || verdict=1
kill -0 "$listener" || { echo "  nvsip-ua listen is gone"; verdict=1; }
exit "$verdict"
