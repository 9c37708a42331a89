#!/usr/bin/env bash
# nvsip-parse over the torture corpus: every valid message accepted (exit 0),
# each invalid one rejected on its own (exit 1 and a "rejected:" line), and
# --print writes back the canonical bytes of a canonical message.
# Usage: nvsip-parse.sh PATH/TO/nvsip-parse CORPUS_DIR
set -uo pipefail
tool="$1"
corpus="$2"
failures=0

"$tool" "$corpus"/valid/*.sip >/dev/null || { echo "valid corpus not accepted"; failures=$((failures + 1)); }
for file in "$corpus"/invalid/*.sip; do
  out="$("$tool" "$file")"
  status=$?
  if [ "$status" -ne 1 ] || [[ "$out" != *": rejected: "* ]]; then
    echo "not rejected: $file ($status): $out"
    failures=$((failures + 1))
  fi
done
[ -f "$corpus/valid/canonical-invite.sip" ] || { echo "missing canonical-invite.sip"; exit 1; }
printed="$("$tool" --print < "$corpus/valid/canonical-invite.sip" | tail -n +2)"
if [ "$printed" != "$(cat "$corpus/valid/canonical-invite.sip")" ]; then
  echo "--print did not reproduce canonical-invite.sip"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
