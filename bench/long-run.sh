#!/usr/bin/env bash
# A long run: `nvsip-ua listen` answers WARMUP + CALLS calls from SIPp's
# built-in caller in one closed loop (at most 200 calls at once, at most
# RATE a second; INVITE, 180, 200, ACK, BYE, 200). The warm-up lasts longer
# than the 32 s (64*T1) the stack remembers answered requests, so that
# every table has reached its steady size before the measured part starts.
# Prints the listener's resident memory after the warm-up and after the
# last call, the growth a call in between, and what the listener reports
# left once it has exited (dialogs listed, live transactions, timers).
#
#   bench/long-run.sh [BUILD_DIR] [CALLS] [WARMUP] [RATE]
#
# BUILD_DIR holds a Release build (default build-rel); defaults: 100,000
# calls after 80,000 warm-up calls, 2,000 a second. Needs sipp (Debian
# package sip-tester). Exits 1 when a call failed, something is left, or
# the growth exceeds 32 bytes a call.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
calls="${2:-100000}"
warmup="${3:-80000}"
rate="${4:-2000}"
total=$((warmup + calls))
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

rss_of() { awk '/VmRSS/{print $2}' "/proc/$1/status" 2>/dev/null; }
completed() { [ -s "$work/caller.csv" ] && sipp_calls "$work/caller.csv" | cut -d' ' -f1 || echo 0; }

echo "Long run: $warmup warm-up calls, then $calls calls, closed loop (200 at once, $rate/s), UDP on 127.0.0.1"
port="$(free_port)"
"$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$port" --count "$total" --quiet --json >"$work/listen.json" 2>"$work/listen.err" &
listener=$!
pids+=("$listener")
sleep 0.5
start_rss="$(rss_of "$listener")"
sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m "$total" -r "$rate" -l 200 -d 0 \
  -nostdin -nd -trace_stat -stf "$work/caller.csv" -fd 1 >"$work/caller.out" 2>&1 &
caller=$!
pids+=("$caller")

# One sample a second while the listener lives: the calls SIPp has completed and the listener's RSS.
deadline=$((SECONDS + total / rate * 3 + 120))
warm_calls="" warm_rss="" end_calls=0 end_rss=0
while [ "$SECONDS" -lt "$deadline" ]; do
  rss="$(rss_of "$listener")" || break
  [ -n "$rss" ] || break
  done_calls="$(completed)"
  if [ -z "$warm_calls" ] && [ "$done_calls" -ge "$warmup" ]; then warm_calls="$done_calls" warm_rss="$rss"; fi
  end_calls="$done_calls" end_rss="$rss"
  sleep 1
done
wait "$listener" || true
wait "$caller" || true
read -r ok failed < <(sipp_calls "$work/caller.csv")

echo "  calls: $ok completed, $failed failed"
echo "  resident memory: $start_rss KiB at the start, $warm_rss KiB after $warm_calls calls, $end_rss KiB after $end_calls"
growth="$(python3 -c "print('%.1f' % (($end_rss - $warm_rss) * 1024.0 / max($end_calls - $warm_calls, 1)))")"
echo "  growth after the warm-up: $growth bytes a call"
left="$(python3 -c 'import json, sys; l = json.load(open(sys.argv[1]))["left"]; print(l["dialogs"], l["transactions"], l["timers"])' "$work/listen.json")"
read -r dialogs transactions timers <<<"$left"
echo "  left at the end: $dialogs dialogs, $transactions transactions, $timers timers"
[ "$failed" = 0 ] && [ "$ok" = "$total" ] && [ "$left" = "0 0 0" ] &&
  python3 -c "import sys; sys.exit(0 if $growth <= 32 else 1)"
