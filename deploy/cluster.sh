#!/usr/bin/env bash
# A call-failover cluster on 127.0.0.1, started, loaded, broken and checked:
#
#   SIPp --> Kamailio (dispatcher, hash over Call-ID) --> node A, node B --> Redis
#
# Two `nvsip-ua listen` nodes keep their confirmed calls in one Redis and put
# the balancer's address in their Contact. SIPp places --calls calls through
# the balancer, each held --hold seconds and ended by SIPp's BYE. After
# --kill-after seconds the node with the most calls up is killed (SIGKILL),
# and --new-calls more calls are placed at once, their INVITEs failing over
# to the live node. The live node must take the dead node's calls over when
# their BYEs reach it: every call of both batches must succeed.
#
# It prints where the calls went, how long the balancer took to notice the
# dead node, how long the dead node's requests waited before the live node
# answered them, and SIPp's round trips of the INVITEs and BYEs.
#
# Usage: deploy/cluster.sh [--calls N] [--hold SECS] [--kill-after SECS] [--new-calls N]
#                          [--rate CALLS_PER_SEC] [--ua PATH] [--node-flags "FLAGS"] [--plain] [--logs DIR]
#                          [--busy-node]
#   --plain       nodes without --snapshot-store and --advertise: the dead node's calls
#                 are lost (their BYEs get 481), and that is what is checked instead
#                 (also CLUSTER_PLAIN=1)
#   --node-flags  more `nvsip-ua listen` flags for both nodes (--ring MS, say)
#   --logs DIR    keep every process's output in DIR
#   --ua PATH     nvsip-ua (default: $NVSIP_UA, else build/apps/nvsip-ua)
#   --busy-node   no kill: node A answers every INVITE 503 instead; each of its calls must
#                 move to node B and stay there (ACK, BYE) while node A is back in the set
# Exit status: 0 all as expected, 1 a check failed, 77 kamailio, redis-server or sipp missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# shellcheck source=../scripts/loopback-lib.sh
source "$here/../scripts/loopback-lib.sh"

calls=10 hold=6 kill_after=2 new_calls=4 rate=10 plain="${CLUSTER_PLAIN:-0}" node_flags="" logs="" busy=0
ua="${NVSIP_UA:-$here/../build/apps/nvsip-ua}"
usage() { sed -n '/^# Usage:/,/^# Exit status/p' "$0" | sed 's/^# \{0,1\}//'; exit "$1"; }
while [ $# -gt 0 ]; do
  case "$1" in
    --calls) calls="$2"; shift 2 ;;
    --hold) hold="$2"; shift 2 ;;
    --kill-after) kill_after="$2"; shift 2 ;;
    --new-calls) new_calls="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --ua) ua="$2"; shift 2 ;;
    --node-flags) node_flags="$2"; shift 2 ;;
    --plain) plain=1; shift ;;
    --busy-node) busy=1; shift ;;
    --logs) logs="$2"; shift 2 ;;
    -h | --help) usage 0 ;;
    *) echo "cluster.sh: unknown argument $1" >&2; usage 2 >&2 ;;
  esac
done
for n in "$calls" "$hold" "$kill_after" "$new_calls" "$rate"; do
  [[ "$n" =~ ^[0-9]+$ ]] || { echo "cluster.sh: $n is not a whole number" >&2; exit 2; }
done
if [ "$calls" = 0 ] || [ "$new_calls" = 0 ] || [ "$rate" = 0 ]; then
  echo "cluster.sh: --calls, --new-calls and --rate must be at least 1" >&2
  exit 2
fi
[ "$busy" = 1 ] || [ "$kill_after" -lt "$hold" ] || { echo "cluster.sh: --kill-after must be shorter than --hold" >&2; exit 2; }

for tool in kamailio redis-server redis-cli sipp; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool not found (Debian: kamailio, redis-server, sip-tester)"; exit 77; }
done
[ -x "$ua" ] || { echo "cluster.sh: no nvsip-ua at $ua (build it, or pass --ua)" >&2; exit 2; }
if [ "$plain" = 0 ] && ! "$ua" listen --help 2>&1 | grep -q -- --snapshot-store; then
  echo "cluster.sh: this nvsip-ua has no --snapshot-store: run with --plain" >&2
  exit 2
fi

# On the way out: the outputs copied when asked for, then loopback-lib's handler (ends the processes).
keep_logs() {
  local status=$?
  if [ -n "$logs" ]; then mkdir -p "$logs"; cp -r "$work"/. "$logs"/ 2>/dev/null || true; fi
  # cleanup takes the script's exit status from $?.
  if (exit "$status"); then cleanup; else cleanup; fi
}
trap keep_logs EXIT

fail() {
  echo "FAIL: $1"
  for f in node-a.log node-b.log; do echo "--- $f (last lines)"; tail -15 "$work/$f"; done
  echo "--- kamailio.log (lb: lines, last)"; grep 'lb:' "$work/kamailio.log" | tail -30 || true
  for f in "$work"/calls/sipp.log "$work"/new-calls/sipp.log "$work"/calls/errors.log "$work"/new-calls/errors.log; do
    if [ -s "$f" ]; then echo "--- ${f#"$work"/} (last lines)"; tail -25 "$f"; fi
  done
  exit 1
}

# sip_ping PORT: true once something on 127.0.0.1:PORT answers an OPTIONS 200 (within 5 s).
sip_ping() {
  python3 - "$1" <<'PY'
import socket, sys, time
port = int(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
s.settimeout(0.2)
me = s.getsockname()[1]
deadline = time.time() + 5
n = 0
while time.time() < deadline:
    n += 1
    msg = (f"OPTIONS sip:127.0.0.1:{port} SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:{me};branch=z9hG4bK-ping{n}\r\n"
           f"From: <sip:cluster@127.0.0.1>;tag=c{n}\r\nTo: <sip:127.0.0.1:{port}>\r\nCall-ID: ping{n}-{me}@127.0.0.1\r\n"
           "CSeq: 1 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n")
    s.sendto(msg.encode(), ("127.0.0.1", port))
    try:
        if s.recv(4096).startswith(b"SIP/2.0 200"):
            sys.exit(0)
    except OSError:
        time.sleep(0.1)
sys.exit(1)
PY
}

# lb_report LOG KILL_TIME VICTIM_PORT SURVIVOR_PORT: reads the balancer's "lb:" lines (see kamailio.cfg)
# and prints key=value lines: the calls each node answered before KILL_TIME and how the dead node's
# calls and the new INVITEs fared after it. KILL_TIME 0: now, VICTIM 0: only the counts.
lb_report() {
  python3 - "$@" <<'PY'
import re, sys, time
log, t0, victim, survivor = sys.argv[1], float(sys.argv[2]) or time.time(), sys.argv[3], sys.argv[4]
ev = []
for line in open(log, errors="replace"):
    m = re.search(r"lb: (.*) at (\d+\.\d+)$", line.rstrip())
    if m: ev.append((float(m.group(2)), m.group(1)))
ev.sort()
answered = {}          # port -> Call-IDs answered 200 before t0
ended = set()          # Call-IDs whose BYE was answered before t0
for t, what in ev:
    m = re.match(r"reply (\d+) (\S+) (\S+) from [\d.]+:(\d+)$", what)
    if t < t0 and m and m.group(1) == "200":
        if m.group(2) == "INVITE": answered.setdefault(m.group(4), set()).add(m.group(3))
        if m.group(2) == "BYE": ended.add(m.group(3))
for port, cids in sorted(answered.items()):
    print(f"answered_{port}={len(cids)}")
    print(f"up_{port}={len(cids - ended)}")
if victim == "0": sys.exit(0)
orphans = answered.get(victim, set()) - ended
down = [t for t, w in ev if t >= t0 and (re.match(rf"node down .*sip:127.0.0.1:{victim}(\s|$)", w) or
        re.search(rf"from sip:127.0.0.1:{victim}, node marked inactive$", w))]
print(f"detect_ms={(min(down) - t0) * 1000:.0f}" if down else "detect_ms=none")
# Requests after the kill that were meant for the dead node (its calls, or sent to it first), and
# the first final response to each: who answered, what, how long after the request came in.
sent_to_victim = {(w.split()[0], w.split()[1]) for t, w in ev
                  if t >= t0 and re.match(rf"\S+ \S+ to sip:127.0.0.1:{victim}$", w)}
# Two groups: the dead node's calls ("orphan") and the new calls first sent to it ("new").
stats = {g: {"n": 0, "codes": {}, "waits": [], "first": None} for g in ("orphan", "new")}
seen = set()
for t, what in ev:
    m = re.match(r"request (\S+) (\S+)$", what)
    if t < t0 or not m or m.group(1) == "ACK": continue
    key = (m.group(1), m.group(2))
    group = "orphan" if key[1] in orphans else "new" if key in sent_to_victim else None
    if key in seen or group is None: continue
    seen.add(key)
    st = stats[group]
    st["n"] += 1
    label = f"{key[0]} unanswered"
    for t2, w2 in ev:
        r = re.match(rf"reply (\d+) {re.escape(key[0])} {re.escape(key[1])} from [\d.]+:(\d+)$", w2)
        if t2 >= t and r and int(r.group(1)) >= 200:
            label = f"{key[0]} {r.group(1)} from {'the live node' if r.group(2) == survivor else r.group(2)}"
            st["waits"].append((t2 - t) * 1000)
            if r.group(2) == survivor and r.group(1).startswith("2") and st["first"] is None: st["first"] = t2
            break
    st["codes"][label] = st["codes"].get(label, 0) + 1
print(f"orphans={len(orphans)}")
for g, st in stats.items():
    print(f"{g}_requests={st['n']}")
    print(f"{g}_answers=" + (", ".join(f"{n} {label}" for label, n in sorted(st["codes"].items())) or "none"))
    print(f"{g}_first_ms=" + (f"{(st['first'] - t0) * 1000:.0f}" if st["first"] else "none"))
    print(f"{g}_max_wait_ms=" + (f"{max(st['waits']):.0f}" if st["waits"] else "none"))
print(f"failovers={sum(1 for t, w in ev if t >= t0 and ' failed over to ' in w)}")
PY
}

# rtt FILE NAME: "max/average ms over N" of SIPp's timed round trips NAME ("invite", "bye").
rtt() {
  python3 - "$1" "$2" <<'PY'
import sys
v = [float(l.split(";")[1]) for l in open(sys.argv[1]).read().splitlines()[1:] if l.endswith(";" + sys.argv[2])]
print(f"max {max(v):.0f} ms, average {sum(v) / len(v):.1f} ms over {len(v)}" if v else "none")
PY
}

# --- Redis: no persistence, everything in $work.
redis_port="$(free_port)"
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" \
  --daemonize no >"$work/redis.log" 2>&1 &
pids+=("$!")
for _ in $(seq 50); do
  redis-cli -p "$redis_port" ping 2>/dev/null | grep -q PONG && break
  sleep 0.1
done
redis-cli -p "$redis_port" ping 2>/dev/null | grep -q PONG || fail "redis-server did not start"

# --- The two nodes.
lb_port="$(free_port)" a_port="$(free_port)" b_port="$(free_port)"
cluster_flags=(--snapshot-store "redis://127.0.0.1:$redis_port" --advertise "127.0.0.1:$lb_port")
[ "$plain" = 0 ] || cluster_flags=()
start_node() {  # NAME PORT [FLAGS]
  # shellcheck disable=SC2086
  "$ua" listen --bind 127.0.0.1:"$2" --verbose "${cluster_flags[@]}" $node_flags ${3:-} >"$work/$1.log" 2>&1 &
  pids+=("$!")
}
start_node node-a "$a_port" "$([ "$busy" = 0 ] || echo --answer 503)"
a_pid=$!
start_node node-b "$b_port"
b_pid=$!
sip_ping "$a_port" || fail "node A does not answer OPTIONS"
sip_ping "$b_port" || fail "node B does not answer OPTIONS"

# --- The balancer, in the foreground (-DD), as this user, every file in $work.
printf '1 sip:127.0.0.1:%s\n1 sip:127.0.0.1:%s\n' "$a_port" "$b_port" >"$work/dispatcher.list"
mkdir -p "$work/kamailio-run"
kamailio -f "$here/kamailio.cfg" -DD -E -A LB_ADDR=udp:127.0.0.1:"$lb_port" -A "DS_LIST=\"$work/dispatcher.list\"" \
  -P "$work/kamailio.pid" -Y "$work/kamailio-run" -w "$work" -m 64 -M 8 >"$work/kamailio.log" 2>&1 &
pids+=("$!")
sip_ping "$lb_port" || fail "kamailio does not answer OPTIONS (see its log)"
echo "cluster: balancer 127.0.0.1:$lb_port, node A :$a_port, node B :$b_port, redis :$redis_port" \
  "($([ "$plain" = 0 ] && echo "nodes share their calls" || echo "plain nodes: no --snapshot-store, no --advertise"))"

# place DIR COUNT HOLD_MS: SIPp's calls through the balancer, in the background ($sipp_pid), files in $work/DIR.
place() {
  mkdir -p "$work/$1"
  (cd "$work/$1" && exec timeout $((hold + kill_after + 60)) sipp -sf "$here/uac-hold.xml" 127.0.0.1:"$lb_port" \
    -i 127.0.0.1 -p "$(free_port)" -m "$2" -r "$rate" -d "$3" -nostdin -nd -timeout $((hold + kill_after + 40))s \
    -timeout_error -default_behaviors all,-bye -trace_stat -stf stat.csv -fd 1 -trace_rtt -rtt_freq 1 \
    -trace_err -error_file errors.log >sipp.log 2>&1) &
  sipp_pid=$!
  pids+=("$sipp_pid")
}

place calls "$calls" $((hold * 1000))
calls_pid=$sipp_pid

# --- No kill: node A turns every call away with a 503.
if [ "$busy" = 1 ]; then
  calls_status=0
  wait "$calls_pid" || calls_status=$?
  read -r ok1 failed1 < <(sipp_calls "$work/calls/stat.csv")
  # Each call moved off node A, and where its ACK and BYE went.
  moved="$(sed -n 's/.*lb: INVITE \([^ ]*\) failed over to .*/\1/p' "$work/kamailio.log" | sort -u)"
  strays=0
  for ci in $moved; do
    grep -qF "lb: BYE $ci to sip:127.0.0.1:$b_port " "$work/kamailio.log" || strays=$((strays + 1))
  done
  echo "cluster: INVITEs each node got: node A $(grep -c ': INVITE from ' "$work/node-a.log" || true)," \
    "node B $(grep -c ': INVITE from ' "$work/node-b.log" || true); moved to node B after a 503: $(wc -w <<<"$moved")," \
    "their BYE elsewhere: $strays; node A back in the set $(grep -c 'lb: node up' "$work/kamailio.log" || true) times"
  echo "cluster: SIPp: INVITE $(rtt "$(compgen -G "$work/calls/*_rtt.csv" | head -1)" invite); $ok1 successful, $failed1 failed"
  if [ "$ok1" != "$calls" ] || [ "$failed1" != 0 ] || [ "$calls_status" != 0 ] || [ "$strays" != 0 ]; then
    fail "the calls turned away by node A did not all end cleanly on node B"
  fi
  if [ -z "$moved" ]; then echo "note: every Call-ID hashed to node B: no call was moved"; exit 0; fi
  echo "ok   cluster (busy node): all $calls calls ended cleanly, $(wc -w <<<"$moved") of them moved off the busy node"
  exit 0
fi
sleep "$kill_after"

# --- Kill the node with the most calls up.
counts="$(lb_report "$work/kamailio.log" 0 0 0)"
up_a="$(sed -n "s/^up_$a_port=//p" <<<"$counts")" up_b="$(sed -n "s/^up_$b_port=//p" <<<"$counts")"
if [ "${up_b:-0}" -gt "${up_a:-0}" ]; then
  victim=B victim_pid=$b_pid victim_port=$b_port survivor_pid=$a_pid survivor_port=$a_port
else
  victim=A victim_pid=$a_pid victim_port=$a_port survivor_pid=$b_pid survivor_port=$b_port
fi
[ "$plain" = 1 ] || echo "cluster: $(redis-cli -p "$redis_port" dbsize) keys in redis before the kill"
kill_time="$(date +%s.%N)"
{ kill -KILL "$victim_pid" && wait "$victim_pid"; } 2>/dev/null || true  # no "Killed" line from bash
echo "cluster: calls up at ${kill_after}s: node A ${up_a:-0}, node B ${up_b:-0}; node $victim killed (SIGKILL)"

place new-calls "$new_calls" 1000
new_pid=$sipp_pid
calls_status=0 new_status=0
wait "$calls_pid" || calls_status=$?
wait "$new_pid" || new_status=$?
sleep 0.2

# --- What happened.
report="$(lb_report "$work/kamailio.log" "$kill_time" "$victim_port" "$survivor_port")"
get() { sed -n "s/^$1=//p" <<<"$report"; }
ms() { local v; v="$(get "$1")"; if [ "$v" = none ]; then echo "never"; else echo "$v ms"; fi; }
read -r ok1 failed1 < <(sipp_calls "$work/calls/stat.csv")
read -r ok2 failed2 < <(sipp_calls "$work/new-calls/stat.csv")
invites() { grep -c ': INVITE from ' "$work/$1.log" || true; }
echo "cluster: INVITEs each node got: node A $(invites node-a), node B $(invites node-b)"
echo "cluster: answered before the kill: node A $(get "answered_$a_port" || true), node B $(get "answered_$b_port" || true)"
echo "cluster: node $victim noticed dead by the balancer: $(ms detect_ms) after the kill"
echo "cluster: the dead node's $(get orphans) calls: $(get orphan_requests) requests after the kill" \
  "($(get orphan_answers)); the first answered 2xx by the live node: $(ms orphan_first_ms) after the kill;" \
  "longest wait at the balancer $(ms orphan_max_wait_ms)"
echo "cluster: new calls first sent to the dead node: $(get new_requests) ($(get new_answers));" \
  "longest wait at the balancer $(ms new_max_wait_ms); requests failed over by the balancer: $(get failovers)"
rtt1="$(compgen -G "$work/calls/*_rtt.csv" | head -1)" rtt2="$(compgen -G "$work/new-calls/*_rtt.csv" | head -1)"
echo "cluster: SIPp, first calls: INVITE $(rtt "$rtt1" invite); BYE $(rtt "$rtt1" bye)"
echo "cluster: SIPp, calls after the kill: INVITE $(rtt "$rtt2" invite); BYE $(rtt "$rtt2" bye)"
[ "$plain" = 1 ] || echo "cluster: $(redis-cli -p "$redis_port" dbsize) keys left in redis"
echo "cluster: first calls $ok1 successful, $failed1 failed; calls after the kill $ok2 successful, $failed2 failed"

# --- The verdict.
kill -0 "$survivor_pid" 2>/dev/null || fail "the live node is gone"
if [ "$ok2" != "$new_calls" ] || [ "$failed2" != 0 ] || [ "$new_status" != 0 ]; then
  fail "the calls placed after the kill did not all succeed"
fi
if [ "$plain" = 1 ]; then
  # Without the shared store the live node knows nothing of the dead node's calls: exactly those fail.
  lost="$(get orphans)"
  if [ "$failed1" != "$lost" ] || [ "$ok1" != $((calls - lost)) ]; then
    fail "expected the $lost calls of the dead node to fail and the $((calls - lost)) others to succeed"
  fi
  echo "ok   cluster (plain nodes): $ok1 calls kept, the dead node's $lost lost as expected, $ok2 new calls on the live node"
else
  if [ "$ok1" != "$calls" ] || [ "$failed1" != 0 ] || [ "$calls_status" != 0 ]; then
    fail "not every call survived the kill"
  fi
  echo "ok   cluster: all $calls calls ended cleanly across the kill, $ok2 new calls on the live node"
fi
