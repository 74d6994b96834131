#!/usr/bin/env bash
# Ten restarts of the whole application under a real window manager leave its
# window where it was, also after an Exit pressed the moment the window shows
# and after the user moved it. Starts its own Xvfb and openbox on a free
# display; skips only when they are not installed.
#
#   restart_drift.sh <panel_restart executable>
set -euo pipefail
helper=$1
for tool in Xvfb openbox xprop; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (bash tools/setup.sh test installs it)"
    exit 77
  fi
done

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and names it on descriptor 3.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
export QT_QPA_PLATFORM=xcb
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done
xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || { echo "openbox did not start:"; cat "$work/openbox.log"; exit 1; }

settings="$work/settings"
mkdir -p "$settings"
printf '1\n25.000000\n175,93\n' >"$settings/Ostrelle.cfg"
expected=175,93
failures=0
for run in $(seq 10); do
  options=()
  case $run in
    4) options=(--exit-at-once) ;;
    7) options=(--move 300,200); expected=300,200 ;;
  esac
  shown=$(timeout 30 "$helper" "$settings" "${options[@]}" 2>"$work/run.log") || {
    echo "run $run failed:"; cat "$work/run.log"; exit 1; }
  saved=$(sed -n 3p "$settings/Ostrelle.cfg")
  echo "run $run ${options[*]}: $shown; saved $saved"
  if [ "$shown" != "${shown#frame $expected }" ] && [ "$saved" = "$expected" ]; then
    continue
  fi
  echo "  expected the frame at $expected"
  failures=$((failures + 1))
done
[ "$failures" -eq 0 ] && echo "10 restarts: the window stayed where it was" || exit 1
