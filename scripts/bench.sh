#!/usr/bin/env bash
# Builds the benchmark and runs the whole suite (under 10 minutes, and the
# scale rows as long again on a quiet machine), printing one table: figure,
# anchor, ratio, goal, pass or short, then the Python package's rows
# (python/bench/bench_python.py) and the scale rows (bench_scale.py). The tables are also
# written to build-bench/bench-results.md. Extra arguments go to kr2270-bench
# (--quick for a short smoke run, --only SECTIONS, --help).
#
# The machine should be quiet: figures are ratios to anchors measured in the
# same run, but a busy machine still bends them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build="${KR2270_BENCH_BUILD:-build-bench}"
# -O2 and no -march=native: the figures are those of the portable build.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKR2270_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target kr2270-bench kr2270-sim kr2270-py-reference
load=$(cut -d' ' -f1 /proc/loadavg)
if awk -v l="$load" 'BEGIN { exit !(l > 1.5) }'; then
  echo "bench.sh: load average $load: other work is running, figures will be noisy" >&2
fi
mkdir -p "$build/bench-tmp"
# It exits 1 when a figure falls short of its goal: the Python rows still run.
status=0
"$build/bench/kr2270-bench" --tmp "$build/bench-tmp" --out "$build/bench-results.md" "$@" || status=$?

# The Python package against the same work in C, appended to the table.
seconds=30
for arg in "$@"; do [ "$arg" = --quick ] && seconds=3; done
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
PYTHONPATH="$PWD/python" KR2270C_LIBRARY="$PWD/$build/libkr2270c.so.1" \
  "$python" python/bench/bench_python.py --seconds "$seconds" \
  --reference "$build/python/c_reference" --out "$build/bench-results.md"

# The scale rows: 16 recordings of 60 s at 256000 groups/s (14.3 GB, written
# under the build tree and removed after) on a LocalCluster of 2 workers.
scale=(--recordings 16 --seconds 60)
for arg in "$@"; do [ "$arg" = --quick ] && scale=(--recordings 2 --seconds 4); done
mkdir -p "$build/bench-tmp/scale"
PYTHONPATH="$PWD/python" "$python" python/bench/bench_scale.py "${scale[@]}" \
  --dir "$build/bench-tmp/scale" --out "$build/bench-results.md"
exit "$status"
