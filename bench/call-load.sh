#!/usr/bin/env bash
# Call load, both directions, at the same offered rate and hold time:
#   1. SIPp's built-in uac calls SIPp's built-in uas (the reference);
#   2. `nvsip-ua call --quiet` calls the same uas;
#   3. SIPp's built-in uac calls `nvsip-ua listen --quiet`.
# Prints the call rate each one reached (calls completed over wall time),
# the ratios to the reference and the failed calls. Everything stays on
# 127.0.0.1.
#
#   bench/call-load.sh [BUILD_DIR] [CALLS] [RATE] [HOLD_MS]
#
# BUILD_DIR holds a Release build (default build-rel); defaults: 20000
# calls offered at 1000 per second, held 1000 ms. Needs sipp (Debian
# package sip-tester).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
calls="${2:-20000}"
rate="${3:-1000}"
hold="${4:-1000}"
buffers=8388608
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

uas_port="$(free_port)"
sipp -sn uas -i 127.0.0.1 -p "$uas_port" -buff_size "$buffers" -nostdin -nd >"$work/uas.out" 2>&1 &
pids+=($!)
sleep 1

echo "Call load: $calls calls offered at $rate/s, held $hold ms, against SIPp's uas"

# run_uac PORT NAME: SIPp's uac against PORT; prints "rate failed"
run_uac() {
  local port="$1" name="$2" start end
  start="$(date +%s.%N)"
  set +e
  timeout 900 sipp -sn uac 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m "$calls" -r "$rate" -d "$hold" \
    -l 100000 -buff_size "$buffers" -nostdin -nd -trace_stat -stf "$work/$name.csv" -fd 3600 >"$work/$name.out" 2>&1
  set -e
  end="$(date +%s.%N)"
  python3 - "$work/$name.csv" "$start" "$end" <<'PY'
import sys
rows = [line.rstrip("\n").split(";") for line in open(sys.argv[1]) if line.strip()]
header, last = rows[0], rows[-1]
ok, failed = int(last[header.index("SuccessfulCall(C)")]), last[header.index("FailedCall(C)")]
print("%.0f %s" % (ok / (float(sys.argv[3]) - float(sys.argv[2])), failed))
PY
}

read -r sipp_rate sipp_failed < <(run_uac "$uas_port" reference)
echo "SIPp uac -> SIPp uas:          $sipp_rate calls/s, $sipp_failed failed"

start="$(date +%s.%N)"
set +e
timeout 900 "$build/apps/nvsip-ua" call "sip:service@127.0.0.1:$uas_port" --bind 127.0.0.1:0 --count "$calls" \
  --rate "$rate" --hold "$hold" --quiet >"$work/ua.out" 2>&1
status=$?
set -e
end="$(date +%s.%N)"
answered="$(sed -n 's/^summary: .* \([0-9]*\) answered$/\1/p; s/^summary: .* \([0-9]*\) answered,.*/\1/p' "$work/ua.out" | head -1)"
answered="${answered:-0}"
nv_rate="$(python3 -c "print('%.0f' % ($answered / ($end - $start)))")"
echo "nvsip-ua call -> SIPp uas:     $nv_rate calls/s, $((calls - answered)) failed (exit status $status); $(grep '^summary: setup' "$work/ua.out" | sed 's/^summary: //')"
kill "${pids[0]}" 2>/dev/null || true

ua_port="$(free_port)"
timeout 900 "$build/apps/nvsip-ua" listen --bind 127.0.0.1:"$ua_port" --count "$calls" --quiet >"$work/listen.out" 2>&1 &
pids+=($!)
sleep 1
read -r listen_rate listen_failed < <(run_uac "$ua_port" listen)
echo "SIPp uac -> nvsip-ua listen:   $listen_rate calls/s, $listen_failed failed"
python3 -c "print('ratios to the reference: nvsip-ua call %.2f, nvsip-ua listen %.2f' % ($nv_rate / max($sipp_rate, 1), $listen_rate / max($sipp_rate, 1)))"
