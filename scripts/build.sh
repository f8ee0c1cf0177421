#!/usr/bin/env bash
# Configures and builds Corvane (Release, Ninja) into build/ beside the
# sources; the bundle is laid out in build/bundle/.
#
#   build.sh [TARGET...]     default: everything, tests included
#
# CORVANE_BUILD_TESTS=OFF configures without the tests (and without their
# dependencies: scripts/install-deps.sh build is enough); ON puts them back.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"

# A build directory configured with another generator cannot be reused.
if [ -f "$BUILD/CMakeCache.txt" ] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$BUILD/CMakeCache.txt"; then
  rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
fi
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
options=()
if [ -n "${CORVANE_BUILD_TESTS:-}" ]; then
  options=("-DCORVANE_BUILD_TESTS=$CORVANE_BUILD_TESTS")
fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" "${options[@]}"
if [ $# -eq 0 ]; then
  cmake --build "$BUILD"
else
  cmake --build "$BUILD" --target "$@"
fi
