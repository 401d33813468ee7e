#!/usr/bin/env bash
# Start-up time of the real program: from its launch until its window "Tezmaro V1" is shown (mapped) in
# an X server (Xvfb), and its resident memory and threads at that moment. Runs it RUNS times among fake
# hosts that answer after 8..190 ms, inside a private network namespace made by fakenet-run, closing
# each run with Esc. Run by hand, as root (the namespace needs it).
#
# Usage: bench/startup.sh [RUNS]     (default 10)
# The binaries come from build/ unless TEZMARO and FAKENET_RUN name others.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  runs=${1:-10}
  app=${TEZMARO:-$root/build/tezmaro}
  fakenet=${FAKENET_RUN:-$root/build/tests/support/fakenet-run}
  [ "$(id -u)" -eq 0 ] || { echo "startup: a private network namespace needs root" >&2; exit 1; }
  for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "startup: $tool is not installed" >&2; exit 1; }
  done
  [ -x "$app" ] && [ -x "$fakenet" ] || { echo "startup: build tezmaro and fakenet-run first ($app, $fakenet)" >&2; exit 1; }
  case $runs in '' | *[!0-9]* | 0) echo "startup: RUNS must be a positive whole number" >&2; exit 2 ;; esac
  "$fakenet" --ping-group --answer-every-name --default spread:8-190 -- "$0" --inside "$app" "$runs"
  exit $?
fi

app=$2 runs=$3

xvfb_pid= pid=
cleanup() {
  if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Xvfb picks a free display itself: other runs on this machine may hold the usual ones.
displayfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$displayfile" ] && break; sleep 0.05; done
[ -s "$displayfile" ] || { echo "startup: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$displayfile")
rm -f "$displayfile"
unset QT_QPA_PLATFORM

status_field() { awk -v f="$1:" '$1 == f { print $2 }' "/proc/$pid/status"; }

times=() rss=()
for ((run = 1; run <= runs; run++)); do
  began=$(date +%s%N)
  "$app" 2>/dev/null &
  pid=$!
  # Polled every 5 ms rather than with xdotool's own --sync, which looks only every half second.
  wid=
  for _ in $(seq 2000); do
    wid=$(xdotool search --onlyvisible --name '^Tezmaro V1$' 2>/dev/null | head -n 1) || true
    [ -z "$wid" ] || break
    sleep 0.005
  done
  shown=$(date +%s%N)
  [ -n "$wid" ] || { echo "startup: run $run: no window titled 'Tezmaro V1'" >&2; exit 1; }
  ms=$(((shown - began) / 1000000))
  kb=$(status_field VmRSS)
  threads=$(status_field Threads)
  times+=("$ms") rss+=("$kb")
  printf 'run %2d: shown after %4d ms, VmRSS %.1f MB, %d threads\n' "$run" "$ms" "$(awk -v k="$kb" 'BEGIN { print k / 1024 }')" "$threads"

  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  xdotool key --clearmodifiers Escape
  rc=0
  wait "$pid" || rc=$?
  pid=
  [ "$rc" -eq 0 ] || { echo "startup: run $run ended with exit code $rc" >&2; exit 1; }
done

summary() {  # summary NAME SCALE VALUES...
  local name=$1 scale=$2
  shift 2
  printf '%s\n' "$@" | sort -n | awk -v n="$name" -v s="$scale" '{ v[NR] = $1 / s }
    END { printf "%s: median %.1f, min %.1f, max %.1f over %d runs\n", n, (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[1], v[NR], NR }'
}
summary "launch to shown window, ms" 1 "${times[@]}"
summary "VmRSS when shown, MB" 1024 "${rss[@]}"
