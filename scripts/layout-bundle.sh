#!/usr/bin/env bash
# Lays out the bundle: Config/7za, Config/signapk.jar, the four key files
# (made only when missing), jre, samples/update.zip.
set -euo pipefail
BUNDLE="$1"
mkdir -p "$BUNDLE/Config"
ln -sfn "$(command -v 7za)" "$BUNDLE/Config/7za"
ln -sfn /usr/share/signapk/signapk.jar "$BUNDLE/Config/signapk.jar"
JAVA_HOME_DIR="$(dirname "$(dirname "$(readlink -f "$(command -v java)")")")"
ln -sfn "$JAVA_HOME_DIR" "$BUNDLE/jre"
for key in platform testkey; do
  if [ ! -f "$BUNDLE/Config/$key.x509.pem" ] || [ ! -f "$BUNDLE/Config/$key.pk8" ]; then
    tmp="$(mktemp -d)"
    openssl req -x509 -newkey rsa:2048 -nodes -days 10950 -subj "/CN=Corvane $key (development)" \
      -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
    openssl pkcs8 -topk8 -nocrypt -inform PEM -outform DER -in "$tmp/key.pem" -out "$BUNDLE/Config/$key.pk8"
    cp "$tmp/cert.pem" "$BUNDLE/Config/$key.x509.pem"
    rm -rf "$tmp"
  fi
done
