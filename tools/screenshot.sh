#!/usr/bin/env bash
# Renders the LCD and the status lamp, mirroring a sample radio display,
# offscreen into docs/panel.png and, at twice the density, docs/panel@2x.png.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$dir" >/dev/null
fi
cmake --build "$dir" -j2 --target panel_screenshot
mkdir -p "$here/docs"
export QT_QPA_PLATFORM=offscreen
QT_SCALE_FACTOR=1 "$dir/panel_screenshot" "$here/docs/panel.png"
QT_SCALE_FACTOR=2 "$dir/panel_screenshot" "$here/docs/panel@2x.png"
echo "wrote docs/panel.png and docs/panel@2x.png"
