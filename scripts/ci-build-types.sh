#!/usr/bin/env bash
# Builds the library, the tool, the simulator and the examples (warnings are
# errors) in the build types and with the compilers that the other stages do
# not build: by default GCC Debug and MinSizeRel (the normal build is
# RelWithDebInfo, the package build Release) and Clang Release (the fuzz
# build is Clang RelWithDebInfo, of the library); other pairs on request:
# each costs CI about three minutes.
#   KR2270_BUILD_TYPES  "COMPILER:TYPE ..." to build instead (COMPILER gcc or clang)
set -euo pipefail
cd "$(dirname "$0")/.."
types=${KR2270_BUILD_TYPES:-gcc:Debug gcc:MinSizeRel clang:Release}
for item in $types; do
  compiler=${item%%:*}
  type=${item#*:}
  case $compiler in
    gcc) cc=gcc cxx=g++ ;;
    clang) cc=clang cxx=clang++ ;;
    *) echo "ci-build-types.sh: unknown compiler '$compiler'" >&2; exit 2 ;;
  esac
  dir=build-ci-$compiler-$type
  echo "== $compiler $type ($dir)"
  CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKR2270_WERROR=ON \
    -DKR2270_BUILD_TESTS=OFF -DKR2270_BUILD_BENCH=OFF -DKR2270_INSTALL_PYTHON=OFF >/dev/null
  cmake --build "$dir" -j2 >"$dir.log" 2>&1 || { tail -n 60 "$dir.log"; echo "== $compiler $type FAILED"; exit 1; }
done
echo "== build types clean: $types"
