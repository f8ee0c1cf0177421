#!/usr/bin/env bash
# Lays out the bundle beside the executable (AppDirectory):
#   Config/7za          link to the system's 7-Zip extractor
#   Config/platform.x509.pem, platform.pk8, testkey.x509.pem, testkey.pk8
#                       development key pairs, made only when missing
# The program signs in-process: no Java runtime and no signing tool.
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

sevenza="$(command -v 7za || true)"
[ -n "$sevenza" ] || fail "7za not found (run scripts/install-deps.sh)"
link "$sevenza" "$BUNDLE/Config/7za"

# Earlier layouts linked a Java runtime and a signing jar; those links (and
# only links) go.
for stale in "$BUNDLE/jre" "$BUNDLE/Config/signapk.jar"; do
  if [ -L "$stale" ]; then
    rm -f "$stale"
  fi
done

# Development key pairs: RSA 2048, X.509 PEM certificate, unencrypted PKCS#8
# DER private key. A pair is made only when both of its files are missing;
# a pair with one file missing is reported and left for the user to complete.
command -v openssl >/dev/null || fail "openssl not found (run scripts/install-deps.sh)"
for key in platform testkey; do
  cert="$BUNDLE/Config/$key.x509.pem"
  pk8="$BUNDLE/Config/$key.pk8"
  if [ -e "$cert" ] && [ -e "$pk8" ]; then
    continue
  fi
  if [ -e "$cert" ] || [ -e "$pk8" ]; then
    echo "layout-bundle: warning: $key key pair incomplete in $BUNDLE/Config; left as it is" >&2
    continue
  fi
  tmp="$(mktemp -d "$BUNDLE/Config/.keygen.XXXXXX")"
  trap 'rm -rf "$tmp"' EXIT
  openssl req -x509 -newkey rsa:2048 -nodes -days 10950 -sha256 \
    -subj "/CN=Corvane $key development key" \
    -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
  openssl pkcs8 -topk8 -nocrypt -inform PEM -outform DER -in "$tmp/key.pem" -out "$tmp/key.pk8"
  chmod 600 "$tmp/key.pk8"
  mv "$tmp/key.pk8" "$pk8"
  mv "$tmp/cert.pem" "$cert"
  rm -rf "$tmp"
  trap - EXIT
  echo "layout-bundle: made the development $key key pair"
done
