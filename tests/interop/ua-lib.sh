# Sourced by the nvsip-ua interop scripts: one line per case, each running
# nvsip-ua ($ua) and SIPp (scenarios in $scenarios) on 127.0.0.1 and
# checking SIPp's verdict, the UA's exit status and its summary line.
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"

# fail NAME WHY: reports the case with both peers' output and stops.
fail() {
  echo "FAIL $1: $2"; cat "$work/$1.ua"; tail -30 "$work/$1.sipp"; exit 1
}

# verdict NAME UA_STATUS EXPECTED_STATUS "EXPECTED SUMMARY TEXT" SIPP_PID ["EXPECTED EVENT LINE"]
verdict() {
  local name="$1" got="$2" status="$3" expected="$4" sipp_pid="$5" event="${6:-}"
  [ "$got" = "$status" ] || fail "$name" "nvsip-ua exited $got, expected $status"
  grep -q "^summary: .*$expected" "$work/$name.ua" || fail "$name" "expected '$expected' in the summary"
  wait "$sipp_pid" || fail "$name" "SIPp's scenario failed"
  [ -z "$event" ] || grep -q "$event" "$work/$name.ua" || fail "$name" "no event line '$event'"
  echo "ok   $name: $(grep "^summary: .*$expected" "$work/$name.ua" | tail -1)"
}

# start_listener NAME "UA FLAGS": nvsip-ua listen for one call on a free port, its output in $work/NAME.ua; sets
# $port and $ua_pid.
start_listener() {
  port="$(free_port)"
  # shellcheck disable=SC2086
  timeout 90 "$ua" listen --bind 127.0.0.1:"$port" --count 1 $2 >"$work/$1.ua" 2>&1 &
  ua_pid=$!
  pids+=("$ua_pid")
  sleep 0.3
}

# listen_ NAME "UA FLAGS" "SIPP SCENARIO ARGS" "EXPECTED SUMMARY TEXT" [SIPP TRANSPORT] ["EXPECTED EVENT LINE"]
# nvsip-ua listen answers one call from SIPp, which fails after $sipp_timeout (45s unless set).
listen_() {
  local name="$1" flags="$2" scenario="$3" expected="$4" transport="${5:-u1}" event="${6:-}"
  local port ua_pid
  start_listener "$name" "$flags"
  # shellcheck disable=SC2086
  timeout 90 sipp $scenario -t "$transport" 127.0.0.1:"$port" -i 127.0.0.1 -p "$(free_port)" \
    -m 1 -nostdin -nd -timeout "${sipp_timeout:-45s}" -timeout_error >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  local got=0
  wait "$ua_pid" || got=$?
  verdict "$name" "$got" 0 "$expected" "$sipp_pid" "$event"
}

# call_ NAME "SIPP SCENARIO ARGS" "UA FLAGS" UA_STATUS "EXPECTED SUMMARY TEXT" [TRANSPORT] ["EXPECTED EVENT LINE"]
# nvsip-ua call places one call to SIPp.
call_() {
  local name="$1" scenario="$2" flags="$3" status="$4" expected="$5" transport="${6:-u1}" event="${7:-}"
  local port; port="$(free_port)"
  # shellcheck disable=SC2086
  timeout 90 sipp $scenario -t "$transport" -i 127.0.0.1 -p "$port" -m 1 -nostdin -nd >"$work/$name.sipp" 2>&1 &
  local sipp_pid=$!
  pids+=("$sipp_pid")
  sleep 0.3
  local got=0
  # shellcheck disable=SC2086
  timeout 90 "$ua" call "sip:service@127.0.0.1:$port" --bind 127.0.0.1:0 $flags >"$work/$name.ua" 2>&1 || got=$?
  verdict "$name" "$got" "$status" "$expected" "$sipp_pid" "$event"
}
