#!/usr/bin/env bash
# Installs the missing system packages, then runs, in order:
#   1. the normal build (build/), then every test headless, then the Debian
#      package (build/corvane_<version>_<arch>.deb);
#   2. the same tests built with the address and undefined-behaviour
#      sanitizers (scripts/test-sanitizers.sh, build-asan/);
#   3. every fuzz target for 30 seconds from its seeds (scripts/fuzz.sh,
#      build-fuzz/).
# Every stage runs even when an earlier one failed, but for the normal build:
# when it fails nothing else is tried. Each stage's time is printed at the end.
# Exits non-zero when any stage fails.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

bash "$ROOT/scripts/install-deps.sh" test
export CORVANE_BUILD_TESTS=ON

summary=()
failed=0
# stage NAME COMMAND...: runs COMMAND, notes its time and whether it passed.
stage() {
  local name="$1" start=$SECONDS status=0
  shift
  echo "=== $name"
  "$@" || status=$?
  local took=$((SECONDS - start))
  if [ "$status" -eq 0 ]; then
    summary+=("$(printf '%-12s passed  %4dm%02ds' "$name" $((took / 60)) $((took % 60)))")
  else
    summary+=("$(printf '%-12s FAILED  %4dm%02ds' "$name" $((took / 60)) $((took % 60)))")
    failed=1
  fi
  return "$status"
}

report() {
  echo "=== Summary"
  printf '%s\n' "${summary[@]}"
}

if ! stage build bash "$ROOT/scripts/build.sh"; then
  report
  exit 1
fi
stage tests bash -c 'cd "$1" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --no-tests=error' \
  _ "$ROOT/build" || true
# The Debian package from that build (its test, tst_InstalledPackage, ran
# above): build/corvane_<version>_<arch>.deb.
stage package bash -c 'cd "$1" && cpack -G DEB --config CPackConfig.cmake' _ "$ROOT/build" || true
stage sanitizers bash "$ROOT/scripts/test-sanitizers.sh" || true
stage fuzz bash "$ROOT/scripts/fuzz.sh" 30 || true
report
exit "$failed"
