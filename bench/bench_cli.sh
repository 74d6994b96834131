#!/usr/bin/env bash
# ostrellectl's figures against radiosim on a pseudo-terminal: `status` from
# start to exit (the median and the slowest of 20 runs), and the processor
# share of `watch` over 30 s (user and system time of the process from /proc).
# Usage: bench/bench_cli.sh [WATCH_SECONDS]   (after a build into build/ or
# $OSTRELLE_BUILD_DIR)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${OSTRELLE_BUILD_DIR:-$here/build}
seconds=${1:-30}
work=$(mktemp -d)
sim=
finish() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

"$build/radiosim" --link "$work/radio" >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
times=()
for _ in $(seq 20); do
  t0=$(date +%s%N)
  "$build/ostrellectl" --port "$work/radio" status >/dev/null
  t1=$(date +%s%N)
  times+=($(( (t1 - t0) / 1000 )))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
median=$(( (sorted[9] + sorted[10]) / 2 ))
printf 'status, start to exit: median %d.%03d ms, slowest %d.%03d ms (20 runs)\n' \
  $((median / 1000)) $((median % 1000)) $((sorted[19] / 1000)) $((sorted[19] % 1000))

"$build/ostrellectl" --port "$work/radio" watch >"$work/watch.out" 2>/dev/null &
watcher=$!
sleep 1
ticks() { awk '{print $14 + $15}' "/proc/$watcher/stat"; }
before=$(ticks)
sleep "$seconds"
after=$(ticks)
lines=$(wc -l <"$work/watch.out")
kill -INT "$watcher"
wait "$watcher" || true
hz=$(getconf CLK_TCK)
awk -v t=$((after - before)) -v hz="$hz" -v s="$seconds" -v n="$lines" \
  'BEGIN { printf "watch over %d s: %.2f %% of one core, %d lines printed\n", s, 100 * t / hz / s, n }'
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
