#!/usr/bin/env bash
# End to end: the real program in a real X server (Xvfb), driven with xdotool, among fake hosts in a
# private network namespace made by fakenet-run, so that no probe leaves the machine.
# Usage: e2e.sh TEZMARO FAKENET_RUN [SCREENSHOT.png]
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  app=$1 fakenet=$2 shot=${3:-}
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: a private network namespace needs root"
    exit 77
  fi
  for tool in Xvfb xdotool import xdpyinfo; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
  done
  # Answering hosts for the screenshot and the first run; the closing runs use silent hosts so that
  # every close lands in the middle of a refresh.
  "$fakenet" --ping-group --answer-every-name --default spread:8-190 -- "$0" --inside show "$app" "$shot"
  "$fakenet" --ping-group --answer-every-name --default silent -- "$0" --inside close "$app"
  echo "e2e: all runs passed"
  exit 0
fi

mode=$2 app=$3 shot=${4:-}
display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
pid=
cleanup() {
  if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null || true; fi
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
unset QT_QPA_PLATFORM
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
xdpyinfo >/dev/null 2>&1 || { echo "FAIL: Xvfb did not start"; exit 1; }

now_ms() { date +%s%3N; }

start_app() {
  "$app" &
  pid=$!
  wid=$(timeout 10 xdotool search --sync --onlyvisible --name '^Tezmaro V1$' | head -n 1)
  [ -n "$wid" ] || { echo "FAIL: no window titled 'Tezmaro V1'"; exit 1; }
}

close_and_check() {
  local t0 rc
  xdotool windowfocus --sync "$wid" 2>/dev/null || true
  t0=$(now_ms)
  xdotool key --clearmodifiers Escape
  rc=0
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.01; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: still running 2 s after Esc"; kill -9 "$pid"; exit 1
  fi
  wait "$pid" || rc=$?
  pid=
  local took=$(( $(now_ms) - t0 ))
  [ "$rc" -eq 0 ] || { echo "FAIL: exit code $rc"; exit 1; }
  [ "$took" -le 1000 ] || { echo "FAIL: took $took ms to end after Esc"; exit 1; }
  echo "closed with exit code 0 after $took ms"
}

case "$mode" in
  show)
    start_app
    # Wait until every latency cell could have its answer (the slowest fake host answers in 190 ms).
    sleep 1.5
    if [ -n "$shot" ]; then
      import -window "$wid" "$shot"
      echo "screenshot: $shot"
    fi
    close_and_check
    ;;
  close)
    for run in $(seq 20); do
      start_app
      echo -n "run $run: "
      close_and_check
    done
    ;;
esac
