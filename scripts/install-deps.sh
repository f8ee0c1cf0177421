#!/usr/bin/env bash
# Installs every Debian 12 package the build, the bundle and the tests need.
# Only missing packages are installed; sudo is used when not running as root.
set -euo pipefail

PACKAGES=(
  # Build: C++20 compiler, CMake, Ninja, Qt 6, libzip; formatting.
  build-essential cmake ninja-build pkg-config clang-format
  # Fuzzing (scripts/fuzz.sh): clang and its libFuzzer and sanitizer runtimes.
  clang libclang-rt-14-dev
  qt6-base-dev libzip-dev libssl-dev
  # Tools the program drives from its bundle, and those that make the sample
  # package and the test APKs.
  7zip p7zip-full aapt openssl
  # Test peers only: the tests check the in-process signing against them.
  default-jre-headless signapk apksigner
  # A real system APK the APK signer is checked on against signapk.
  android-framework-res
  # The benchmark (bench/): the peak memory of each run (zip is listed below).
  time
  # Installing: the icons rendered from their SVG, the Debian package's
  # library dependencies, the checks of its desktop entry and metadata.
  librsvg2-bin dpkg-dev desktop-file-utils appstream
  # Running without a desktop (screenshots, the start check) and fonts.
  xvfb xauth fonts-dejavu-core
  # Independent ZIP readers the archive tests check every archive with.
  unzip zip android-libziparchive-dev android-libbase-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: not root and sudo is missing; install as root: ${missing[*]}" >&2
    exit 1
  fi
  SUDO=(sudo)
fi

echo "Installing: ${missing[*]}"
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
