#!/usr/bin/env bash
# Call capacity, closed loop: IN_FLIGHT calls at once, each a new call as
# soon as one ends (INVITE, 180, 200, ACK, BYE, 200; no hold), for SECONDS,
# UDP on 127.0.0.1, in one run:
#   1. SIPp's built-in caller against SIPp's built-in answerer (the reference
#      for both sides);
#   2. SIPp's caller against `nvsip-ua listen`;
#   3. `nvsip-ua call --limit IN_FLIGHT` against SIPp's answerer, for as many
#      calls as the reference completed in SECONDS.
# Prints each rate (calls completed over wall time), the failed calls, the
# CPU time each side spent a call (user and system, from /proc) and the
# ratios to the reference. A phase stops placing calls after SECONDS and
# lets the calls under way end (SIPp on SIGUSR1).
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
  local ok failed
  read -r ok failed < <(sipp_calls "$1")
  echo "$(python3 -c "print('%.0f' % ($ok / float($2)))") $failed $ok"
}

# The CPU seconds (user and system) process PID has used so far, read
# without starting a process (the figures must not pay for the probe).
# Fails once the process has ended (a zombie's figures are its last).
ticks_per_second="$(getconf CLK_TCK)"
cpu_of() {
  local stat
  read -r stat <"/proc/$1/stat" || return 1
  set -- ${stat##*) }  # state, ppid, ...: utime and stime are the 12th and 13th
  echo "$(((${12} + ${13}) * 1000 / ticks_per_second))e-3"
  [ "$1" != Z ]
}

# Waits for background process PID to end, ending it after LIMIT seconds
# (default: none); prints the CPU seconds it used.
cpu_until_exit() {
  local pid="$1" deadline=$((SECONDS + ${2:-1000000})) used=0 now running
  while :; do
    running=1
    now="$(cpu_of "$pid" 2>/dev/null)" || running=0
    [ -z "$now" ] || used="$now"
    [ "$running" -eq 1 ] || break
    [ "$SECONDS" -lt "$deadline" ] || kill "$pid" 2>/dev/null || true
    sleep 0.2
  done
  wait "$pid" 2>/dev/null || true
  echo "$used"
}

# Microseconds of CPU a call: cpu_per_call SECONDS CALLS.
cpu_per_call() { python3 -c "print('%.0f' % ($1 * 1e6 / max($2, 1)))"; }

# closed_loop PORT NAME: SIPp's caller against PORT for $seconds; prints
# "rate failed completed caller-cpu-seconds".
closed_loop() {
  local port="$1" name="$2" start end pid cpu
  start="$(date +%s.%N)"
  sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -l "$flight" -r 1000000 -m 1000000000 -d 0 \
    -buff_size "$buffers" -nostdin -nd -trace_stat -stf "$work/$name.csv" -fd 3600 >"$work/$name.out" 2>&1 &
  pid=$!
  sleep "$seconds"
  kill -USR1 "$pid" 2>/dev/null || true
  cpu="$(cpu_until_exit "$pid")"
  end="$(date +%s.%N)"
  echo "$(rate_of "$work/$name.csv" "$(python3 -c "print($end - $start)")") $cpu"
}

uas_port="$(free_port)"
sipp -sn uas -i 127.0.0.1 -p "$uas_port" -buff_size "$buffers" -nostdin -nd >"$work/uas.out" 2>&1 &
answerer=$!
pids+=("$answerer")
sleep 1
echo "Call capacity: closed loop, $flight calls in flight, $seconds s a phase, UDP on 127.0.0.1"

answerer_cpu="$(cpu_of "$answerer")"
read -r sipp_rate sipp_failed sipp_calls caller_cpu < <(closed_loop "$uas_port" reference)
answerer_cpu="$(python3 -c "print($(cpu_of "$answerer") - $answerer_cpu)")"
echo "SIPp caller -> SIPp answerer:      $sipp_rate calls/s, $sipp_failed failed" \
  "(CPU a call: caller $(cpu_per_call "$caller_cpu" "$sipp_calls") us, answerer $(cpu_per_call "$answerer_cpu" "$sipp_calls") us)"

ua_port="$(free_port)"
"$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$ua_port" --count 1000000000 --quiet >"$work/listen.out" 2>&1 &
listener=$!
pids+=("$listener")
sleep 1
listener_cpu="$(cpu_of "$listener")"
read -r listen_rate listen_failed listen_calls _ < <(closed_loop "$ua_port" listen)
listener_cpu="$(python3 -c "print($(cpu_of "$listener") - $listener_cpu)")"
rss="$(awk '/VmRSS/{print $2}' "/proc/$listener/status")"
kill "$listener" 2>/dev/null || true
echo "SIPp caller -> nvsip-ua listen:    $listen_rate calls/s, $listen_failed failed" \
  "(CPU a call: nvsip-ua listen $(cpu_per_call "$listener_cpu" "$listen_calls") us; its RSS at the end: $rss KiB)"

start="$(date +%s.%N)"
"$build/apps/nvsip-ua" call "sip:service@127.0.0.1:$uas_port" --bind 127.0.0.1:0 \
  --count "$sipp_calls" --rate 1000000 --limit "$flight" --hold 0 --quiet >"$work/call.out" 2>&1 &
caller=$!
caller_cpu="$(cpu_until_exit "$caller" $((seconds * 10 + 60)))"
end="$(date +%s.%N)"
answered="$(sed -n 's/^summary: .* \([0-9]*\) answered\b.*/\1/p' "$work/call.out" | head -1)"
answered="${answered:-0}"
call_rate="$(python3 -c "print('%.0f' % ($answered / ($end - $start)))")"
echo "nvsip-ua call -> SIPp answerer:    $call_rate calls/s, $((sipp_calls - answered)) failed" \
  "(CPU a call: nvsip-ua call $(cpu_per_call "$caller_cpu" "$sipp_calls") us)"
python3 -c "print('ratios to SIPp: nvsip-ua listen %.2f, nvsip-ua call %.2f' % ($listen_rate / max($sipp_rate, 1), $call_rate / max($sipp_rate, 1)))"
