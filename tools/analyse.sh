#!/usr/bin/env bash
# The include layers (tools/checklayers.py), clang-tidy (checks in .clang-tidy)
# and cppcheck over the project's own code;
# fails on any finding. Needs a configured build for compile_commands.json.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${OSTRELLE_BUILD_DIR:-$here/build}
for p in clang-tidy cppcheck; do
  if ! command -v "$p" >/dev/null; then
    as_root=(); [ "$(id -u)" -ne 0 ] && as_root=(sudo)
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "$p"
  fi
done
cd "$here"
# The arrows between folders first: it takes a second and says the most.
python3 tools/checklayers.py
[ -f "$dir/compile_commands.json" ] || bash "$here/tools/build.sh"
# The tests too: their fakes, pseudo-terminal pairs and threads are code that
# can be wrong like any other. The Windows sources and the Wine tests are not
# in this build's compile database.
files=$(git ls-files 'serial/*.cpp' 'protocol/*.cpp' 'transfer/*.cpp' 'activity/*.cpp' 'audio/*.cpp' 'config/*.cpp' 'control/*.cpp' 'station/*.cpp' 'cli/*.cpp' 'panel/*.cpp' 'app/*.cpp' 'sim/*.cpp' \
  'bench/*.cpp' 'tests/*.cpp' | grep -v -e '_win\.cpp$' -e '^tests/wine/')
echo "== clang-tidy over $(echo "$files" | wc -l) files"
# shellcheck disable=SC2086
run-clang-tidy -quiet -p "$dir" -j "$(nproc)" $files 2>&1 | sed 's/\x1b\[[0-9;]*m//g' \
  | grep -E "(error|warning):" | sort -u >"$dir/clang-tidy.log" || true
if [ -s "$dir/clang-tidy.log" ]; then
  cat "$dir/clang-tidy.log"
  exit 1
fi
echo "== cppcheck"
cppcheck --quiet --enable=warning,performance,portability --std=c++20 --error-exitcode=1 \
  --library=qt --library=googletest --suppress=missingIncludeSystem -j "$(nproc)" \
  -I . -I tests/support \
  serial protocol transfer activity audio config control station cli panel app sim bench tests
echo "analysers clean"
