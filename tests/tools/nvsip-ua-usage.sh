#!/usr/bin/env bash
# nvsip-ua's command line: --help and -h, as a mode or among a mode's options,
# print the usage on standard output and exit 0; an unknown mode or option, a
# bad value (not a number, negative, out of range, a --bind host that is not
# an IP address) or no mode at all say what is wrong on standard error, with
# the usage, and exit 2.
# Usage: nvsip-ua-usage.sh PATH/TO/nvsip-ua
set -uo pipefail
ua="$1"
failures=0

for args in "--help" "-h" "listen --help" "call sip:a@127.0.0.1 -h"; do
  # shellcheck disable=SC2086
  out="$("$ua" $args 2>/dev/null)"
  status=$?
  if [ "$status" -ne 0 ] || [[ "$out" != "usage: nvsip-ua listen"* ]]; then
    echo "nvsip-ua $args: exit $status, printed: $out"
    failures=$((failures + 1))
  fi
done
# A fractional --rate is a value, so the line fails only at the option after it.
for case in "listen --bogus|unknown option --bogus" "listen --count abc|bad --count: abc" "fly|unknown mode fly" \
            "|no mode given" "listen --bind 127.0.0.1:0 --count 0|bad --count: 0 (at least 1)" \
            "listen --bind 127.0.0.1:0 --ring -5|bad --ring: -5" "listen --bind foo:5060|bad --bind address foo:5060: not an IP address" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --rate 0|bad --rate: 0" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --rate 0.5 --bogus|unknown option --bogus" \
            "call sip:a@127.0.0.1 --bind 127.0.0.1:0 --hold 1s|bad --hold: 1s" "demo now|unknown option now" \
            "listen --bind 127.0.0.1:0 --leave-unanswered info|bad --leave-unanswered: info (methods like INFO,INVITE)"; do
  args="${case%%|*}" problem="${case#*|}"
  # shellcheck disable=SC2086
  err="$("$ua" $args 2>&1 >/dev/null)"
  status=$?
  if [ "$status" -ne 2 ] || [[ "$err" != "nvsip-ua: $problem"$'\n'"usage: "* ]]; then
    echo "nvsip-ua $args: exit $status, said: $err"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
