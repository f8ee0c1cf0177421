#!/usr/bin/env bash
# Lays out the bundle beside the executable (AppDirectory):
#   Config/platform.x509.pem, platform.pk8, testkey.x509.pem, testkey.pk8
#                       the project's development key pairs (data/keys/),
#                       copied only when missing
# The program unpacks and signs in-process: no 7-Zip, no Java runtime and no
# signing tool.
# The sample package (samples/) is made by make-samples.sh.
#
#   layout-bundle.sh BUNDLE_DIR
#
# Cheap and idempotent: links are refreshed, and a file or directory that a
# user put in place of a link, or a key a user put there, is left alone.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 BUNDLE_DIR" >&2
  exit 2
fi
BUNDLE="$1"
mkdir -p "$BUNDLE/Config"

fail() {
  echo "layout-bundle: $*" >&2
  exit 1
}

# link TARGET LINK: points LINK at TARGET unless something other than a link
# is there already.
link() {
  local target="$1" name="$2"
  if [ -e "$name" ] && [ ! -L "$name" ]; then
    return 0
  fi
  ln -sfn "$target" "$name"
}

# Earlier layouts linked 7-Zip, a Java runtime and a signing jar; those links
# (and only links) go.
for stale in "$BUNDLE/Config/7za" "$BUNDLE/jre" "$BUNDLE/Config/signapk.jar"; do
  if [ -L "$stale" ]; then
    rm -f "$stale"
  fi
done

# Development key pairs: the project's own, kept in data/keys/ (the same on
# every machine), copied in with the private key readable by its owner only.
# A pair is copied only when both of its files are missing, or when it is one
# that earlier builds made on the spot (subject "CN = Corvane KEY development
# key"); a pair with one file missing is reported and left for the user to
# complete.
KEYS="$(cd "$(dirname "${BASH_SOURCE[0]}")/../data/keys" && pwd)"
command -v openssl >/dev/null || fail "openssl not found (run scripts/install-deps.sh)"
for key in platform testkey; do
  cert="$BUNDLE/Config/$key.x509.pem"
  pk8="$BUNDLE/Config/$key.pk8"
  [ -f "$KEYS/$key.x509.pem" ] && [ -f "$KEYS/$key.pk8" ] || fail "$KEYS lacks the $key pair"
  if [ -e "$cert" ] && [ -e "$pk8" ]; then
    subject="$(openssl x509 -in "$cert" -noout -subject 2>/dev/null || true)"
    [ "$subject" = "subject=CN = Corvane $key development key" ] || continue
  elif [ -e "$cert" ] || [ -e "$pk8" ]; then
    echo "layout-bundle: warning: $key key pair incomplete in $BUNDLE/Config; left as it is" >&2
    continue
  fi
  tmp="$(mktemp -d "$BUNDLE/Config/.keys.XXXXXX")"
  trap 'rm -rf "$tmp"' EXIT
  cp "$KEYS/$key.pk8" "$tmp/key.pk8"
  cp "$KEYS/$key.x509.pem" "$tmp/cert.pem"
  chmod 600 "$tmp/key.pk8"
  chmod 644 "$tmp/cert.pem"
  mv "$tmp/key.pk8" "$pk8"
  mv "$tmp/cert.pem" "$cert"
  rm -rf "$tmp"
  trap - EXIT
  echo "layout-bundle: copied the development $key key pair"
done
