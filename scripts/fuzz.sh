#!/usr/bin/env bash
# Builds every fuzz target (fuzz/fuzz_*.cpp) with clang, libFuzzer and the
# address and undefined-behaviour sanitizers into build-fuzz/ beside the
# sources, then runs each for SECONDS from a copy of its seeds
# (fuzz/corpus/<Name>/). Exits non-zero when a target does not build or any
# target crashes, leaks, times out or runs out of memory, and names them.
#
#   fuzz.sh [SECONDS]      default 60 seconds a target
#
# Each run works in build-fuzz/runs/<Name>/: corpus/ (the seeds and the new
# inputs found), crash-* and the other failing inputs, and log.txt. The
# repository's corpus is never written; copy a crash found there into
# fuzz/corpus/<Name>/ once it is fixed (see fuzz/README.md).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-fuzz"
SECONDS_EACH="${1:-60}"

if ! [[ "$SECONDS_EACH" =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi
command -v clang++ >/dev/null || {
  echo "fuzz: clang++ not found (run scripts/install-deps.sh test)" >&2
  exit 1
}

# -O1 -g: fast enough to find much in a minute, lines in the stack traces;
# without NDEBUG so that assertions hold too.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_CXX_COMPILER=clang++ \
  "${launcher[@]}" \
  -DCORVANE_BUILD_TESTS=OFF \
  -DCORVANE_BUILD_BENCH=OFF \
  -DCORVANE_BUILD_FUZZ=ON >/dev/null
cmake --build "$BUILD" --target corvane_fuzz

targets=()
for source in "$ROOT"/fuzz/fuzz_*.cpp; do
  [ -e "$source" ] || continue
  name="$(basename "$source" .cpp)"
  targets+=("${name#fuzz_}")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets in $ROOT/fuzz" >&2
  exit 1
fi

# AddressSanitizer's quarantine of freed memory is bounded, so that the RSS
# limit below measures the input and not the harness: unbounded, it grows
# over hundreds of thousands of runs until a harmless input hits the limit.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32:malloc_context_size=8}"
export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

failed=()
for name in "${targets[@]}"; do
  program="$BUILD/fuzz/fuzz_$name"
  run="$BUILD/runs/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  if [ -d "$ROOT/fuzz/corpus/$name" ]; then
    cp -R "$ROOT/fuzz/corpus/$name/." "$run/corpus/"
  else
    echo "fuzz: warning: fuzz_$name has no seeds (fuzz/corpus/$name/)" >&2
  fi
  # Per-input bounds: an input that takes more than 5 s, or asks for more
  # than 256 MB at once, is a finding like a crash (a small input must not
  # cost minutes or gigabytes); the whole run stays below 1 GB.
  options=(-max_total_time="$SECONDS_EACH" -rss_limit_mb=1024 -malloc_limit_mb=256 -timeout=5
           -artifact_prefix="$run/artifacts/" -print_final_stats=1)
  if [ -f "$ROOT/fuzz/fuzz_$name.dict" ]; then
    options+=(-dict="$ROOT/fuzz/fuzz_$name.dict")
  fi
  echo "fuzz: fuzz_$name for ${SECONDS_EACH}s"
  status=0
  (cd "$run" && "$program" "${options[@]}" "$run/corpus") >"$run/log.txt" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    failed+=("$name")
    echo "fuzz: fuzz_$name FAILED (exit $status); log: $run/log.txt" >&2
    tail -n 60 "$run/log.txt" >&2
    for input in "$run"/artifacts/*; do
      [ -e "$input" ] && echo "fuzz: failing input: $input" >&2
    done
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$run/log.txt" |
      sed "s/^/fuzz:   /" || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: failed: ${failed[*]/#/fuzz_}" >&2
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran ${SECONDS_EACH}s without a finding"
