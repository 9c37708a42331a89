# Sourced by the scripts that run SIP peers on 127.0.0.1: a scratch folder
# ($work), the processes started ($pids, ended by PID on exit) and free_port,
# which prints a port free for both UDP and TCP on 127.0.0.1; sipp_calls
# reads a SIPp statistics file (-trace_stat -stf FILE).
#
# On exit, a sanitizer's report in any output kept in $work fails the script,
# even from a process whose exit status was not checked (one killed on
# purpose, say): the report is printed and the status is 66, ThreadSanitizer's.
work="$(mktemp -d)"
pids=()
cleanup() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  local reports
  reports="$(grep -rlE '^(WARNING|ERROR|SUMMARY): [A-Za-z]+Sanitizer' "$work" || true)"
  for file in $reports; do echo "FAIL: a sanitizer's report in ${file#"$work"/}:"; cat "$file"; done
  rm -rf "$work"
  if [ -n "$reports" ] && [ "$status" = 0 ]; then status=66; fi
  exit "$status"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); p=s.getsockname()[1]; u=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", p)); print(p)'
}

# sipp_calls FILE: "successful failed", the calls of SIPp's last statistics line in FILE.
sipp_calls() {
  python3 - "$1" <<'PY'
import sys
rows = [line.rstrip("\n").split(";") for line in open(sys.argv[1]) if line.strip()]
header, last = rows[0], rows[-1]
print(last[header.index("SuccessfulCall(C)")], last[header.index("FailedCall(C)")])
PY
}
