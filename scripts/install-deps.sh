#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# or, given package names, those instead (scripts/test-windows.sh does).
set -euo pipefail
packages=("$@")
[ ${#packages[@]} -gt 0 ] || packages=(build-essential cmake ninja-build pkg-config libgtest-dev libgmock-dev
          libbenchmark-dev libmodbus-dev libcli11-dev clang libclang-rt-14-dev strace ccache
          python3 python3-numpy python3-h5py python3-matplotlib python3-pytest hdf5-tools
          python3-xarray python3-h5netcdf
          libasio-dev chromium nodejs
          python3-pip python3-venv python3-setuptools python3-wheel
          doxygen python3-sphinx lintian dpkg-dev file)
missing=()
# The scope page's charting library comes from npm (the build runs npm ci):
# Debian's nodejs comes without npm, NodeSource's has it.
[ $# -gt 0 ] || command -v npm >/dev/null || packages+=(npm)
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
