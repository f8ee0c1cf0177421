#!/usr/bin/env bash
# Installs the missing system packages, builds Corvane with its tests and runs
# every test headless. Exits non-zero when the build or a test fails.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$ROOT/scripts/install-deps.sh"
bash "$ROOT/scripts/build.sh"
cd "$ROOT/build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --no-tests=error
