#!/usr/bin/env bash
# Renders the front panel offscreen, mirroring a sample radio display:
#   docs/panel.png, docs/panel@2x.png  the whole window (while the dialog is
#                                      not part of the build: LCD and lamp)
#   docs/lcd.png, docs/lcd@2x.png      the LCD and the status lamp alone
#   docs/progress.png                  the transfer progress window
# The @2x pictures are drawn at QT_SCALE_FACTOR=2.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$dir" >/dev/null
fi
export QT_QPA_PLATFORM=offscreen
mkdir -p "$here/docs"

cmake --build "$dir" -j2 --target panel_screenshot
QT_SCALE_FACTOR=1 "$dir/panel_screenshot" "$here/docs/lcd.png"
QT_SCALE_FACTOR=2 "$dir/panel_screenshot" "$here/docs/lcd@2x.png"

window="$dir/panel_screenshot"
if cmake --build "$dir" --target help | grep 'panel_dialog_screenshot' >/dev/null; then
  cmake --build "$dir" -j2 --target panel_dialog_screenshot
  window="$dir/panel_dialog_screenshot"
fi
QT_SCALE_FACTOR=1 "$window" "$here/docs/panel.png"
QT_SCALE_FACTOR=2 "$window" "$here/docs/panel@2x.png"
if cmake --build "$dir" --target help | grep 'panel_progress_screenshot' >/dev/null; then
  cmake --build "$dir" -j2 --target panel_progress_screenshot
  QT_SCALE_FACTOR=1 "$dir/panel_progress_screenshot" "$here/docs/progress.png"
  echo "wrote docs/progress.png"
fi
echo "wrote docs/panel.png, docs/panel@2x.png, docs/lcd.png and docs/lcd@2x.png ($(basename "$window"))"
