#!/usr/bin/env bash
# Installs what is missing, builds, and starts the front panel connected to the
# simulated radio: radiosim serves a pseudo-terminal linked as ports/COM1
# beside the executable, so START with COM port 1 mirrors it. When a sound
# server answers, radiosim speaks each call into a virtual sink of its own,
# "Simulated radio", whose monitor the Audio dialog offers as an input, so
# that recording each hit records what the simulated radio said. radiosim and
# the sink are removed when the panel exits.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
bash "$here/tools/setup.sh" panel
OSTRELLE_TARGETS="ostrelle radiosim" bash "$here/tools/build.sh"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != "offscreen" ]; then
  echo "There is no display to show the panel on."
  echo "Run it under a virtual X server instead:"
  echo "  sudo apt-get install xvfb xauth && xvfb-run -a bash tools/run-panel.sh"
  exit 1
fi

sink=ostrelle_simulated_radio
module=
voice=()
# pactl waits for a server that does not answer; a few seconds are enough.
server=no
timeout 5 pactl info >/dev/null 2>&1 && server=yes
if [ "$server" = yes ]; then
  # A sink left behind by a run that was killed goes first, so that the
  # name (kept as the Audio dialog's choice) stays the same.
  timeout 5 pactl list short modules 2>/dev/null | awk -v s="sink_name=$sink" '$0 ~ s {print $1}' |
    while read -r old; do timeout 5 pactl unload-module "$old" || true; done
  # The description is quoted twice: once for the module's arguments, once
  # for the property list within them.
  module=$(timeout 5 pactl load-module module-null-sink sink_name=$sink rate=16000 \
    "sink_properties=\"device.description='Simulated radio'\"" 2>/dev/null || true)
fi
if [ -n "$module" ]; then
  voice=(--voice speech --voice-sink "$sink")
  echo "The simulated radio speaks into the sink \"Simulated radio\";" \
    "choose \"Monitor of Simulated radio\" as the input in Audio... to record it."
elif [ "$server" = yes ]; then
  echo "The sound server would not make a sink for the simulated radio: it is silent, and nothing can be recorded."
else
  echo "No sound server answers: the simulated radio is silent, and nothing can be recorded."
fi

mkdir -p "$dir/ports"
out=$(mktemp)
"$dir/radiosim" --link "$dir/ports/COM1" "${voice[@]}" >"$out" &
sim=$!
cleanup() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  rm -f "$out"
  if [ -n "$module" ]; then timeout 5 pactl unload-module "$module" 2>/dev/null || true; fi
}
trap cleanup EXIT
for _ in $(seq 50); do
  [ -s "$out" ] && break
  sleep 0.1
done
echo "Simulated radio on $(head -n 1 "$out"), linked as COM 1. Press START."
"$dir/ostrelle"
