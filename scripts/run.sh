#!/usr/bin/env bash
# Installs the missing system packages, builds Corvane, lays out the bundle
# in build/bundle/ and starts the program from it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$ROOT/scripts/install-deps.sh"
bash "$ROOT/scripts/build.sh" corvane_bundle
exec "$ROOT/build/bundle/Corvane"
