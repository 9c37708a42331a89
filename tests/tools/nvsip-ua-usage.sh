#!/usr/bin/env bash
# nvsip-ua's command line: --help and -h, as a mode or among a mode's options,
# print the usage on standard output and exit 0 (after a mode, that mode's,
# each of its options explained on a line, and accepted by it); an unknown
# mode or option, a bad value (not a number, negative, out of range, a --bind
# host that is not an IP address) or no mode at all say what is wrong on
# standard error, with the usage, and exit 2.
# Then what it prints: three calls between `listen --quiet` and `call` over
# loopback, both with --json and --ladder, under config/nvsip-log.properties
# (each in a scratch folder of its own, where the log files go): standard
# output holds the three ladders and a valid JSON summary (nothing left: no
# dialog, transaction or timer); the caller shows
# progress on standard error and no event line, the quiet listener neither;
# each side's call log holds its SIP messages, and the listener's stray log
# an ACK sent to it outside any call.
# Usage: nvsip-ua-usage.sh PATH/TO/nvsip-ua
set -uo pipefail
ua="$(realpath "$1")"
failures=0
# shellcheck source=../../scripts/loopback-lib.sh
source "$(dirname "$0")/../../scripts/loopback-lib.sh"
problem() { echo "$1"; failures=$((failures + 1)); }

for case in "--help|usage: nvsip-ua listen" "-h|usage: nvsip-ua listen" "fly --help|usage: nvsip-ua listen" \
            "listen --help|usage: nvsip-ua listen" "call sip:a@127.0.0.1 -h|usage: nvsip-ua call" \
            "demo --help|usage: nvsip-ua demo"; do
  args="${case%%|*}" start="${case#*|}"
  # shellcheck disable=SC2086
  out="$("$ua" $args 2>/dev/null)"
  status=$?
  [ "$status" -eq 0 ] && [[ "$out" == "$start"* ]] || problem "nvsip-ua $args: exit $status, printed: $out"
done
for mode in listen "call sip:a@127.0.0.1"; do
  # shellcheck disable=SC2086
  options="$("$ua" $mode --help | sed -n 's/^  \(--[a-z-]*\) .*/\1/p' | grep -v -- --help)"
  [ "$(wc -l <<<"$options")" -ge 10 ] || problem "nvsip-ua $mode --help explains too few options: $options"
  for option in $options; do
    # shellcheck disable=SC2086
    [[ "$("$ua" $mode "$option" --bogus 2>&1)" == "nvsip-ua: unknown option $option"$'\n'* ]] &&
      problem "$mode --help shows $option, unknown"
  done
done
# A fractional --rate is a value, so the line fails only at the option after it.
for case in "listen --bogus|unknown option --bogus" "listen --count abc|bad --count: abc" "fly|unknown mode fly" \
            "|no mode given" "listen --bind 127.0.0.1:0 --count 0|bad --count: 0 (at least 1)" \
            "listen --bind 127.0.0.1:0 --ring -5|bad --ring: -5" "listen --bind foo:5060|bad --bind address foo:5060: not an IP address" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --rate 0|bad --rate: 0" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --rate 0.5 --bogus|unknown option --bogus" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --hold 1s|bad --hold: 1s" "demo now|unknown option now" \
            "listen --bind 127.0.0.1:0 --leave-unanswered info|bad --leave-unanswered: info (methods like INFO,INVITE)" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --verbose --quiet|--quiet and --verbose exclude each other"; do
  args="${case%%|*}" problem="${case#*|}"
  # shellcheck disable=SC2086
  err="$("$ua" $args 2>&1 >/dev/null)"
  status=$?
  [ "$status" -eq 2 ] && [[ "$err" == "nvsip-ua: $problem"$'\n'"usage: "* ]] || problem "nvsip-ua $args: exit $status, said: $err"
done

export NVSIP_LOG_CONFIG
NVSIP_LOG_CONFIG="$(cd "$(dirname "$0")/../.." && pwd)/config/nvsip-log.properties"
mkdir "$work/callee" "$work/caller"
port="$(free_port)"
(cd "$work/callee" && exec timeout 30 "$ua" listen --bind 127.0.0.1:"$port" --count 3 --quiet --json --ladder >out 2>err) &
listener=$!
pids+=("$listener")
for _ in $(seq 100); do grep -qs "listening on" "$work/callee/err" && break; sleep 0.05; done
python3 -c "import socket, sys; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(sys.argv[1].replace('|', '\r\n').encode(), ('127.0.0.1', $port))" \
  "ACK sip:a@127.0.0.1 SIP/2.0|Via: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKstray|From: <sip:b@127.0.0.1>;tag=1|To: <sip:a@127.0.0.1>;tag=2|Call-ID: stray-ack|CSeq: 1 ACK|Max-Forwards: 70|Content-Length: 0||"
(cd "$work/caller" && timeout 30 "$ua" call "sip:a@127.0.0.1:$port" --bind 127.0.0.1:0 --count 3 --rate 2 --hold 100 --json --ladder >out 2>err) ||
  problem "nvsip-ua call exited $?: $(cat "$work/caller/err")"
wait "$listener" || problem "nvsip-ua listen exited $?: $(cat "$work/callee/err")"
for side in caller callee; do
  out="$work/$side/out"
  [ "$(grep -c 'Call-ID' "$out")" -eq 3 ] && [ "$(grep -cE '^    \|-+ INVITE -+>\|$' "$out")" -eq 3 ] &&
    [ "$(grep -cE '^    \|<-+ 180 Ringing \(INVITE\) -+\|$' "$out")" -eq 3 ] || problem "$side: not three ladders: $(cat "$out")"
  tail -1 "$out" | python3 -m json.tool >/dev/null &&
    tail -1 "$out" | python3 -c "import json, sys; s = json.load(sys.stdin); sys.exit(s['calls'] != 3 or s['answered'] != 3 or s['failed'] or any(s['left'].values()))" ||
    problem "$side: not the JSON summary of three good calls that left nothing behind: $(tail -1 "$out")"
  [ "$(grep -vc -e '^    |' -e 'Call-ID' "$out")" -eq 1 ] || problem "$side: other lines on standard output: $(cat "$out")"
done
grep -q "^progress: .* calls/s, [0-9]* in progress, [0-9]* ended, 0 failed$" "$work/caller/err" &&
  ! grep -q "^call [0-9]" "$work/caller/err" || problem "caller: not progress lines only: $(cat "$work/caller/err")"
grep -q -e "^progress" -e "^call [0-9]" "$work/callee/err" && problem "quiet listener: $(cat "$work/callee/err")"
grep -A1 "nvsip-ua.calls.outgoing - >>>> SENT SIP MESSAGE" "$work/caller/nvsip-calls.log" | grep -q "^INVITE sip:a@" &&
  grep -A1 "nvsip-ua.calls.incoming - <<<< RECEIVED SIP MESSAGE" "$work/callee/nvsip-calls.log" | grep -q "^INVITE sip:a@" ||
  problem "no INVITE in the call logs"
grep -q "IGNORING RECEIVED SIP ACK (STRAY)" "$work/callee/nvsip-stray.log" && grep -q "^Call-ID: stray-ack" "$work/callee/nvsip-stray.log" ||
  problem "no stray ACK in the stray log"
[ "$failures" -eq 0 ]
