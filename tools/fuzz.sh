#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 60) from its kept corpus. A crash leaves its input in build-fuzz/crashes/;
# once mended, copy it into tests/fuzz/corpus/<target>/ as a regression case.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
dir=$here/build-fuzz
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q "ok installed"; then
  as_root=(); [ "$(id -u)" -ne 0 ] && as_root=(sudo)
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev
fi
CC=clang CXX=clang++ cmake -S "$here" -B "$dir" -DOSTRELLE_FUZZ=ON -DOSTRELLE_GUI=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=$(cd "$here/tests/fuzz/corpus" && ls)
for t in $targets; do
  cmake --build "$dir" -j"$(nproc)" --target "$t" >/dev/null
done
mkdir -p "$dir/crashes"
for t in $targets; do
  work=$(mktemp -d)
  echo "== $t for ${seconds}s"
  status=0
  "$dir/$t" -max_total_time="$seconds" -print_final_stats=0 -artifact_prefix="$dir/crashes/$t-" \
    "$work" "$here/tests/fuzz/corpus/$t" >"$work.log" 2>&1 || status=$?
  grep -E "^(Done|==[0-9]+==ERROR|SUMMARY)" "$work.log" || true
  rm -rf "$work" "$work.log"
  [ "$status" -eq 0 ] || { echo "$t found a fault; the input is in $dir/crashes"; exit 1; }
done
