#include "core/crypto/JarSignature.h"

#include "core/base/ErrorText.h"

#include <QList>

#include <openssl/x509.h>

#include <algorithm>

namespace signer {

namespace {

// DER: a tag and its content.
QByteArray Der(unsigned char tag, const QByteArray& content) {
    QByteArray out(1, static_cast<char>(tag));
    const qsizetype n = content.size();
    if (n < 0x80) {
        out.append(static_cast<char>(n));
    } else {
        QByteArray len;
        for (qsizetype v = n; v > 0; v >>= 8)
            len.prepend(static_cast<char>(v & 0xff));
        out.append(static_cast<char>(0x80 | len.size()));
        out.append(len);
    }
    return out + content;
}
QByteArray DerOid(const char* hex) {
    return Der(0x06, QByteArray::fromHex(hex));
}
const QByteArray kDerNull = QByteArray::fromHex("0500");

} // namespace

void ManifestLine(QByteArray* out, const QByteArray& line) {
    qsizetype offset = 0;
    bool first = true;
    while (offset < line.size()) {
        qsizetype n;
        if (first) {
            n = std::min<qsizetype>(line.size() - offset, 70);
        } else {
            out->append("\r\n ");
            n = std::min<qsizetype>(line.size() - offset, 69);
        }
        out->append(line.constData() + offset, n);
        offset += n;
        first = false;
    }
    out->append("\r\n");
}

bool ReadMainAttributes(const QByteArray& manifest, QMap<QByteArray, QByteArray>* attributes,
                        QString* error) {
    QList<QByteArray> lines;
    qsizetype pos = 0;
    while (pos < manifest.size()) {
        qsizetype end = pos;
        while (end < manifest.size() && manifest[end] != '\r' && manifest[end] != '\n')
            ++end;
        const QByteArray line = manifest.mid(pos, end - pos);
        if (end < manifest.size() && manifest[end] == '\r' && end + 1 < manifest.size() &&
            manifest[end + 1] == '\n')
            ++end;
        pos = end + 1;
        if (line.isEmpty())
            break; // the end of the main section
        if (line.startsWith(' ') && !lines.isEmpty())
            lines.last().append(line.mid(1));
        else
            lines.append(line);
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(": ");
        if (colon <= 0)
            return Fail(error, QStringLiteral("META-INF/MANIFEST.MF: line %1 of the main section "
                                              "is not an attribute")
                                   .arg(i + 1));
        attributes->insert(lines[i].left(colon), lines[i].mid(colon + 2));
    }
    return true;
}

bool IsSignatureFile(const QByteArray& name) {
    if (!name.startsWith("META-INF/"))
        return false;
    const QByteArray rest = name.mid(9);
    if (rest.contains('/'))
        return false;
    if (rest == "MANIFEST.MF")
        return true;
    const QByteArray upper = rest.toUpper();
    return upper.endsWith(".SF") || upper.endsWith(".RSA") || upper.endsWith(".DSA") ||
           upper.endsWith(".EC");
}

QByteArray SignatureBlock(const SigningKey& key, Digest digest, const QByteArray& signature) {
    const QByteArray digestAlgorithm =
        Der(0x30, (digest == Digest::Sha1 ? DerOid("2b0e03021a") : DerOid("608648016503040201")) +
                      kDerNull);
    // The key's algorithm (EC public key or RSA encryption), with NULL
    // parameters for both, as signapk writes it.
    const QByteArray signatureAlgorithm = Der(
        0x30, (key.isEc() ? DerOid("2a8648ce3d0201") : DerOid("2a864886f70d010101")) + kDerNull);
    unsigned char* der = nullptr;
    int n = i2d_X509_NAME(X509_get_issuer_name(key.certificate()), &der);
    const QByteArray issuer(reinterpret_cast<const char*>(der), std::max(n, 0));
    OPENSSL_free(der);
    der = nullptr;
    n = i2d_ASN1_INTEGER(X509_get0_serialNumber(key.certificate()), &der);
    const QByteArray serial(reinterpret_cast<const char*>(der), std::max(n, 0));
    OPENSSL_free(der);
    const QByteArray one = QByteArray::fromHex("020101");
    const QByteArray signerInfo = Der(0x30, one + Der(0x30, issuer + serial) + digestAlgorithm +
                                                signatureAlgorithm + Der(0x04, signature));
    const QByteArray signedData =
        Der(0x30, one + Der(0x31, digestAlgorithm) + Der(0x30, DerOid("2a864886f70d010701")) +
                      Der(0xa0, key.certificateDer()) + Der(0x31, signerInfo));
    return Der(0x30, DerOid("2a864886f70d010702") + Der(0xa0, signedData));
}

} // namespace signer
