#!/usr/bin/env bash
# Builds Corvane with its tests under AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer into build-asan/ beside the sources, and runs
# every test headless. The first finding stops the test it is in, which then
# fails. Exits non-zero when the build or a test fails.
#
#   test-sanitizers.sh [CTEST_ARGUMENT...]   e.g. -R '^tst_Cli$'
#
# The tools the tests drive (7-Zip, Java, aapt) are not instrumented.
# scripts/lsan.supp lists leaks reported inside system libraries that are not
# ours; a leak in our code is never suppressed there.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-asan"

SANITIZE="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=g++ \
  "${launcher[@]}" \
  -DCMAKE_CXX_FLAGS="$SANITIZE" \
  -DCMAKE_EXE_LINKER_FLAGS="$SANITIZE" \
  -DCMAKE_SHARED_LINKER_FLAGS="$SANITIZE" \
  -DCORVANE_BUILD_TESTS=ON \
  -DCORVANE_BUILD_FUZZ=OFF
cmake --build "$BUILD"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd "$BUILD"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --no-tests=error "$@"
