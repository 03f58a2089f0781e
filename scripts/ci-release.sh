#!/usr/bin/env bash
# The Release build and what is made from it: the reference docs (warnings
# are errors), the Debian package (lintian without errors), the wheel; then
# the wheel in a fresh virtual environment and the package installed with
# dpkg, built against, imported and purged (tests/wheel_test.sh,
# tests/deb_test.sh).
#   KR2270_RELEASE_BUILD  build folder (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KR2270_RELEASE_BUILD:-build-release}
echo "== Release build, reference docs and Debian package ($build)"
deb=$(KR2270_DEB_BUILD=$build scripts/package-deb.sh -DKR2270_WERROR=ON)
echo "== wheel"
tests/wheel_test.sh "$build"
echo "== Debian package"
tests/deb_test.sh "$deb"
