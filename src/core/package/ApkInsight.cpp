#include "core/package/ApkInsight.h"

#include "core/base/ByteOrder.h"
#include "core/base/MemoryBudget.h"
#include "core/base/RandomAccessSource.h"
#include "core/format/BinaryXml.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QSet>

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <algorithm>

namespace {

constexpr qint64 kMaxManifest = 16 * 1024 * 1024;
constexpr qint64 kMaxResources = 128 * 1024 * 1024;
constexpr qint64 kMaxSignatureFile = 4 * 1024 * 1024;
constexpr qint64 kMaxSigningBlock = 64 * 1024 * 1024;
constexpr quint32 kV2BlockId = 0x7109871a;
constexpr quint32 kV3BlockId = 0xf05368c0;

// Not inlined: inlined into callers that check sizes first, GCC's array-bounds
// analysis still follows the empty array's path and warns (the sanitizer build).
[[gnu::noinline]] quint32 u32(const QByteArray& b, qint64 at) {
    return ReadLe32(b.constData() + at);
}
[[gnu::noinline]] quint64 u64(const QByteArray& b, qint64 at) {
    return ReadLe64(b.constData() + at);
}

using Entry = ZipCentralEntry;

// The APK's central directory read by the shared ZIP reader, and its
// members' bytes, each within a limit.
class ApkReader {
public:
    ApkReader(QIODevice& device, MemoryBudget& budget) : m_source(device), m_held(budget) {}

    bool readAt(quint64 offset, qint64 length, QByteArray* bytes, QString* error) {
        const quint64 size = m_source.size();
        if (length < 0 || offset > size || quint64(length) > size - offset) {
            *error = QStringLiteral("%1 bytes at %2 lie past the end of the APK (%3 bytes)")
                         .arg(length)
                         .arg(offset)
                         .arg(size);
            return false;
        }
        bytes->resize(length);
        return m_source.readAt(offset, bytes->data(), length, error);
    }

    // The same for bytes held until the reading ends, out of the budget.
    bool readHeld(quint64 offset, qint64 length, QByteArray* bytes, QString* error) {
        if (length > 0 && !m_held.take(length)) {
            *error = QStringLiteral("%1 bytes at %2 need more than the %3 bytes of memory left "
                                    "for reading")
                         .arg(length)
                         .arg(offset)
                         .arg(m_held.budget().left());
            return false;
        }
        return readAt(offset, length, bytes, error);
    }

    bool readDirectory(QString* error) {
        // Of the many entries, a few are read: each local header is checked
        // when its entry is.
        if (!ReadZipDirectory(m_source, &m_directory, error, ZipLocalHeaders::WhenRead))
            return false;
        // The last entry of a name is the one read.
        for (qsizetype i = 0; i < m_directory.entries.size(); ++i)
            m_index.insert(m_directory.entries[i].rawName, i);
        return true;
    }

    const QList<Entry>& entries() const { return m_directory.entries; }
    const Entry* find(const char* name) const {
        const auto it = m_index.constFind(QByteArray(name));
        return it == m_index.constEnd() ? nullptr : &m_directory.entries[*it];
    }
    quint64 directoryOffset() const { return m_directory.directoryOffset; }

    // The uncompressed bytes of an entry holding at most limit bytes, checked
    // against its size and CRC-32.
    bool readEntry(const Entry& e, qint64 limit, QByteArray* data, QString* error) {
        const QString name = QString::fromUtf8(e.rawName);
        if (e.uncompressedSize > quint64(limit)) {
            *error = QStringLiteral("%1 is too large (%2 bytes)").arg(name).arg(e.uncompressedSize);
            return false;
        }
        // Deflate expands at most 1032 times: a larger claimed size is a lie
        // and must not be allocated.
        if (e.method == 8 && e.uncompressedSize > e.compressedSize * 1032 + 1024) {
            *error = QStringLiteral("%1 claims %2 bytes from %3 compressed")
                         .arg(name)
                         .arg(e.uncompressedSize)
                         .arg(e.compressedSize);
            return false;
        }
        // What is read is held until the reading of the APK ends, out of the
        // budget every reader shares.
        if (!m_held.take(qint64(e.uncompressedSize))) {
            *error = QStringLiteral("%1 needs %2 bytes, more than the %3 bytes of memory left for "
                                    "reading")
                         .arg(name)
                         .arg(e.uncompressedSize)
                         .arg(m_held.budget().left());
            return false;
        }
        data->clear();
        data->reserve(qsizetype(e.uncompressedSize));
        QString cause;
        if (!CheckZipLocalHeader(m_source, m_directory, &e - m_directory.entries.constData(),
                                 &cause) ||
            !ReadZipMemberData(
                m_source, e,
                [data](const char* bytes, qint64 size) {
                    data->append(bytes, size);
                    return true;
                },
                &cause)) {
            *error = QStringLiteral("%1: %2").arg(name, cause);
            return false;
        }
        return true;
    }

private:
    DeviceSource m_source;
    MemoryLease m_held;
    ZipDirectory m_directory;
    QHash<QByteArray, qsizetype> m_index;
};

QByteArray sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

// A length-prefixed (32-bit) part of data at *at; advances past it.
bool lengthPrefixed(const QByteArray& data, qint64* at, QByteArray* part) {
    if (*at < 0 || *at + 4 > data.size())
        return false;
    const quint32 length = u32(data, *at);
    if (quint64(length) > quint64(data.size() - *at - 4))
        return false;
    *part = data.mid(*at + 4, qsizetype(length));
    *at += 4 + qint64(length);
    return true;
}

// The first certificate of the first signer of a v2 or v3 block value.
bool firstSignerCertificate(const QByteArray& value, QByteArray* certificate, QString* error) {
    QByteArray signers, signer, signedData, digests, certificates;
    qint64 at = 0;
    if (!lengthPrefixed(value, &at, &signers)) {
        *error = QStringLiteral("signers run past the block");
        return false;
    }
    at = 0;
    if (!lengthPrefixed(signers, &at, &signer)) {
        *error = QStringLiteral("no signer");
        return false;
    }
    at = 0;
    if (!lengthPrefixed(signer, &at, &signedData)) {
        *error = QStringLiteral("signed data runs past its signer");
        return false;
    }
    at = 0;
    if (!lengthPrefixed(signedData, &at, &digests) ||
        !lengthPrefixed(signedData, &at, &certificates)) {
        *error = QStringLiteral("certificates run past the signed data");
        return false;
    }
    at = 0;
    if (!lengthPrefixed(certificates, &at, certificate) || certificate->isEmpty()) {
        *error = QStringLiteral("no certificate");
        return false;
    }
    return true;
}

bool readSigningBlock(ApkReader& reader, ApkFacts* facts, QString* error) {
    const quint64 directory = reader.directoryOffset();
    if (directory < 32)
        return true;
    QByteArray footer;
    if (!reader.readAt(directory - 24, 24, &footer, error))
        return false;
    if (footer.mid(8) != QByteArrayLiteral("APK Sig Block 42"))
        return true;
    const quint64 size = u64(footer, 0);
    if (size < 24 || size > quint64(kMaxSigningBlock) || size + 8 > directory) {
        *error = QStringLiteral("APK signing block of a bad size (%1)").arg(size);
        return false;
    }
    QByteArray block;
    if (!reader.readHeld(directory - size - 8, qint64(size + 8), &block, error))
        return false;
    if (u64(block, 0) != size) {
        *error = QStringLiteral("APK signing block sizes disagree");
        return false;
    }
    const qint64 pairsEnd = block.size() - 24;
    for (qint64 at = 8; at < pairsEnd;) {
        if (at + 12 > pairsEnd) {
            *error = QStringLiteral("APK signing block: truncated pair at %1").arg(at);
            return false;
        }
        const quint64 length = u64(block, at);
        if (length < 4 || length > quint64(pairsEnd - at - 8)) {
            *error = QStringLiteral("APK signing block: pair at %1 of a bad length").arg(at);
            return false;
        }
        const quint32 id = u32(block, at + 8);
        const QByteArray value = block.mid(at + 12, qsizetype(length - 4));
        at += 8 + qint64(length);
        if (id != kV2BlockId && id != kV3BlockId)
            continue;
        QByteArray certificate;
        QString cause;
        if (!firstSignerCertificate(value, &certificate, &cause)) {
            *error = QStringLiteral("APK signature scheme v%1 block: %2")
                         .arg(id == kV2BlockId ? 2 : 3)
                         .arg(cause);
            return false;
        }
        if (id == kV2BlockId) {
            facts->v2CertificateSha256 = sha256(certificate);
            facts->signatureSchemes << 2;
        } else {
            facts->v3CertificateSha256 = sha256(certificate);
            facts->signatureSchemes << 3;
        }
    }
    return true;
}

bool isSignatureBlockFile(const QByteArray& name) {
    if (!name.startsWith("META-INF/") || name.indexOf('/', 9) >= 0)
        return false;
    const QByteArray upper = name.toUpper();
    return upper.endsWith(".RSA") || upper.endsWith(".DSA") || upper.endsWith(".EC");
}

bool readV1(ApkReader& reader, ApkFacts* facts, QString* error) {
    QList<const Entry*> blocks;
    for (const Entry& e : reader.entries()) {
        if (isSignatureBlockFile(e.rawName))
            blocks << &e;
    }
    if (blocks.isEmpty())
        return true;
    std::sort(blocks.begin(), blocks.end(),
              [](const Entry* a, const Entry* b) { return a->rawName < b->rawName; });
    QByteArray der;
    if (!reader.readEntry(*blocks.first(), kMaxSignatureFile, &der, error))
        return false;
    const QString name = QString::fromUtf8(blocks.first()->rawName);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    PKCS7* pkcs7 = d2i_PKCS7(nullptr, &p, long(der.size()));
    if (!pkcs7 || !PKCS7_type_is_signed(pkcs7)) {
        PKCS7_free(pkcs7);
        ERR_clear_error();
        *error = QStringLiteral("%1 is not a PKCS#7 signature").arg(name);
        return false;
    }
    STACK_OF(X509)* signers = PKCS7_get0_signers(pkcs7, nullptr, 0);
    X509* first = signers && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    QByteArray certificate;
    if (first) {
        const int length = i2d_X509(first, nullptr);
        if (length > 0) {
            certificate.resize(length);
            unsigned char* out = reinterpret_cast<unsigned char*>(certificate.data());
            i2d_X509(first, &out);
        }
    }
    sk_X509_free(signers);
    PKCS7_free(pkcs7);
    // The cause is given in our own words; OpenSSL's queue is left empty for
    // callers that report from it.
    ERR_clear_error();
    if (certificate.isEmpty()) {
        *error = QStringLiteral("%1 holds no signer's certificate").arg(name);
        return false;
    }
    facts->v1CertificateSha256 = sha256(certificate);
    facts->signatureSchemes << 1;
    return true;
}

// An integer value (decimal, hexadecimal), following a reference.
bool integerValue(ResValue value, ApkReader& reader, QByteArray* resources, qint64* out) {
    if (value.type == ResValue::Reference) {
        QString ignored;
        const Entry* arsc = reader.find("resources.arsc");
        if (!arsc ||
            (resources->isEmpty() &&
             !reader.readEntry(*arsc, kMaxResources, resources, &ignored)) ||
            !ResolveResource(*resources, value.data, &value, &ignored))
            return false;
    }
    if (value.type == ResValue::IntDec || value.type == ResValue::IntHex) {
        *out = value.type == ResValue::IntHex ? qint64(value.data) : qint64(qint32(value.data));
        return true;
    }
    return false;
}

// A platform level (minSdkVersion, targetSdkVersion), following a reference:
// a codename counts as the platform in development, as the device counts it.
bool sdkLevel(ResValue value, ApkReader& reader, QByteArray* resources, int* out) {
    qint64 number = 0;
    if (integerValue(value, reader, resources, &number)) {
        *out = int(number);
        return true;
    }
    return value.type == ResValue::String && SdkLevelOf(value, out);
}

} // namespace

bool ReadApkFacts(QIODevice& apk, ApkFacts* facts, QString* error, MemoryBudget& budget) {
    *facts = ApkFacts();
    if (!apk.isOpen() && !apk.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open the APK: %1").arg(apk.errorString());
        return false;
    }
    if (apk.isSequential()) {
        *error = QStringLiteral("the APK must be read from a random-access device");
        return false;
    }
    ApkReader reader(apk, budget);
    if (!reader.readDirectory(error))
        return false;
    facts->size = apk.size();

    const Entry* manifest = reader.find("AndroidManifest.xml");
    if (!manifest) {
        *error = QStringLiteral("no AndroidManifest.xml");
        return false;
    }
    QByteArray xml;
    if (!reader.readEntry(*manifest, kMaxManifest, &xml, error))
        return false;
    ManifestFacts manifestFacts;
    QString cause;
    if (!ReadBinaryManifest(xml, &manifestFacts, &cause)) {
        *error = QStringLiteral("AndroidManifest.xml: %1").arg(cause);
        return false;
    }
    facts->packageName = manifestFacts.packageName;
    QByteArray resources;
    qint64 number = 0;
    if (integerValue(manifestFacts.versionCode, reader, &resources, &number))
        facts->versionCode = number & 0xFFFFFFFF;
    sdkLevel(manifestFacts.minSdk, reader, &resources, &facts->minSdk);
    sdkLevel(manifestFacts.targetSdk, reader, &resources, &facts->targetSdk);
    ResValue versionName = manifestFacts.versionName;
    if (versionName.type == ResValue::Reference) {
        const Entry* arsc = reader.find("resources.arsc");
        if (!arsc) {
            *error =
                QStringLiteral("versionName refers to a resource but there is no resources.arsc");
            return false;
        }
        if (resources.isEmpty() && !reader.readEntry(*arsc, kMaxResources, &resources, error))
            return false;
        if (!ResolveResource(resources, versionName.data, &versionName, &cause)) {
            *error = QStringLiteral("versionName: %1").arg(cause);
            return false;
        }
    }
    if (versionName.type == ResValue::String)
        facts->versionName = versionName.string;

    QSet<QString> abis;
    for (const Entry& e : reader.entries()) {
        if (!e.rawName.startsWith("lib/") || !e.rawName.endsWith(".so"))
            continue;
        const qsizetype slash = e.rawName.indexOf('/', 4);
        if (slash > 4)
            abis.insert(QString::fromUtf8(e.rawName.mid(4, slash - 4)));
    }
    facts->abis = QStringList(abis.begin(), abis.end());
    facts->abis.sort();

    if (!readV1(reader, facts, error) || !readSigningBlock(reader, facts, error))
        return false;
    std::sort(facts->signatureSchemes.begin(), facts->signatureSchemes.end());
    return true;
}

bool ReadApkFacts(const QString& apkPath, ApkFacts* facts, QString* error) {
    QFile file(apkPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(apkPath, file.errorString());
        return false;
    }
    return ReadApkFacts(file, facts, error);
}

bool SignedWith(const ApkFacts& facts, const QByteArray& certificateDer) {
    if (certificateDer.isEmpty())
        return false;
    const QByteArray digest = sha256(certificateDer);
    return digest == facts.v1CertificateSha256 || digest == facts.v2CertificateSha256 ||
           digest == facts.v3CertificateSha256;
}
