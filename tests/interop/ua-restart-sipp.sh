#!/usr/bin/env bash
# Calls that survive a crash: `nvsip-ua listen` keeping its calls in a
# snapshot store answers a call from SIPp, is killed with SIGKILL once the
# call is up, and is started again on the same address with the same store.
# It takes the call back:
#   1. SIPp's BYE is answered 200;
#   2. started with --hangup-after, it sends a BYE that SIPp accepts.
# Each case runs with both stores: a folder (--snapshot-dir) and a Redis
# server started here (--snapshot-store), and nothing may be left in the
# store once the call has ended.
# Usage: ua-restart-sipp.sh PATH/TO/nvsip-ua SCENARIO_DIR
set -euo pipefail
ua="$1"
scenarios="$2"
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

redis_port="$(free_port)"
redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --dir "$work" >"$work/redis.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do redis-cli -p "$redis_port" ping >/dev/null 2>&1 && break; sleep 0.1; done

# records STORE: the call records the store holds, one a line.
records() {
  case "$1" in
    redis) redis-cli -p "$redis_port" --scan --pattern 'nvsip:call:*' ;;
    *) compgen -G "$1/*.call" || true ;;
  esac
}

# case NAME STORE SCENARIO "FLAGS AFTER THE RESTART" "EXPECTED SUMMARY TEXT"
case_() {
  local name="$1" store="$2" scenario="$3" flags="$4" expected="$5"
  local port option
  port="$(free_port)"
  if [ "$store" = redis ]; then option=(--snapshot-store "redis://127.0.0.1:$redis_port"); else
    store="$work/$name.snapshots"; option=(--snapshot-dir "$store"); fi
  "$ua" listen --bind 127.0.0.1:"$port" --count 1 "${option[@]}" >"$work/$name.first" 2>&1 &
  local first=$!
  pids+=("$first")
  sleep 0.3
  timeout 60 sipp -sf "$scenarios/$scenario" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
    -timeout 30s -timeout_error >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  for _ in $(seq 50); do
    [ -n "$(records "$store")" ] && break
    sleep 0.05
  done
  [ -n "$(records "$store")" ] || { echo "FAIL $name: no snapshot written"; cat "$work/$name.first"; exit 1; }
  if [ "$store" = redis ]; then  # the record names its owner and expires (24 h without a session timer)
    local key owner ttl
    key="$(records redis | head -1)"
    owner="$(redis-cli -p "$redis_port" hget "$key" owner)"
    ttl="$(redis-cli -p "$redis_port" ttl "$key")"
    [ "$owner" = "127.0.0.1:$port" ] && [ "$ttl" -gt 86000 ] && [ "$ttl" -le 86400 ] ||
      { echo "FAIL $name: record owner '$owner', time to live $ttl"; exit 1; }
  fi
  kill -KILL "$first"
  wait "$first" 2>/dev/null || true
  # shellcheck disable=SC2086
  timeout 60 "$ua" listen --bind 127.0.0.1:"$port" --count 1 "${option[@]}" $flags >"$work/$name.second" 2>&1 ||
    { echo "FAIL $name: the restarted nvsip-ua did not exit 0"; cat "$work/$name.second"; exit 1; }
  wait "$sipp_pid" || { echo "FAIL $name: SIPp's scenario failed"; tail -30 "$work/$name.sipp"; exit 1; }
  grep -q "^summary: .*$expected" "$work/$name.second" ||
    { echo "FAIL $name: expected '$expected'"; cat "$work/$name.second"; exit 1; }
  for _ in $(seq 20); do [ -z "$(records "$store")" ] && break; sleep 0.05; done  # the server's own pace
  if [ -n "$(records "$store")" ]; then echo "FAIL $name: snapshot left behind"; records "$store"; exit 1; fi
  echo "ok   $name: $(grep '^summary:' "$work/$name.second")"
}

for store in folder redis; do
  case_ "peer-hangs-up-$store" "$store" uac-long-call.xml "" "1 answered, caller hung up"
  case_ "we-hang-up-$store" "$store" uac-callee-hangs-up.xml "--hangup-after 300" "1 hung up (BYE answered 200)"
done

# A store that cannot be reached is reported, and the calls go on without it.
port="$(free_port)"
"$ua" listen --bind 127.0.0.1:"$port" --count 1 --snapshot-store "redis://127.0.0.1:$(free_port)" >"$work/down" 2>&1 &
pids+=($!)
sleep 0.3
timeout 60 sipp -sf "$scenarios/uac-long-call.xml" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" -m 1 -nostdin -nd \
  -timeout 30s -timeout_error >"$work/down.sipp" 2>&1 || { echo "FAIL store-down: SIPp's call failed"; cat "$work/down"; exit 1; }
grep -q "Snapshot store redis://.* cannot be" "$work/down" || { echo "FAIL store-down: not reported"; cat "$work/down"; exit 1; }
echo "ok   store-down: the call went on, the store reported"
