#!/usr/bin/env bash
# Cross-builds the core, ostrellectl and the core's tests for Windows (64- and
# 32-bit) and runs the 64-bit tests and ostrellectl.exe under Wine against
# radiosim, which serves pseudo-terminals on the Linux side reached as COM5 (a
# radio that answers), COM6 (one that never does) and COM7 (ostrellectl's)
# through links in a fresh Wine prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
native=${OSTRELLE_BUILD_DIR:-$here/build}

want=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  as_root=(); [ "$(id -u)" -ne 0 ] && as_root=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

for arch in x86_64 i686; do
  dir=$here/build-win-$arch
  cmake -S "$here" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir" -j"$(nproc)"
done

[ -x "$native/radiosim" ] || bash "$here/tools/build.sh"

export WINEPREFIX=$here/build-win-x86_64/wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1 || true

pids=()
start_sim() { # name, then radiosim's switches
  local com=$1; shift
  local out; out=$(mktemp)
  "$native/radiosim" --link "$WINEPREFIX/dosdevices/$com" "$@" >"$out" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
}
stop_all() {
  # The Wine server must be gone before the radio's side of a pseudo-terminal
  # closes, or it takes the hang-up and prints pages of noise.
  wineserver -w 2>/dev/null || true
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all EXIT
start_sim com5
start_sim com6 --no-reply

set +e
wine "$here/build-win-x86_64/wine_core_tests.exe" 2>&1 | tr -d '\r'
rc=${PIPESTATUS[0]}
echo "wine_core_tests under Wine: exit $rc"
bash "$here/tests/wine/ostrellectl_wine.sh" "$native" "$here/build-win-x86_64"
cli=$?
set -e
[ "$rc" -eq 0 ] && rc=$cli
exit "$rc"
