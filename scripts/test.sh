#!/usr/bin/env bash
# Builds the project and runs every check: the test suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, a short run of each fuzz harness, and last the whole test
# suite in the normal build (warnings are errors there), then the Python
# package's tests against that build.
#   KR2270_QUICK=1  only the normal build and its tests
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/build-env.sh
if [ "${KR2270_QUICK:-0}" != 1 ]; then
  scripts/ci-sanitizers.sh
  scripts/fuzz-smoke.sh
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKR2270_WERROR=ON >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
scripts/test-python.sh build
