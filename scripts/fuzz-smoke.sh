#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang) and runs each one briefly from its
# seed corpus: 1,000,000 inputs or 60 seconds, whichever comes first. A
# crash, a sanitizer report or a broken rule fails the run; the input that
# caused it is left in the work directory as crash-* / leak-* / timeout-*.
#
# Environment:
#   KR2270_FUZZ_DIR   build directory (default build-fuzz under the repository)
#   KR2270_FUZZ_RUNS  inputs per harness (default 1000000)
#   KR2270_FUZZ_TIME  seconds per harness (default 60)
# Arguments: harness names to run (default: every fuzz/*_fuzz.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${KR2270_FUZZ_DIR:-$root/build-fuzz}
runs=${KR2270_FUZZ_RUNS:-1000000}
seconds=${KR2270_FUZZ_TIME:-60}

CC=clang CXX=clang++ cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKR2270_FUZZ=ON -DKR2270_SANITIZE=address,undefined -DKR2270_WERROR=OFF -DKR2270_BUILD_TESTS=OFF \
  -DKR2270_BUILD_TOOLS=OFF -DKR2270_BUILD_BENCH=OFF -DKR2270_BUILD_EXAMPLES=OFF >/dev/null

if [ $# -gt 0 ]; then
  harnesses=("$@")
else
  harnesses=()
  for source in fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$source" .cpp)"); done
fi
cmake --build "$build" -j 2 --target "${harnesses[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for harness in "${harnesses[@]}"; do
  name=${harness%_fuzz}
  echo "== $harness: up to $runs inputs or ${seconds} s"
  # New inputs go to a scratch directory; the committed seeds stay as they are.
  mkdir -p "$work/$name"
  "$build/fuzz/$harness" -runs="$runs" -max_total_time="$seconds" \
    -artifact_prefix="$root/" -print_final_stats=1 "$work/$name" "fuzz/corpus/$name" \
    2>"$work/$name.log" || { tail -n 60 "$work/$name.log"; echo "== $harness FAILED"; exit 1; }
  grep -E '^(Done|stat::number_of_executed_units)' "$work/$name.log" || true
done
echo "== fuzz smoke clean"
