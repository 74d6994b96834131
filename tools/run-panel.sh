#!/usr/bin/env bash
# Installs what is missing, builds, and starts the front panel connected to the
# simulated radio: radiosim serves a pseudo-terminal linked as ports/COM1
# beside the executable, so START with COM port 1 mirrors it. radiosim is
# stopped when the panel exits.
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

mkdir -p "$dir/ports"
out=$(mktemp)
"$dir/radiosim" --link "$dir/ports/COM1" >"$out" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 50); do
  [ -s "$out" ] && break
  sleep 0.1
done
echo "Simulated radio on $(head -n 1 "$out"), linked as COM 1. Press START."
"$dir/ostrelle"
