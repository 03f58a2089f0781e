#!/usr/bin/env bash
# Builds the Debian package kr2270c_VERSION_ARCH.deb from the CMake install
# rules (CPack) in a Release build for /usr, with the HTML reference when
# doxygen and sphinx-build are there, and checks it with lintian: any error
# fails the run. The package's path is the only line on stdout (the build
# talks on stderr).
#   KR2270_DEB_BUILD  build folder (default build-deb)
#   extra arguments go to the CMake configure step
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KR2270_DEB_BUILD:-build-deb}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DKR2270_INSTALL_RPATH=OFF -DKR2270_BUILD_TESTS=OFF -DKR2270_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build" -j2 >&2
if command -v doxygen >/dev/null && command -v sphinx-build >/dev/null; then
  cmake --build "$build" --target docs >&2
fi
rm -f "$build"/kr2270c_*.deb
(cd "$build" && cpack -G DEB >cpack.log) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(ls "$build"/kr2270c_*.deb)
if command -v lintian >/dev/null; then
  # Errors fail; warnings are listed.
  lintian --fail-on error "$deb" >&2
fi
echo "$deb"
