#!/usr/bin/env bash
# The real tezmaro-cli among fake hosts in a private network namespace: exit statuses, the table, the
# JSON schema and the readings against the hosts' set delays, host lists on standard input, and Ctrl+C
# during --watch. Usage: cli_e2e.sh TEZMARO_CLI FAKENET_RUN
set -uo pipefail
cli=$1
fakenet=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if ! "$fakenet" -- true 2>"$work/why"; then
  echo "SKIP: no private network namespace here: $(cat "$work/why")"
  exit 77
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect NAME STATUS [fakenet options] -- COMMAND...; output in $work/out and $work/err
expect() {
  local name=$1 status=$2; shift 2
  local options=()
  while [ "$1" != "--" ]; do options+=("$1"); shift; done
  shift
  "$fakenet" "${options[@]}" -- "$@" >"$work/out" 2>"$work/err" </dev/null
  local got=$?
  [ "$got" -eq "$status" ] || fail "$name: exit status $got, expected $status; stderr: $(cat "$work/err")"
}

# Answers after 20 ms but one silent host: three rounds, and the JSON checked field by field.
expect "answering region as JSON" 0 --default reply:20 --host 54.94.0.66=silent --ping-group -- \
  "$cli" SA --rounds 3 --interval 0.1 --format json
python3 - "$work/out" <<'PY' || fail "JSON schema"
import json, sys
doc = json.load(open(sys.argv[1]))
assert doc["method"] == "icmp" and doc["port"] is None and doc["timeout_ms"] == 1000 and doc["rounds"] == 3, doc
keys = ["area", "host", "address", "sent", "received", "loss", "last_ms", "min_ms", "avg_ms", "max_ms", "stddev_ms", "rtts_ms"]
assert len(doc["hosts"]) == 9
for h in doc["hosts"]:
    assert list(h) == keys, list(h)
    assert h["area"] == "圣保罗" and h["address"] == h["host"] and h["sent"] == 3 and len(h["rtts_ms"]) == 3
    if h["host"] == "54.94.0.66":
        assert h["received"] == 0 and h["loss"] == 1 and h["avg_ms"] is None and h["rtts_ms"] == [None] * 3, h
    else:
        assert h["received"] == 3 and h["loss"] == 0, h
        # The fake hosts answer 20 ms after the request left; a busy machine may add, never take away.
        assert all(20 <= r < 60 for r in h["rtts_ms"]), h
        assert h["min_ms"] <= h["avg_ms"] <= h["max_ms"] and h["stddev_ms"] >= 0, h
PY

expect "nobody answers" 1 --ping-group -- "$cli" SA --timeout 100
[ "$(grep -c '无响应' "$work/out")" -eq 9 ] || fail "silent hosts not shown as 无响应: $(cat "$work/out")"

# Root keeps CAP_NET_RAW unless it is dropped; without it and without the group range, no ICMP at all.
expect "ICMP not permitted" 3 --default reply:1 -- \
  setpriv --bounding-set -net_raw --inh-caps -net_raw -- "$cli" SA
grep -q 'setcap cap_net_raw+ep' "$work/err" && grep -q ping_group_range "$work/err" ||
  fail "no advice on allowing ICMP: $(cat "$work/err")"
[ -s "$work/out" ] && fail "output despite exit 3: $(cat "$work/out")"

# The names of region 0 go through the namespace's DNS server.
expect "names resolve" 0 --answer-every-name --default reply:5 --ping-group -- "$cli" 0 --format csv --sort latency
[ "$(grep -c ',198\.19\.' "$work/out")" -eq 16 ] || fail "region 0 by name: $(cat "$work/out")"

printf 'a\t198.18.1.1\nb\t198.18.1.2\tc\n' >"$work/hosts"
"$fakenet" --ping-group -- "$cli" --hosts - <"$work/hosts" >"$work/out" 2>"$work/err"
status=$?
[ "$status" -eq 2 ] && [ "$(cat "$work/err")" = 'tezmaro-cli: standard input:2: more than two fields; a line is "area<TAB>host" or "host"' ] ||
  fail "bad host line: status $status, $(cat "$work/err")"

# --watch until Ctrl+C: the signal ends it after the first table, and the status still says who answered.
"$fakenet" --default reply:2 --ping-group -- "$cli" SA --watch --interval 0.2 >"$work/out" 2>"$work/err" &
runner=$!
for _ in $(seq 1 200); do
  grep -q 'round 2' "$work/out" 2>/dev/null && break
  sleep 0.05
done
kill -INT "$runner"
wait "$runner"
status=$?
[ "$status" -eq 0 ] || fail "watch after Ctrl+C: status $status, $(cat "$work/err")"
grep -q '▁▁' "$work/out" || fail "no sparkline in watch: $(cat "$work/out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed"
  exit 1
fi
echo "cli end-to-end: all passed"
