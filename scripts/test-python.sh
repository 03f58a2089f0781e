#!/usr/bin/env bash
# Runs the Python package's tests against a build tree (default build/) with
# Debian's python3, which has the Debian NumPy, h5py and matplotlib.
#   scripts/test-python.sh [BUILD_DIR] [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
cmake --build "$build" --target kr2270c kr2270-sim kr2270-py-reference -j2 >/dev/null
export KR2270C_LIBRARY="$PWD/$build/libkr2270c.so.1" KR2270_BUILD_DIR="$PWD/$build"
export PYTHONPATH="$PWD/python" MPLBACKEND=Agg
status=0
"$python" -m pytest -p no:cacheprovider -q -rs python/tests "$@" || status=$?
# Exit status 5 means that no test was collected: that is a failure here.
if [ "$status" -eq 5 ]; then
  echo "test-python.sh: pytest collected no tests" >&2
  exit 1
fi
exit "$status"
