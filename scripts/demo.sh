#!/usr/bin/env bash
# Builds what is needed and runs the main job on the built-in simulated
# module: acquire, record, replay, check the replay, print the summary; then
# draws the replayed recording with the Python package and prints the PNG's
# path. Arguments go to `kr2270 demo` (--seconds, --rate).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kr2270 -j2
out=build/demo
rm -rf "$out"
status=0
build/tools/kr2270/kr2270 demo --keep "$out/rec" "$@" || status=$?
first=$(ls "$out"/rec/*_1.dat 2>/dev/null | head -n 1)
if [ -n "$first" ]; then
  python=/usr/bin/python3
  [ -x "$python" ] || python=$(command -v python3)
  PYTHONPATH="$PWD/python" KR2270C_LIBRARY="$PWD/build/libkr2270c.so.1" \
    "$python" -m kr2270 plot "$first" -o "$out/replay.png" >/dev/null
  echo "replay plot:     $PWD/$out/replay.png"
fi
exit "$status"
