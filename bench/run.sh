#!/usr/bin/env bash
# Builds the benchmark, writes the synthetic packages it needs (once; they are
# kept for the next run) and runs it. See bench/README.md.
#
#   bench/run.sh [--sizes 600,1500] [--rounds 5] [--list-apks 3000] [--timeout SECONDS]
#                [--only KEY[,KEY]]
#
# --only runs only the named rows: open, info, add, delete, replace, sign-apk,
# save-signapk, save-copy, check, onepass, list.
# --timeout ends a run (program or baseline) that takes longer; it counts as failed.
#
# Environment: CORVANE_BENCH_DATA (default /work/bench-data) holds the
# packages, a bundle, the workspaces and the results; CORVANE_BENCH_BUILD
# (default build-bench in the repository) is the build directory.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DATA="${CORVANE_BENCH_DATA:-/work/bench-data}"
BUILD="${CORVANE_BENCH_BUILD:-$ROOT/build-bench}"
SIZES=600,1500
ROUNDS=5
LIST_APKS=3000
TIMEOUT=3600
ONLY=
while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) SIZES="$2"; shift 2 ;;
    --rounds) ROUNDS="$2"; shift 2 ;;
    --list-apks) LIST_APKS="$2"; shift 2 ;;
    --timeout) TIMEOUT="$2"; shift 2 ;;
    --only) ONLY="$2"; shift 2 ;;
    *) echo "usage: $0 [--sizes 600,1500] [--rounds 5] [--list-apks 3000] [--timeout SECONDS] [--only KEY[,KEY]]" >&2; exit 2 ;;
  esac
done

# The list row alone uses the list package.
if [ -n "$ONLY" ] && ! [[ ",$ONLY," == *",list,"* ]]; then
  LIST_APKS=0
fi

for tool in cmake ninja 7za zip java aapt openssl sha256sum find; do
  command -v "$tool" >/dev/null || { echo "run.sh: '$tool' not found (run scripts/install-deps.sh test)" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "run.sh: /usr/bin/time not found (run scripts/install-deps.sh test)" >&2; exit 1; }

# Disk: each size needs about six times its package (the package, the master
# tree and archive, the program's and the baseline's copies, 7-Zip's tree).
need_mb=$(( $(echo "$SIZES" | tr ',' '\n' | awk '{ if ($1 > m) m = $1; s += $1 } END { print s + 6 * m }') + 200 ))
mkdir -p "$DATA"
free_mb=$(df -Pm "$DATA" | awk 'NR == 2 { print $4 }')
if [ "$free_mb" -lt "$need_mb" ]; then
  echo "run.sh: $DATA has $free_mb MB free; about $need_mb MB are needed" >&2
  exit 1
fi

# Build only the benchmark's targets.
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_BUILD_BENCH=ON -DCORVANE_BUILD_TESTS=OFF >/dev/null
fi
ninja -C "$BUILD" bench_MakePackages bench_Operations >/dev/null
MAKE="$BUILD/bench/bench_MakePackages"

# A bundle of its own: a link to the system's 7-Zip, keys. (The baseline runs
# the system's signapk.)
bash "$ROOT/scripts/layout-bundle.sh" "$DATA/bundle"

# The packages; each is written under a temporary name, so one that exists is
# complete.
PKG="$DATA/packages"
# Packages of another version of the generator are written again.
stamp="$(sha256sum <"$ROOT/bench/bench_MakePackages.cpp" | cut -c1-16)"
if [ "$(cat "$PKG/generator.stamp" 2>/dev/null || true)" != "$stamp" ]; then
  rm -rf "$PKG"
fi
mkdir -p "$PKG/replace"
printf '%s\n' "$stamp" >"$PKG/generator.stamp"
if [ ! -f "$PKG/BenchNative.apk" ]; then
  # signapk needs a compiled manifest: aapt makes one.
  tmp="$(mktemp -d "$DATA/.manifest.XXXXXX")"
  trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$tmp/raw"
  printf '<manifest package="com.corvane.bench.nativelibs"><application/></manifest>\n' \
    >"$tmp/AndroidManifest.xml"
  aapt package -f -M "$tmp/AndroidManifest.xml" -F "$tmp/base.apk" "$tmp/raw" >/dev/null
  "$MAKE" addapk "$PKG/BenchNative.apk" "$tmp/base.apk" 30 >/dev/null
  rm -rf "$tmp"
  trap - EXIT
fi
[ -f "$PKG/replace/logo.img" ] || "$MAKE" image "$PKG/replace/logo.img" 50 >/dev/null
for size in ${SIZES//,/ }; do
  if [ ! -f "$PKG/package-$size.zip" ]; then
    echo "Writing the $size MB package..." >&2
    "$MAKE" package "$PKG/package-$size.zip" "$size" >/dev/null
  fi
done
if [ "$LIST_APKS" -gt 0 ] && [ ! -f "$PKG/list-$LIST_APKS.zip" ]; then
  "$MAKE" listpackage "$PKG/list-$LIST_APKS.zip" "$LIST_APKS" >/dev/null
fi

results="$DATA/results-$(date +%Y%m%d-%H%M%S).md"
"$BUILD/bench/bench_Operations" --data "$DATA" --bundle "$DATA/bundle" --sizes "$SIZES" \
  --rounds "$ROUNDS" --list-apks "$LIST_APKS" --timeout "$TIMEOUT" --results "$results" \
  ${ONLY:+--only "$ONLY"}
echo "Results: $results" >&2
