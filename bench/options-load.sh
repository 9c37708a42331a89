#!/usr/bin/env bash
# OPTIONS load: SIPp as the client (closed loop, 100 transactions in
# flight, large socket buffers) against SIPp's own OPTIONS server, then
# against `nvsip-ping --respond`, in the same run. Prints both rates, their
# ratio and the failed transactions. Everything stays on 127.0.0.1.
#
#   bench/options-load.sh [BUILD_DIR] [TRANSACTIONS]
#
# BUILD_DIR holds a Release build (default build-rel); TRANSACTIONS per
# run (default 200000). Needs sipp (Debian package sip-tester).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-rel}"
calls="${2:-200000}"
buffers=8388608
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

# run_client PORT NAME: prints "rate failed"
run_client() {
  local port="$1" name="$2" local_port start end
  local_port="$(free_port)"
  start="$(date +%s.%N)"
  set +e
  timeout 600 sipp -sf "$here/sipp/options-client.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$local_port" \
    -m "$calls" -l 100 -r 1000000 -rp 1000 -buff_size "$buffers" -nostdin -nd \
    -trace_stat -stf "$work/$name.csv" -fd 3600 >"$work/$name.out" 2>&1
  set -e
  end="$(date +%s.%N)"
  python3 - "$work/$name.csv" "$calls" "$start" "$end" <<'PY'
import sys
rows = [line.rstrip("\n").split(";") for line in open(sys.argv[1]) if line.strip()]
header, last = rows[0], rows[-1]
failed = last[header.index("FailedCall(C)")]
done = int(last[header.index("SuccessfulCall(C)")]) + int(failed)
print("%.0f %s" % (done / (float(sys.argv[4]) - float(sys.argv[3])), failed))
PY
}

echo "OPTIONS load, $calls transactions per run, 100 in flight, socket buffers $buffers bytes"

sipp_port="$(free_port)"
sipp -sf "$here/sipp/options-server.xml" -i 127.0.0.1 -p "$sipp_port" -buff_size "$buffers" -nostdin -nd \
  >"$work/sipp-server.out" 2>&1 &
pids+=($!)
sleep 1
read -r sipp_rate sipp_failed < <(run_client "$sipp_port" sipp)
kill "${pids[0]}" 2>/dev/null || true

nv_port="$(free_port)"
"$build/apps/nvsip-ping" --respond --bind 127.0.0.1:"$nv_port" >"$work/nvsip.out" 2>&1 &
pids+=($!)
sleep 1
read -r nv_rate nv_failed < <(run_client "$nv_port" nvsip)

printf "SIPp OPTIONS server:    %8s transactions/s, %s failed\n" "$sipp_rate" "$sipp_failed"
printf "nvsip-ping --respond:   %8s transactions/s, %s failed\n" "$nv_rate" "$nv_failed"
python3 -c "print('ratio: %.2f (target at least 0.80, with 0 failed)' % ($nv_rate / $sipp_rate))"
