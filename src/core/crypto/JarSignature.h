#pragma once

#include "core/crypto/SignerDigest.h"

#include <QByteArray>
#include <QMap>
#include <QString>

// The v1 (JAR) signature of an APK: META-INF/MANIFEST.MF, the signature file
// and its PKCS#7 block, as signapk writes them.

namespace signer {

// A manifest line as the signers write it: 70 bytes, then continuation lines
// of a space and 69 bytes.
void ManifestLine(QByteArray* out, const QByteArray& line);

// The main section of a JAR manifest: its attributes by name (continuation
// lines joined). False with the cause for a line that is not "Name: value".
bool ReadMainAttributes(const QByteArray& manifest, QMap<QByteArray, QByteArray>* attributes,
                        QString* error);

// Whether a member is a signature file of an earlier signature (left out).
bool IsSignatureFile(const QByteArray& name);

// The PKCS#7 SignedData of the v1 signature: the certificate and one signer
// that signs the .SF file directly.
QByteArray SignatureBlock(const SigningKey& key, Digest digest, const QByteArray& signature);

} // namespace signer
