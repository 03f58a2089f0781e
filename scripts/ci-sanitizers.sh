#!/usr/bin/env bash
# Builds the test suite under AddressSanitizer + UndefinedBehaviorSanitizer and
# runs all of it, then builds it under ThreadSanitizer and runs the tests that
# involve more than one thread. Any sanitizer report fails the run.
#
# Environment:
#   KR2270_ASAN_DIR, KR2270_TSAN_DIR  build directories (default build-ci-asan,
#                                     build-ci-tsan under the repository)
#   KR2270_CI_JOBS                    parallel compile and test jobs (default 2)
#   KR2270_SKIP_ASAN=1, KR2270_SKIP_TSAN=1  run only one half
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

jobs=${KR2270_CI_JOBS:-2}
asan_dir=${KR2270_ASAN_DIR:-$root/build-ci-asan}
tsan_dir=${KR2270_TSAN_DIR:-$root/build-ci-tsan}

# Tests that start threads of their own or through the library (every Device
# has a receiver thread, every simulator and scripted peer serves from
# threads). Pure single-threaded parsing tests gain nothing under TSan.
tsan_tests='Stress|Faults|Misuse|Regression|Command|Device|Lifecycle|Receiver|Stream|Start|Acquisition|Record|Playback|Sim|Concurren'

# Warnings are the normal build's business: gcc's sanitizer instrumentation
# makes -Wsign-conversion see conversions of its own (shifts checked by
# UBSan), which must not stop a runtime check.
configure() {  # dir, sanitizers, extra cmake arguments...
  local dir=$1 sanitize=$2
  shift 2
  cmake -G Ninja -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKR2270_SANITIZE="$sanitize" -DKR2270_WERROR=OFF -DKR2270_BUILD_BENCH=OFF \
    -DKR2270_BUILD_EXAMPLES=OFF "$@" >/dev/null
}

# A report is fatal at once (halt_on_error / abort_on_error), so a test that
# triggers one fails and ctest's exit status carries it.
if [ "${KR2270_SKIP_ASAN:-0}" != 1 ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: build"
  # ctest's --timeout does not override a test's own limit: the build scales them.
  configure "$asan_dir" address,undefined -DKR2270_TEST_TIMEOUT_SCALE=4
  cmake --build "$asan_dir" -j "$jobs"
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer: all tests"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$asan_dir" --output-on-failure -j "$jobs"
  echo "== AddressSanitizer: the Python package closed and interrupted under a reader"
  # Python is not instrumented: the library's runtime is preloaded.
  asan_runtime=$(ldd "$asan_dir/libkr2270c.so.1" | awk '/libasan/ {print $3}')
  LD_PRELOAD="$asan_runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  KR2270C_LIBRARY="$asan_dir/libkr2270c.so.1" PYTHONPATH="$root/python" \
    /usr/bin/python3 -m pytest -p no:cacheprovider -q "$root/python/tests/test_misuse.py"
fi

if [ "${KR2270_SKIP_TSAN:-0}" != 1 ]; then
  echo "== ThreadSanitizer: build"
  configure "$tsan_dir" thread -DKR2270_BUILD_TOOLS=OFF -DKR2270_TEST_TIMEOUT_SCALE=6
  cmake --build "$tsan_dir" -j "$jobs"
  echo "== ThreadSanitizer: threaded tests"
  # KR2270_STRESS_LIGHT lowers the volume of the stress tests: TSan slows
  # memory traffic down by an order of magnitude, and the interleavings it
  # checks show up in the first rounds as well as in the last.
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 KR2270_STRESS_LIGHT=1 \
    ctest --test-dir "$tsan_dir" --output-on-failure -j "$jobs" -R "$tsan_tests"
fi
echo "== sanitizer runs clean"
