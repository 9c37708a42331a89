#!/usr/bin/env bash
# Call capacity, closed loop: IN_FLIGHT calls at once, each a new call as
# soon as one ends (INVITE, 180, 200, ACK, BYE, 200; no hold), for SECONDS,
# UDP on 127.0.0.1, in one run:
#   1. SIPp's built-in caller against SIPp's built-in answerer (the reference
#      for both sides);
#   2. SIPp's caller against `nvsip-ua listen`;
#   3. `nvsip-ua call --limit IN_FLIGHT` against SIPp's answerer, for as many
#      calls as the reference completed in SECONDS.
# Prints each rate (calls completed over wall time), the failed calls and
# the ratios to the reference. A phase stops placing calls after SECONDS
# and lets the calls under way end (SIPp on SIGUSR1).
#
#   bench/call-load.sh [BUILD_DIR] [SECONDS] [IN_FLIGHT]
#
# BUILD_DIR holds a Release build (default build-rel); defaults: 30 s, 200
# calls in flight. Needs sipp (Debian package sip-tester).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
seconds="${2:-30}"
flight="${3:-200}"
buffers=4194304
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

# The rate and the failed calls of a SIPp statistics file over `elapsed` seconds.
rate_of() {
  python3 - "$1" "$2" <<'PY'
import sys
rows = [line.rstrip("\n").split(";") for line in open(sys.argv[1]) if line.strip()]
header, last = rows[0], rows[-1]
ok, failed = int(last[header.index("SuccessfulCall(C)")]), last[header.index("FailedCall(C)")]
print("%.0f %s %d" % (ok / float(sys.argv[2]), failed, ok))
PY
}

# closed_loop PORT NAME: SIPp's caller against PORT for $seconds; prints "rate failed completed".
closed_loop() {
  local port="$1" name="$2" start end pid
  start="$(date +%s.%N)"
  sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -l "$flight" -r 1000000 -m 1000000000 -d 0 \
    -buff_size "$buffers" -nostdin -nd -trace_stat -stf "$work/$name.csv" -fd 3600 >"$work/$name.out" 2>&1 &
  pid=$!
  sleep "$seconds"
  kill -USR1 "$pid" 2>/dev/null || true
  wait "$pid" || true
  end="$(date +%s.%N)"
  rate_of "$work/$name.csv" "$(python3 -c "print($end - $start)")"
}

uas_port="$(free_port)"
sipp -sn uas -i 127.0.0.1 -p "$uas_port" -buff_size "$buffers" -nostdin -nd >"$work/uas.out" 2>&1 &
pids+=($!)
sleep 1
echo "Call capacity: closed loop, $flight calls in flight, $seconds s a phase, UDP on 127.0.0.1"

read -r sipp_rate sipp_failed sipp_calls < <(closed_loop "$uas_port" reference)
echo "SIPp caller -> SIPp answerer:      $sipp_rate calls/s, $sipp_failed failed"

ua_port="$(free_port)"
"$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$ua_port" --count 1000000000 --quiet >"$work/listen.out" 2>&1 &
listener=$!
pids+=("$listener")
sleep 1
read -r listen_rate listen_failed _ < <(closed_loop "$ua_port" listen)
rss="$(awk '/VmRSS/{print $2}' "/proc/$listener/status")"
kill "$listener" 2>/dev/null || true
echo "SIPp caller -> nvsip-ua listen:    $listen_rate calls/s, $listen_failed failed (listener RSS at the end: $rss KiB)"

start="$(date +%s.%N)"
set +e
timeout $((seconds * 10 + 60)) "$build/apps/nvsip-ua" call "sip:service@127.0.0.1:$uas_port" --bind 127.0.0.1:0 \
  --count "$sipp_calls" --rate 1000000 --limit "$flight" --hold 0 --quiet >"$work/call.out" 2>&1
status=$?
set -e
end="$(date +%s.%N)"
answered="$(sed -n 's/^summary: .* \([0-9]*\) answered\b.*/\1/p' "$work/call.out" | head -1)"
answered="${answered:-0}"
call_rate="$(python3 -c "print('%.0f' % ($answered / ($end - $start)))")"
echo "nvsip-ua call -> SIPp answerer:    $call_rate calls/s, $((sipp_calls - answered)) failed (exit status $status)"
python3 -c "print('ratios to SIPp: nvsip-ua listen %.2f, nvsip-ua call %.2f' % ($listen_rate / max($sipp_rate, 1), $call_rate / max($sipp_rate, 1)))"
