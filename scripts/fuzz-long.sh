#!/usr/bin/env bash
# Runs each libFuzzer harness for 30 minutes (KR2270_FUZZ_TIME seconds) and
# merges what it found into the committed seed corpus (-merge=1 keeps only
# inputs that add coverage). Review and commit fuzz/corpus/ afterwards; turn
# every crash-* file into a tests/regression_*_test.cpp case.
#
# Environment: KR2270_FUZZ_DIR (default build-fuzz), KR2270_FUZZ_TIME (1800).
# Arguments: harness names to run (default: every fuzz/*_fuzz.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${KR2270_FUZZ_DIR:-$root/build-fuzz}
seconds=${KR2270_FUZZ_TIME:-1800}

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
status=0
for harness in "${harnesses[@]}"; do
  name=${harness%_fuzz}
  mkdir -p "$work/$name" "fuzz/corpus/$name"
  echo "== $harness: ${seconds} s"
  if ! "$build/fuzz/$harness" -max_total_time="$seconds" -artifact_prefix="$root/" \
       -print_final_stats=1 "$work/$name" "fuzz/corpus/$name" 2>"$work/$name.log"; then
    tail -n 60 "$work/$name.log"
    echo "== $harness FAILED (input kept as $root/crash-*)"
    status=1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$work/$name.log" || true
  before=$(ls "fuzz/corpus/$name" | wc -l)
  "$build/fuzz/$harness" -merge=1 "fuzz/corpus/$name" "$work/$name" 2>"$work/$name.merge.log"
  echo "   corpus: $before -> $(ls "fuzz/corpus/$name" | wc -l) files"
done
exit $status
