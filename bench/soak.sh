#!/usr/bin/env bash
# Soak: the real window under Xvfb among silent fake hosts, with "US 北美" chosen and auto-refresh every
# second switched on by driving the window with xdotool as a user would. Samples the program's threads,
# resident memory and CPU time every 10 s into a CSV, then plots them. Run by hand, as root (the private
# network namespace needs it); the plot needs gnuplot (apt-get install gnuplot-nox).
#
# Usage: bench/soak.sh [DURATION_S [OUT_DIR]]     (defaults: 600 s, the current directory)
# The binaries come from build/ unless TEZMARO and FAKENET_RUN name others.
# Writes OUT_DIR/soak.csv, OUT_DIR/soak.png and OUT_DIR/soak-start.png (the window once driven).
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  root=$(cd "$(dirname "$0")/.." && pwd)
  duration=${1:-600}
  out=$(mkdir -p "${2:-.}" && cd "${2:-.}" && pwd)
  app=${TEZMARO:-$root/build/tezmaro}
  fakenet=${FAKENET_RUN:-$root/build/tests/support/fakenet-run}
  [ "$(id -u)" -eq 0 ] || { echo "soak: a private network namespace needs root" >&2; exit 1; }
  for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "soak: $tool is not installed" >&2; exit 1; }
  done
  [ -x "$app" ] && [ -x "$fakenet" ] || { echo "soak: build tezmaro and fakenet-run first ($app, $fakenet)" >&2; exit 1; }
  case $duration in '' | *[!0-9]*) echo "soak: DURATION_S must be whole seconds" >&2; exit 2 ;; esac
  # Silent hosts: every refresh of the 103 rows waits out the time-out, the worst case for piling up.
  "$fakenet" --ping-group --answer-every-name --default silent -- "$0" --inside "$app" "$duration" "$out"
  exit $?
fi

app=$2 duration=$3 out=$4
csv=$out/soak.csv
readonly kUsRows=103 kSampleS=10

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
[ -s "$displayfile" ] || { echo "soak: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$displayfile")
rm -f "$displayfile"
unset QT_QPA_PLATFORM

# Echo requests sent in this namespace: only the program sends any, so they count its probes.
echoes_sent() { awk '/^Icmp:/ { if (!h) { for (i = 1; i <= NF; i++) c[$i] = i; h = 1 } else print $c["OutEchos"] }' /proc/net/snmp; }
wait_for_echoes() {  # wait_for_echoes AT_LEAST SECONDS
  local deadline=$((SECONDS + $2))
  while [ "$(echoes_sent)" -lt "$1" ]; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

"$app" &
pid=$!
wid=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tezmaro V1$' | head -n 1)
[ -n "$wid" ] || { echo "soak: no window titled 'Tezmaro V1'" >&2; exit 1; }
start_echoes=$(echoes_sent)

# The selector sits at (12, 442) and is 76 x 20; its list drops down below it with the shown item
# current, so one step down is "US 北美".
xdotool mousemove --window "$wid" 50 452 click 1
sleep 0.5
xdotool key Down Return
wait_for_echoes $((start_echoes + 30)) 10 || { echo "soak: choosing 'US 北美' started no refresh" >&2; exit 1; }
# The check box at (122, 442); the interval box reads "1" from the start.
xdotool mousemove --window "$wid" 130 452 click 1
xdotool mousemove 0 0
# More than two refreshes of the region in a row can only come from the timer.
wait_for_echoes $((start_echoes + 2 * kUsRows + 1)) 20 || { echo "soak: auto-refresh did not start" >&2; exit 1; }
import -window "$wid" "$out/soak-start.png"

ticks=$(getconf CLK_TCK)
prev_t= prev_cpu=
sample() {  # seconds since the first sample, threads, VmRSS in kB, CPU s, CPU % since the last sample, echo requests
  local threads rss cpu pct=
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status")
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
  # The command name may hold spaces: fields are counted after its closing parenthesis.
  cpu=$(sed 's/.*) //' "/proc/$pid/stat" | awk -v t="$ticks" '{ printf "%.2f", ($12 + $13) / t }')
  [ -z "$prev_t" ] || pct=$(awk -v c="$cpu" -v pc="$prev_cpu" -v d=$(($1 - prev_t)) 'BEGIN { printf "%.2f", 100 * (c - pc) / d }')
  prev_t=$1 prev_cpu=$cpu
  echo "$1,$threads,$rss,$cpu,$pct,$(echoes_sent)"
}

echo "seconds,threads,vmrss_kb,cpu_s,cpu_pct,echo_requests" >"$csv"
began=$(date +%s%N)
for ((t = 0; t <= duration; t += kSampleS)); do
  # Against the clock, not by adding up sleeps, so that the samples do not drift.
  wake_ns=$((began + t * 1000000000))
  now_ns=$(date +%s%N)
  [ "$wake_ns" -le "$now_ns" ] || sleep "$(awk -v d=$((wake_ns - now_ns)) 'BEGIN { printf "%.3f", d / 1e9 }')"
  kill -0 "$pid" 2>/dev/null || { echo "soak: the program ended by itself after $t s" >&2; exit 1; }
  sample "$t" >>"$csv"
done

xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key --clearmodifiers Escape
closed_ns=$(date +%s%N)
rc=0
wait "$pid" || rc=$?
pid=
echo "soak: closed with exit code $rc after $((($(date +%s%N) - closed_ns) / 1000000)) ms"

awk -F, -v rows=$kUsRows 'NR == 2 { t0 = $1; rss0 = $3; cpu0 = $4; e0 = $6; tmin = tmax = $2; rmax = $3 }
  NR > 1 { if ($2 < tmin) tmin = $2; if ($2 > tmax) tmax = $2; if ($3 > rmax) rmax = $3; t = $1; rss = $3; cpu = $4; e = $6 }
  END {
    refreshes = (e - e0) / rows
    printf "soak: %d s, %d samples\n", t - t0, NR - 1
    printf "soak: threads min %d max %d\n", tmin, tmax
    printf "soak: VmRSS start %.1f MB end %.1f MB max %.1f MB\n", rss0 / 1024, rss / 1024, rmax / 1024
    printf "soak: CPU %.2f s = %.2f %% of one core; %.1f refreshes of %d rows (%d echo requests), %.1f ms CPU each, one every %.2f s\n",
           cpu - cpu0, 100 * (cpu - cpu0) / (t - t0), refreshes, rows, e - e0, 1000 * (cpu - cpu0) / refreshes, (t - t0) / refreshes
  }' "$csv"

if command -v gnuplot >/dev/null; then
  gnuplot <<EOF
set terminal pngcairo size 900,720 font "DejaVu Sans,10"
set output "$out/soak.png"
set datafile separator ","
set key autotitle columnhead
set multiplot layout 3,1 title "tezmaro, US 北美 with silent hosts, auto-refresh every 1 s"
set grid
set xrange [0:$duration]
set xlabel "seconds"
set lmargin 10
set ylabel "threads"
set yrange [0:*]
plot "$csv" using 1:2 with linespoints pt 7 ps 0.5 notitle
set ylabel "VmRSS (MB)"
plot "$csv" using 1:(\$3 / 1024) with linespoints pt 7 ps 0.5 notitle
set ylabel "CPU % of one core"
plot "$csv" using 1:5 with linespoints pt 7 ps 0.5 notitle
unset multiplot
EOF
  echo "soak: plot $out/soak.png"
else
  echo "soak: no plot: gnuplot is not installed (apt-get install gnuplot-nox)"
fi
echo "soak: samples $csv"
[ "$rc" -eq 0 ]
