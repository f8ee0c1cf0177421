#!/usr/bin/env bash
# The Debian package, installed into a fresh root and run from there:
#   - the package holds the programs, keys, sample, desktop entry, icons,
#     AppStream metadata and man pages, and these validate;
#   - it names e2fsprogs, and neither 7-Zip nor Java, among its dependencies, and no MIME type
#     (it must not become the handler of every ZIP file);
#   - with the root read-only, corvane-cli edits the shipped sample with the
#     shipped keys, and the window starts with its workspace and lock in the
#     user's data folder ($XDG_DATA_HOME/corvane), nothing written under the
#     root.
#
#   tst_InstalledPackage.sh BUILD_DIR     (Corvane, corvane-cli, the bundle
#                                          and the icons built there)
set -euo pipefail
BUILD="$(cd "$1" && pwd)"
SOURCE="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/tst_InstalledPackage.XXXXXX")"
WINDOW_PID=""
# Ends the window with everything its start made (the whole process group:
# the shell that runs it read-only and the program itself), also when the
# test fails or is interrupted.
stop_window() {
  [ -n "$WINDOW_PID" ] || return 0
  kill -TERM -- "-$WINDOW_PID" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 -- "-$WINDOW_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL -- "-$WINDOW_PID" 2>/dev/null || true
  wait "$WINDOW_PID" 2>/dev/null || true
  WINDOW_PID=""
}
cleanup() {
  stop_window
  chmod -R u+w "$WORK" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The package, made in the work folder so that the build's own is untouched.
cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/pkg" >"$WORK/cpack.log" 2>&1 ||
  { cat "$WORK/cpack.log" >&2; fail "cpack failed"; }
deb="$(ls "$WORK"/pkg/corvane_*_*.deb)"
[[ "$(basename "$deb")" =~ ^corvane_[0-9.]+_[a-z0-9]+\.deb$ ]] || fail "package named $(basename "$deb")"

depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
[[ "$depends" != *7zip* ]] || fail "7-Zip is a dependency (the program unpacks in-process)"
[[ "$depends" == *e2fsprogs* ]] || fail "e2fsprogs (e2fsck for partition images) is not a dependency"
[[ "$depends" == *libqt6widgets6* ]] || fail "the Qt libraries are not dependencies"
if [[ "$depends" =~ java|jre|jdk|signapk ]]; then fail "Java is a dependency"; fi

ROOT="$WORK/root"
dpkg-deb -x "$deb" "$ROOT"
USR="$ROOT/usr"
for file in bin/Corvane bin/corvane-cli \
  share/corvane/keys/platform.x509.pem share/corvane/keys/platform.pk8 \
  share/corvane/keys/testkey.x509.pem share/corvane/keys/testkey.pk8 \
  share/corvane/samples/update.zip \
  share/applications/corvane.desktop share/metainfo/io.github.corvane.Corvane.metainfo.xml \
  share/icons/hicolor/scalable/apps/corvane.svg share/icons/hicolor/16x16/apps/corvane.png \
  share/icons/hicolor/256x256/apps/corvane.png \
  share/man/man1/Corvane.1.gz share/man/man1/corvane-cli.1.gz; do
  [ -f "$USR/$file" ] || fail "the package lacks /usr/$file"
done
# Man pages compressed with gzip -9n: no name or time in the header.
for page in "$USR"/share/man/man1/*; do
  [[ "$page" == *.gz ]] || fail "man page not compressed: $page"
  gzip -t "$page" || fail "man page not a gzip file: $page"
  [ "$(od -An -tx1 -j3 -N5 "$page" | tr -d ' ')" = 0000000000 ] ||
    fail "man page's gzip header keeps a name or time: $page"
done
# The development keys are the project's kept ones.
for key in platform.x509.pem platform.pk8 testkey.x509.pem testkey.pk8; do
  cmp -s "$USR/share/corvane/keys/$key" "$SOURCE/data/keys/$key" ||
    fail "the installed $key is not the kept development key"
done
[ ! -e "$USR/bin/Config" ] || fail "the package is laid out as a bundle"

desktop-file-validate "$USR/share/applications/corvane.desktop" || fail "desktop entry invalid"
if grep -q '^MimeType=' "$USR/share/applications/corvane.desktop"; then
  fail "the desktop entry claims a MIME type"
fi
appstreamcli validate --no-net "$USR/share/metainfo/io.github.corvane.Corvane.metainfo.xml" ||
  fail "AppStream metadata invalid"

# The user's folders: empty, in the work folder.
export HOME="$WORK/home" XDG_DATA_HOME="$WORK/home/data" XDG_CONFIG_HOME="$WORK/home/config"
export TMPDIR="$WORK/tmp" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$TMPDIR"

# run_read_only COMMAND...: runs COMMAND with the root read-only: a read-only
# bind mount in a mount namespace of its own when that is allowed (root
# ignores file modes), else the root's files made unwritable.
run_read_only() {
  if [ "$(id -u)" -eq 0 ]; then
    unshare --mount bash -c 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" && shift && exec "$@"' \
      _ "$ROOT" "$@"
  else
    chmod -R a-w "$ROOT"
    "$@"
  fi
}

# corvane-cli edits the shipped sample, signed with the shipped test key.
OUT="$WORK/out/edited.zip"
mkdir -p "$WORK/out"
run_read_only "$USR/bin/corvane-cli" edit "$USR/share/corvane/samples/update.zip" -o "$OUT" \
  --delete Gallery.apk --add-data "$USR/share/corvane/samples/add/Notes.apk" ||
  fail "corvane-cli edit failed"
[ -s "$OUT" ] || fail "corvane-cli wrote no package"
# The shipped test key signed it, and the installed program finds that key.
run_read_only "$USR/bin/corvane-cli" info --verify "$OUT" >"$WORK/info.txt" 2>&1 ||
  { cat "$WORK/info.txt" >&2; fail "corvane-cli info failed"; }
grep -q 'verifies with the test key' "$WORK/info.txt" ||
  { cat "$WORK/info.txt" >&2; fail "the saved package is not signed with the shipped test key"; }

# The window: started from the installed path, it takes its workspace in the
# user's data folder; its lock there shows it is up.
# (Job control puts the window's job in a process group of its own.)
set -m
run_read_only "$USR/bin/Corvane" >"$WORK/window.log" 2>&1 &
WINDOW_PID=$!
set +m
LOCK="$XDG_DATA_HOME/corvane/.corvane.lock"
for _ in $(seq 600); do
  [ -s "$LOCK" ] && break
  kill -0 "$WINDOW_PID" 2>/dev/null || { cat "$WORK/window.log" >&2; fail "the window ended at start"; }
  sleep 0.1
done
[ -s "$LOCK" ] || { cat "$WORK/window.log" >&2; fail "no workspace lock in $XDG_DATA_HOME/corvane"; }
# The workspace is private to the user: it holds unreleased firmware.
[ "$(stat -c %a "$XDG_DATA_HOME/corvane")" = 700 ] ||
  fail "the workspace $XDG_DATA_HOME/corvane is not private (mode $(stat -c %a "$XDG_DATA_HOME/corvane"))"
stop_window

written="$(find "$ROOT" -newer "$deb" ! -type d | head -5)"
[ -z "$written" ] || fail "written under the installed root: $written"
echo "PASS"
