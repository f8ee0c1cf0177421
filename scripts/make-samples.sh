#!/usr/bin/env bash
# Makes the sample firmware package of the bundle and the APK fixtures of the
# tests. APKs get a binary manifest compiled by aapt (signapk refuses an APK
# without one); archives are written by 7-Zip.
#
#   make-samples.sh SAMPLE_SOURCES SAMPLES_OUT TESTDATA_OUT WORK_DIR
#
# SAMPLES_OUT receives update.zip, add/*.apk and replace/logo.img;
# TESTDATA_OUT receives Plain.apk, NativeDemo.apk, NoManifest.apk and Foo.apk.
# Everything is built in WORK_DIR first and moved into place at the end, so a
# failed run leaves no half-made output behind.
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 SAMPLE_SOURCES SAMPLES_OUT TESTDATA_OUT WORK_DIR" >&2
  exit 2
fi
SRC="$(cd "$1" && pwd)"
SAMPLES_OUT="$2"
TESTDATA_OUT="$3"
WORK="$4"

for tool in aapt 7za truncate; do
  command -v "$tool" >/dev/null || { echo "make-samples: '$tool' not found (run scripts/install-deps.sh)" >&2; exit 1; }
done

rm -rf "$WORK"
mkdir -p "$WORK"
WORK="$(cd "$WORK" && pwd)"
OUT="$WORK/out"
mkdir -p "$OUT/samples/add" "$OUT/samples/replace" "$OUT/testdata"

# zip ARCHIVE DIR [MEMBER...]: a ZIP of the members of DIR (all of it when
# none are named), with their paths relative to DIR. Extra 7za switches may
# be given in ZIP_SWITCHES.
zip_dir() {
  local archive="$1" dir="$2"
  shift 2
  rm -f "$archive"
  if [ $# -eq 0 ]; then
    (cd "$dir" && 7za a -tzip -bso0 -bsp0 -y ${ZIP_SWITCHES:-} "$archive" -- *)
  else
    (cd "$dir" && 7za a -tzip -bso0 -bsp0 -y ${ZIP_SWITCHES:-} "$archive" -- "$@")
  fi
}

# native_lib FILE ABI NAME: a small stand-in for a shared library: an ELF
# header for the ABI's machine, then a line naming the library. Libraries of
# the same name differ between ABIs.
native_lib() {
  local file="$1" abi="$2" name="$3" class machine
  case "$abi" in
    arm64-v8a) class='\002' machine='\267\000' ;;
    x86) class='\001' machine='\003\000' ;;
    *) class='\001' machine='\050\000' ;;
  esac
  mkdir -p "$(dirname "$file")"
  {
    printf "\177ELF${class}\001\001\000\000\000\000\000\000\000\000\000"
    printf "\003\000${machine}\001\000\000\000"
    printf '%s for %s (sample build)\n' "$name" "$abi"
  } >"$file"
}

# The android attributes a manifest's version and SDK levels are written
# with, under their public resource IDs: a resource table of their own that
# aapt compiles the sample manifests against (-I), in place of an SDK.
ATTRS="$WORK/android-attrs"
mkdir -p "$ATTRS/res/values"
printf '<manifest package="android"><application/></manifest>\n' >"$ATTRS/AndroidManifest.xml"
cat >"$ATTRS/res/values/attrs.xml" <<'XML'
<resources>
  <attr name="minSdkVersion" format="integer|string"/>
  <attr name="targetSdkVersion" format="integer|string"/>
  <attr name="versionCode" format="integer"/>
  <attr name="versionName" format="string"/>
  <public type="attr" name="minSdkVersion" id="0x0101020c"/>
  <public type="attr" name="targetSdkVersion" id="0x01010270"/>
  <public type="attr" name="versionCode" id="0x0101021b"/>
  <public type="attr" name="versionName" id="0x0101021c"/>
</resources>
XML
aapt package -f -x -M "$ATTRS/AndroidManifest.xml" -S "$ATTRS/res" -F "$ATTRS.apk" >/dev/null

# Version and SDK levels of the next apk (sample_version sets them; the test
# fixtures carry none).
APK_VERSION=()
# sample_version CODE NAME MIN_SDK TARGET_SDK
sample_version() {
  APK_VERSION=(-I "$ATTRS.apk" --version-code "$1" --version-name "$2"
    --min-sdk-version "$3" --target-sdk-version "$4")
}

# apk OUT PACKAGE [ABI/PATH...]: an APK with a compiled manifest for PACKAGE,
# a classes.dex and a stand-in native library at lib/ABI/PATH for each
# further argument.
apk() {
  local out="$1" package="$2"
  shift 2
  local stage="$WORK/apk/$package"
  rm -rf "$stage"
  mkdir -p "$stage/raw"
  printf '<manifest package="%s"><application/></manifest>\n' "$package" >"$stage/AndroidManifest.xml"
  {
    printf 'dex\n035\000'
    printf 'classes of %s\n' "$package"
  } >"$stage/raw/classes.dex"
  local lib
  for lib in "$@"; do
    native_lib "$stage/raw/lib/$lib" "${lib%%/*}" "$(basename "$lib")"
  done
  mkdir -p "$(dirname "$out")"
  rm -f "$out"
  aapt package -f -M "$stage/AndroidManifest.xml" "${APK_VERSION[@]}" -F "$out" "$stage/raw" >/dev/null
}

# image FILE SIZE MAGIC [TEXT]: a partition image of SIZE bytes: the magic,
# an optional text, zeros up to the size.
image() {
  local file="$1" size="$2" magic="$3" text="${4:-}"
  {
    printf '%s' "$magic"
    [ -z "$text" ] || printf '%s\n' "$text"
  } >"$file"
  truncate -s "$size" "$file"
}

# --- The sample firmware package (Android 5.1.1) ---------------------------
PKG="$WORK/package"
mkdir -p "$PKG/system/lib" "$PKG/system/media" "$PKG/system/usr/keylayout" "$PKG/system/etc" \
  "$PKG/userdata/app"
cp "$SRC/build.prop" "$PKG/system/build.prop"
cp "$SRC/Vendor_0001_Product_0001.kl" "$PKG/system/usr/keylayout/"
cp "$SRC/key.xml" "$PKG/system/etc/"
cp -r "$SRC/META-INF" "$PKG/"

# system/app: the flat layout and the directory layout side by side.
sample_version 22 5.1.1-22 21 22
apk "$PKG/system/app/Music.apk" com.corvane.sample.music
sample_version 310 3.1 19 22
apk "$PKG/system/app/Gallery.apk" com.corvane.sample.gallery armeabi-v7a/libgallery_jni.so
sample_version 4200 42.0 21 22
apk "$PKG/system/app/Browser/Browser.apk" com.corvane.sample.browser \
  armeabi-v7a/libbrowser_jni.so arm64-v8a/libbrowser_jni.so
native_lib "$PKG/system/app/Browser/lib/arm/libbrowser_jni.so" armeabi-v7a libbrowser_jni.so
sample_version 205 2.0.5 21 22
apk "$PKG/system/app/LiveTV/LiveTV.apk" com.corvane.sample.livetv \
  armeabi-v7a/libtvplayer.so arm64-v8a/libtvplayer.so
mkdir -p "$PKG/system/app/LiveTV/oat/arm"
printf 'dey\n036\000LiveTV (sample build)\n' >"$PKG/system/app/LiveTV/oat/arm/LiveTV.odex"
# system/priv-app
sample_version 22 5.1.1-22 22 22
apk "$PKG/system/priv-app/Settings/Settings.apk" com.corvane.sample.settings
sample_version 1 1.0 19 22
apk "$PKG/system/priv-app/Launcher.apk" com.corvane.sample.launcher
# userdata/app
sample_version 12 1.2 16 21
apk "$PKG/userdata/app/Weather.apk" com.corvane.sample.weather
sample_version 30 3.0 19 22
apk "$PKG/userdata/app/Radio/Radio.apk" com.corvane.sample.radio armeabi-v7a/libradio.so
# system/lib
native_lib "$PKG/system/lib/libvendor_hal.so" armeabi-v7a libvendor_hal.so
native_lib "$PKG/system/lib/libpanel_keys.so" armeabi-v7a libpanel_keys.so
native_lib "$PKG/system/lib/libtvplayer.so" armeabi-v7a libtvplayer.so

# Boot animation: frames are stored uncompressed, as the device reads them.
mkdir -p "$WORK/bootanimation"
cp -r "$SRC/bootanimation/." "$WORK/bootanimation/"
ZIP_SWITCHES=-mx=0 zip_dir "$PKG/system/media/bootanimation.zip" "$WORK/bootanimation" desc.txt frames

# The eight partition images at the archive root.
image "$PKG/logo.img" 8192 "LOGO" "SampleBox start-up logo"
image "$PKG/fastplay.img" 8192 "FASTPLAY" "SampleBox start-up video"
image "$PKG/bootargs.img" 4096 "" \
  "bootargs=console=ttyS0,115200 root=/dev/mmcblk0p9 rootfstype=ext4 rootwait androidboot.hardware=samplebox"
image "$PKG/baseparam.img" 4096 "BASEPARAM" "hdmi.format=1080p60 cvbs.format=pal screen.ratio=16:9"
image "$PKG/boot.img" 16384 "ANDROID!" "SampleBox kernel and ramdisk"
image "$PKG/fastboot.img" 8192 "FASTBOOT" "SampleBox boot loader"
image "$PKG/recovery.img" 16384 "ANDROID!" "SampleBox recovery kernel and ramdisk"
image "$PKG/pq_param.img" 4096 "PQPARAM" "brightness=50 contrast=50 saturation=50 hue=50"

ZIP_SWITCHES=-mx=9 zip_dir "$OUT/samples/update.zip" "$PKG"

# --- Files to try the Add and Replace commands with --------------------------
# Karaoke.apk holds one library for two ABIs: adding it asks before the second
# replaces the first.
sample_version 102 1.0.2 21 22
apk "$OUT/samples/add/Karaoke.apk" com.corvane.sample.karaoke \
  armeabi-v7a/libkaraoke.so arm64-v8a/libkaraoke.so
sample_version 7 0.7 16 22
apk "$OUT/samples/add/Notes.apk" com.corvane.sample.notes
image "$OUT/samples/replace/logo.img" 8192 "LOGO" "Replacement start-up logo"

# --- Test fixtures -----------------------------------------------------------
APK_VERSION=()
apk "$OUT/testdata/Plain.apk" com.corvane.fixture.plain
apk "$OUT/testdata/NativeDemo.apk" com.corvane.fixture.nativedemo \
  armeabi-v7a/libdemo.so arm64-v8a/libdemo.so arm64-v8a/deep/libdeep.so
apk "$OUT/testdata/Foo.apk" com.corvane.fixture.foo
mkdir -p "$WORK/nomanifest/res/raw"
printf 'dex\n035\000classes without a manifest\n' >"$WORK/nomanifest/classes.dex"
printf 'not an application\n' >"$WORK/nomanifest/res/raw/readme.txt"
zip_dir "$OUT/testdata/NoManifest.apk" "$WORK/nomanifest" classes.dex res

# --- Into place -----------------------------------------------------------
mkdir -p "$SAMPLES_OUT" "$TESTDATA_OUT"
rm -rf "$SAMPLES_OUT/add" "$SAMPLES_OUT/replace"
cp -r "$OUT/samples/." "$SAMPLES_OUT/"
cp "$OUT/testdata/"* "$TESTDATA_OUT/"
