#!/usr/bin/env bash
# Installs the missing system packages, then builds the Debian package
# build/corvane_<version>_<arch>.deb from the build in build/
# (scripts/build.sh): the programs, the bundle's development keys
# and sample, the icons, then CPack (cmake/Install.cmake).
#
#   package.sh            install it with: apt install ./build/corvane_*.deb
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"

bash "$ROOT/scripts/install-deps.sh" build
# Without the test dependencies the build leaves the tests out.
if ! pkg-config --exists libzip 2>/dev/null; then
  export CORVANE_BUILD_TESTS=OFF
fi
bash "$ROOT/scripts/build.sh" Corvane corvane-cli corvane_bundle corvane_icons corvane_man
cd "$BUILD"
cpack -G DEB --config "$BUILD/CPackConfig.cmake"
ls -1 "$BUILD"/corvane_*.deb
