#!/usr/bin/env bash
# Memory of a long poll: runs `hydrix poll` for MINUTES twice side by side - once on the
# built-in profile (its stations run inside hydrix), once against two hydrix-station
# processes on pseudo-terminals (telegram engine node 12, v6 engine node 7) - and samples
# the resident set (VmRSS) of hydrix and of each station every SAMPLE seconds. At the end,
# each process must be within 5% of its size after the first minute.
#   scripts/rss-poll.sh [BUILD_DIR] [MINUTES] [POLL_INTERVAL_SECONDS]
# Defaults: build, 10 minutes, 2 s (the built-in profile's interval). Prints one line per
# sample and a table; exits 0 when every process held its size, 1 when one grew, 2 on a
# setup failure. SAMPLE (seconds, default 10) and RSS_LOG (a file for the samples) can be
# set in the environment.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
minutes=${2:-10}
interval=${3:-2}
sample=${SAMPLE:-10}
hydrix="$build/tools/hydrix"
station="$build/tools/hydrix-station"

if [ ! -x "$hydrix" ] || [ ! -x "$station" ]; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DHYDRIX_BENCH=OFF >/dev/null || exit 2
  cmake --build "$build" -j2 --target hydrix hydrix-cli hydrix-station >/dev/null || exit 2
fi

. scripts/scratch.sh
scratch_folder rss-poll

# Starts a station on a new pty and prints the pty's path once the station has it.
start_station() {  # name, extra options
  local name=$1
  shift
  : >"$work/$name.out"
  "$station" --pty "$@" </dev/null >"$work/$name.out" 2>&1 &
  echo $! >"$work/$name.pid"
  for _ in $(seq 100); do
    local path
    path=$(sed -n 's/^pty: //p' "$work/$name.out")
    if [ -n "$path" ]; then echo "$path"; return 0; fi
    sleep 0.1
  done
  echo "rss-poll: $name did not start: $(cat "$work/$name.out")" >&2
  return 1
}

pty_telegram=$(start_station station-telegram) || exit 2
pty_v6=$(start_station station-v6 --v6) || exit 2
items="0/12:picture:1:0-4 1/7:picture:1:1-5 0/12:setpoints:1-3 0/12:report 1/7:report 1/7:setpoints"
cat >"$work/external.ini" <<EOF
[Driver]
[Chan0]
HYDRIXDefault=1
Nodes=12
Port=$pty_telegram
[Chan0\\Node12]
PlantNumber=12
[Chan1]
HYDRIXDefault=0
DeviceName=SIM1
Nodes=7
Port=$pty_v6
EOF

"$hydrix" poll -i "$interval" >/dev/null 2>"$work/builtin.err" &
echo $! >"$work/hydrix-builtin.pid"
# shellcheck disable=SC2086
"$hydrix" --config "$work/external.ini" poll $items -i "$interval" >/dev/null 2>"$work/external.err" &
echo $! >"$work/hydrix-external.pid"

names=(hydrix-builtin hydrix-external station-telegram station-v6)
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
declare -A first last
log=${RSS_LOG:-/dev/null}
echo "rss-poll: $minutes min, poll every $interval s, samples every $sample s (VmRSS in kB)"
printf '%6s' "s" | tee "$log"
for n in "${names[@]}"; do printf ' %17s' "$n"; done | tee -a "$log"
echo | tee -a "$log"
start=$(date +%s)
end=$((start + minutes * 60))
while :; do
  now=$(date +%s)
  elapsed=$((now - start))
  printf '%6d' "$elapsed" | tee -a "$log"
  for n in "${names[@]}"; do
    pid=$(cat "$work/$n.pid")
    kb=$(rss "$pid")
    if [ -z "$kb" ]; then
      echo
      echo "rss-poll: $n (pid $pid) is gone" >&2
      cat "$work"/*.err "$work"/*.out >&2 2>/dev/null
      exit 2
    fi
    printf ' %17s' "$kb" | tee -a "$log"
    last[$n]=$kb
    [ "$elapsed" -ge 60 ] && [ -z "${first[$n]:-}" ] && first[$n]=$kb
  done
  echo | tee -a "$log"
  [ "$now" -ge "$end" ] && break
  sleep "$sample"
done

status=0
echo
printf '%-18s %12s %12s %8s\n' process "after 1 min" "at the end" change
for n in "${names[@]}"; do
  f=${first[$n]:-${last[$n]}}
  l=${last[$n]}
  pct=$(awk -v f="$f" -v l="$l" 'BEGIN { printf "%+.1f%%", (l - f) * 100 / f }')
  verdict=ok
  if awk -v f="$f" -v l="$l" 'BEGIN { exit !(l > f * 1.05) }'; then verdict=GREW; status=1; fi
  printf '%-18s %9s kB %9s kB %8s %s\n' "$n" "$f" "$l" "$pct" "$verdict"
done
exit $status
