#!/usr/bin/env bash
# Installs the Debian 12 packages Corvane needs, only those missing.
#
#   install-deps.sh [build|test]
#
#   build   (default) what building, running and packaging need: the compiler,
#           Qt 6, OpenSSL, zlib, 7-Zip, aapt (the sample APKs), the icons'
#           renderer and the Debian packaging tools;
#   test    the above, and what the tests, the sanitizer builds, the fuzz
#           targets and the benchmark need (peers, Java, clang, Xvfb, ...).
#
# As root it installs directly; as a user through sudo, else su (which asks
# for root's password). With nothing missing it needs neither.
set -euo pipefail

what="${1:-build}"

BUILD_PACKAGES=(
  # The compiler, CMake, Ninja, Qt 6, OpenSSL and zlib.
  build-essential cmake ninja-build pkg-config qt6-base-dev libssl-dev zlib1g-dev
  # Brotli: partition images carried as .new.dat.br.
  libbrotli-dev
  # Running the window: Qt's platform plugins and a font.
  qt6-qpa-plugins fonts-dejavu-core
  # What makes the sample package: 7-Zip (its ZIPs; the program itself does
  # not use it), aapt (compiled manifests), openssl.
  7zip p7zip-full aapt openssl
  # ext4 images of partitions: libext2fs and libselinux (labels from an
  # image's file_contexts), e2fsprogs (the e2fsck check of every image).
  libext2fs-dev libselinux1-dev e2fsprogs
  # Packaging (scripts/package.sh): the icons rendered from their SVG, the
  # Debian package's library dependencies (dpkg-shlibdeps, which needs file).
  librsvg2-bin dpkg-dev file
)
TEST_PACKAGES=(
  # Formatting and fuzzing (scripts/fuzz.sh): clang and its libFuzzer and
  # sanitizer runtimes.
  clang-format clang libclang-rt-14-dev
  # The ZIP fixtures of the tests and the benchmark.
  libzip-dev
  # Test peers only: the tests check the in-process signing against them
  # (jarsigner, from the JDK, judges the APK signer's v1 signatures).
  default-jre-headless signapk apksigner openjdk-17-jdk-headless
  # A real system APK the APK signer is checked on against signapk.
  android-framework-res
  # The benchmark (bench/): the peak memory of each run.
  time
  # The installed package's test: the checks of its desktop entry and metadata.
  desktop-file-utils appstream
  # Running without a desktop (screenshots, the start check).
  xvfb xauth
  # Partition image fixtures and their peer checks: img2simg and simg2img,
  # Debian's brotli.
  android-sdk-libsparse-utils brotli
  # Independent ZIP readers the archive tests check every archive with.
  unzip zip android-libziparchive-dev android-libbase-dev
)

case "$what" in
  build) PACKAGES=("${BUILD_PACKAGES[@]}") ;;
  test) PACKAGES=("${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *)
    echo "usage: $0 [build|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
elif command -v sudo >/dev/null; then
  sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "install-deps: not root and no sudo: su asks for root's password" >&2
  su root -c "DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends ${missing[*]}"
fi
