#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/setup.sh" test
bash "$here/tools/build.sh"
export QT_QPA_PLATFORM=offscreen
cd "${OSTRELLE_BUILD_DIR:-$here/build}"
ctest --output-on-failure -j2 --timeout 600
