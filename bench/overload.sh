#!/usr/bin/env bash
# Overload: `nvsip-ua listen --max-calls MAX_CALLS` flooded open loop, then
# a normal load, UDP on 127.0.0.1:
#   1. CALLERS SIPp callers together place RATE new calls a second (several
#      times what the listener answers closed loop, about 15,000 calls/s on
#      the build machine) for SECONDS, each call INVITE, 180, 200, ACK, BYE,
#      200 with no hold, or 503 and its ACK when the listener sheds it
#      (bench/sipp/uac-or-shed.xml); then they stop placing calls and the
#      calls under way end (at most 60 s more);
#   2. SIPp's built-in caller runs a closed loop of CLOSED_CALLS calls, 200
#      in flight, against the same listener.
# Prints the listener's peak resident memory (VmHWM) and the largest RSS
# sampled each 0.2 s, the calls the flood placed, answered and failed, the
# INVITEs answered 503 (on a small machine the callers take CPU the
# listener then lacks to read: INVITEs left unread get no answer), whether
# the listener is still alive after the flood, then the closed loop's
# completed and failed calls (0 failed expected). Exits 1 when the listener died or the closed loop failed calls.
#
#   bench/overload.sh [BUILD_DIR] [SECONDS] [RATE] [MAX_CALLS] [CALLERS] [CLOSED_CALLS]
#
# BUILD_DIR holds a Release build (default build-rel); defaults: 20 s,
# 60,000 calls/s, a limit of 5,000 calls, 4 callers, 20,000 closed-loop
# calls. Needs sipp (Debian package sip-tester).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
seconds="${2:-20}"
rate="${3:-60000}"
max_calls="${4:-5000}"
callers="${5:-4}"
closed_calls="${6:-20000}"
buffers=4194304
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

# The sums over SIPp statistics files (their last line) of the calls
# created, successful and failed: "created successful failed".
calls_of() {
  python3 - "$@" <<'PY'
import sys
sums = [0, 0, 0]
for name in sys.argv[1:]:
    rows = [line.rstrip("\n").split(";") for line in open(name) if line.strip()]
    header, last = rows[0], rows[-1]
    for i, column in enumerate(("TotalCallCreated", "SuccessfulCall(C)", "FailedCall(C)")):
        sums[i] += int(last[header.index(column)])
print(*sums)
PY
}

# The 503s received, summed over SIPp -trace_counts files (the column of
# the scenario's 503 receive).
shed_of() {
  python3 - "$@" <<'PY'
import sys
total = 0
for name in sys.argv[1:]:
    rows = [line.rstrip("\n").split(";") for line in open(name) if line.strip()]
    header, last = rows[0], rows[-1]
    total += sum(int(last[i]) for i, column in enumerate(header) if column.endswith("_503_Recv"))
print(total)
PY
}

rss_of() { awk '/VmRSS/{print $2}' "/proc/$1/status"; }
alive() { kill -0 "$1" 2>/dev/null && [ "$(awk '/^State/{print $2}' "/proc/$1/status" 2>/dev/null)" != Z ]; }

port="$(free_port)"
"$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$port" --max-calls "$max_calls" --count 1000000000 --quiet \
  >"$work/listen.out" 2>&1 &
listener=$!
pids+=("$listener")
sleep 1
idle_rss="$(rss_of "$listener")"
echo "Overload: $callers SIPp callers at $rate calls/s in all for $seconds s against nvsip-ua listen" \
  "--max-calls $max_calls, UDP on 127.0.0.1"

flood=()
per_caller=$((rate / callers))
for i in $(seq "$callers"); do
  (cd "$work" && exec sipp -sf "$here/sipp/uac-or-shed.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" \
    -r "$per_caller" -l 1000000 -m $((per_caller * seconds)) -recv_timeout 40000 -buff_size "$buffers" \
    -nostdin -nd -trace_stat -stf "$work/flood$i.csv" -fd 1 -trace_counts -trace_err -error_file "$work/flood$i.err" \
    >"$work/flood$i.out" 2>&1) &
  flood+=($!)
  pids+=($!)
done
peak=0
sample() {
  local now
  now="$(rss_of "$listener" 2>/dev/null)" || return 0
  [ "$now" -le "$peak" ] || peak="$now"
}
for _ in $(seq $((seconds * 5))); do sample; sleep 0.2; done
for pid in "${flood[@]}"; do kill -USR1 "$pid" 2>/dev/null || true; done
for _ in $(seq $((60 * 5))); do
  sample
  running=0
  for pid in "${flood[@]}"; do ! alive "$pid" || running=1; done
  [ "$running" -eq 1 ] || break
  sleep 0.2
done
for pid in "${flood[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
sample
read -r created answered failed < <(calls_of "$work"/flood*.csv)
shed="$(shed_of "$work"/*_counts.csv)"
echo "flood: $created calls placed ($((created / seconds))/s): $((answered - shed)) answered, $shed answered 503" \
  "with Retry-After, $failed failed (no answer: the INVITE and its retransmissions dropped unread from the" \
  "full socket buffer), $((created - answered - failed)) still under way when the callers were stopped"
if ! alive "$listener"; then
  echo "listener: DEAD after the flood"; exit 1
fi
echo "listener: alive; RSS idle $idle_rss KiB, largest sampled $peak KiB, peak (VmHWM)" \
  "$(awk '/VmHWM/{print $2}' "/proc/$listener/status") KiB, now $(rss_of "$listener") KiB"

start="$(date +%s.%N)"
sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -l 200 -r 1000000 -m "$closed_calls" -d 0 \
  -recv_timeout 40000 -buff_size "$buffers" -nostdin -nd -trace_stat -stf "$work/closed.csv" -fd 1 \
  >"$work/closed.out" 2>&1 &
closed=$!
pids+=("$closed")
for _ in $(seq $((120 * 5))); do alive "$closed" || break; sleep 0.2; done
kill "$closed" 2>/dev/null || true
wait "$closed" 2>/dev/null || true
end="$(date +%s.%N)"
read -r _ completed closed_failed < <(calls_of "$work/closed.csv")
echo "closed loop after the flood: $completed of $closed_calls calls completed" \
  "($(python3 -c "print('%.0f' % ($completed / ($end - $start)))") calls/s), $closed_failed failed"
alive "$listener" || { echo "listener: DEAD after the closed loop"; exit 1; }
[ "$closed_failed" -eq 0 ] && [ "$completed" -eq "$closed_calls" ]
