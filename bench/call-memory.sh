#!/usr/bin/env bash
# Resident memory per established call: SIPp's built-in caller sets up
# CALLS calls at RATE a second against `nvsip-ua listen` and holds each for
# HOLD_S seconds before its BYE; with every call up, the listener's resident
# memory above what it held before the first call, divided by CALLS, is the
# memory an established call costs (message log, dialog, call, kept
# messages, table entries, allocator overhead). The same is done against
# SIPp's own answerer for comparison.
#
#   bench/call-memory.sh [BUILD_DIR] [CALLS] [RATE] [HOLD_S]
#
# BUILD_DIR holds a Release build (default build-rel); defaults: 10,000
# calls, 2,000 a second, held 30 s. Needs sipp (Debian package sip-tester).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
calls="${2:-10000}"
rate="${3:-2000}"
hold="${4:-30}"
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

rss_of() { awk '/VmRSS/{print $2}' "/proc/$1/status"; }

# held PID PORT NAME: KiB a call that process PID, answering on PORT, holds with every call up.
held() {
  local pid="$1" port="$2" name="$3" before after caller
  before="$(rss_of "$pid")"
  sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -l "$calls" -m "$calls" -r "$rate" \
    -d "$((hold * 1000))" -buff_size 4194304 -nostdin -nd >"$work/$name.out" 2>&1 &
  caller=$!
  sleep $((calls / rate + 5))  # every call set up, none ended yet
  after="$(rss_of "$pid")"
  kill "$caller" 2>/dev/null || true
  wait "$caller" 2>/dev/null || true
  python3 -c "print('%.2f' % (($after - $before) / $calls))"
}

[ $((calls / rate + 5)) -lt "$hold" ] || { echo "HOLD_S must exceed CALLS/RATE + 5 s" >&2; exit 2; }
echo "Memory per established call: $calls calls set up at $rate/s and held, UDP on 127.0.0.1"

port="$(free_port)"
"$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$port" --count 1000000000 --quiet >"$work/listen.out" 2>&1 &
listener=$!
pids+=("$listener")
sleep 1
echo "nvsip-ua listen:  $(held "$listener" "$port" listen) KiB a call"
kill "$listener" 2>/dev/null || true

port="$(free_port)"
sipp -sn uas -i 127.0.0.1 -p "$port" -buff_size 4194304 -nostdin -nd >"$work/uas.out" 2>&1 &
answerer=$!
pids+=("$answerer")
sleep 1
echo "SIPp's answerer:  $(held "$answerer" "$port" uas) KiB a call"
