#!/usr/bin/env bash
# The long run: builds the panel, radiosim and the soak program, then runs
# the panel mirroring radiosim offscreen for the given seconds (default an
# hour) at low priority. Usage: tools/soak.sh [seconds [seconds between transfers]]
# Fails when memory or descriptors grow, or a frame or an image goes missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
# A short run still makes a few transfers; a long one every three minutes.
every=${2:-$(( seconds < 600 ? 20 : 180 ))}
OSTRELLE_TARGETS="soak radiosim" bash "$here/tools/build.sh" >/dev/null
dir=${OSTRELLE_BUILD_DIR:-$here/build}
QT_QPA_PLATFORM=offscreen timeout $(( seconds + 120 )) nice -n 19 "$dir/soak" "$seconds" "$every"
