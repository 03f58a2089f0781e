#!/usr/bin/env bash
# Builds the kr2270 wheel offline with Debian's setuptools and wheel,
# installs it into a fresh virtual environment that sees the system NumPy,
# h5py and matplotlib, and runs the quick start there against the simulated
# module the wheel carries: nothing from the source tree or the build is on
# any path. Last, the loader's error for a broken bundled library.
#
#   tests/wheel_test.sh [BUILD_DIR]   (a build of this tree to take the native
#                                      programs from; default: setup.py makes one)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/kr2270-wheel-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "wheel_test: $*" >&2
  exit 1
}

[[ $# -gt 0 ]] && export KR2270_BUILD_DIR=$(realpath "$1")
rm -rf python/build python/kr2270.egg-info
"$python" -m pip wheel --quiet --no-build-isolation --no-deps --no-index -w "$work/dist" python/ \
  >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "pip wheel failed"; }
rm -rf python/build python/kr2270.egg-info
wheel=$(ls "$work"/dist/kr2270-*.whl)
echo "wheel_test: built $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KiB)"
[[ $(basename "$wheel") == *-py3-none-linux_*.whl ]] || fail "not a platform wheel: $wheel"
contents=$("$python" -m zipfile -l "$wheel")  # whole: grep -q would break the pipe
for name in libkr2270c.so.1 kr2270-sim libmodbus.so.5; do
  grep -q "kr2270/_native/$name" <<<"$contents" || fail "$name is not in the wheel"
done

"$python" -m venv --system-site-packages "$work/venv"
venv_python=$work/venv/bin/python
"$venv_python" -m pip install --quiet --no-index "$wheel" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "pip install failed"; }

# Outside the tree, with nothing that points into it.
clean=(env -u KR2270C_LIBRARY -u KR2270_SIM -u KR2270_BUILD_DIR -u PYTHONPATH -u LD_LIBRARY_PATH
       MPLBACKEND=Agg)
cd "$work"
site=$("${clean[@]}" "$venv_python" -c "import kr2270, os; print(os.path.dirname(kr2270.__file__))")
[[ $site == "$work/venv/"* ]] || fail "kr2270 imported from $site, not from the environment"
paths=$("${clean[@]}" "$venv_python" -c "
import kr2270, kr2270._library as L
print(kr2270.find_library()); print(L.find_simulator()); print(kr2270.version())")
[[ $(sed -n 1p <<<"$paths") == "$site/_native/libkr2270c.so.1" ]] || fail "loads $(sed -n 1p <<<"$paths")"
[[ $(sed -n 2p <<<"$paths") == "$site/_native/kr2270-sim" ]] || fail "starts $(sed -n 2p <<<"$paths")"
libraries=$(ldd "$site/_native/kr2270-sim")
grep -q "libmodbus.so.5 => $site/_native/libmodbus.so.5" <<<"$libraries" ||
  fail "the bundled kr2270-sim does not take the libmodbus beside it"

"${clean[@]}" timeout 120 "$venv_python" "$root/python/examples/quickstart.py" "$work/out" \
  >"$work/quickstart.out" 2>&1 || { cat "$work/quickstart.out"; fail "the quick start failed"; }
cat "$work/quickstart.out"
[[ -s $work/out/run.h5 && -s $work/out/run.png ]] || fail "the quick start wrote no HDF5 or PNG"

# A bundled library that cannot be loaded: the error names it and says why.
echo "not a library" >"$site/_native/libkr2270c.so.1"
error=$("${clean[@]}" "$venv_python" -c "import kr2270; kr2270.version()" 2>&1) &&
  fail "a broken library loaded"
grep -q "cannot load the kr2270c library $site/_native/libkr2270c.so.1: .*\(invalid ELF header\|too short\)" \
  <<<"$error" || fail "unclear load error: $error"
echo "wheel_test: the wheel installs into a fresh environment and runs the quick start on its own"
