#!/usr/bin/env bash
# Configures and builds into build/ (or $OSTRELLE_BUILD_DIR) with any extra
# CMake arguments given.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
