#!/usr/bin/env bash
# Installs the missing system packages, builds Corvane, lays out the bundle
# in build/bundle/ and starts the program from it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$ROOT/scripts/install-deps.sh" build
# Without the test dependencies the build leaves the tests out.
if ! pkg-config --exists libzip 2>/dev/null; then
  export CORVANE_BUILD_TESTS=OFF
fi
bash "$ROOT/scripts/build.sh" corvane_bundle
exec "$ROOT/build/bundle/Corvane"
