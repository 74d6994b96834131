#!/usr/bin/env bash
# Configures and builds into build/ (or $OSTRELLE_BUILD_DIR). Arguments that
# start with -D go to CMake; OSTRELLE_TARGETS names the targets (all if unset).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
for t in ${OSTRELLE_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
