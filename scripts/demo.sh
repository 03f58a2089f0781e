#!/usr/bin/env bash
# Builds what is needed and runs the main job on the built-in simulated
# module: acquire, record, replay, check the replay, print the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kr2270 -j2
exec build/tools/kr2270/kr2270 demo "$@"
