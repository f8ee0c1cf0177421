#include "core/package/ApkInsight.h"

#include "core/base/ByteOrder.h"
#include "core/format/BinaryXml.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QSet>

#include <openssl/err.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <algorithm>

namespace {

constexpr qint64 kMaxDirectory = 64 * 1024 * 1024;
constexpr qint64 kMaxManifest = 16 * 1024 * 1024;
constexpr qint64 kMaxResources = 128 * 1024 * 1024;
constexpr qint64 kMaxSignatureFile = 4 * 1024 * 1024;
constexpr qint64 kMaxSigningBlock = 64 * 1024 * 1024;
constexpr quint32 kV2BlockId = 0x7109871a;
constexpr quint32 kV3BlockId = 0xf05368c0;

// Not inlined: inlined into callers that check sizes first, GCC's array-bounds
// analysis still follows the empty array's path and warns (the sanitizer build).
[[gnu::noinline]] quint16 u16(const QByteArray& b, qint64 at) {
    return ReadLe16(b.constData() + at);
}
[[gnu::noinline]] quint32 u32(const QByteArray& b, qint64 at) {
    return ReadLe32(b.constData() + at);
}
[[gnu::noinline]] quint64 u64(const QByteArray& b, qint64 at) {
    return ReadLe64(b.constData() + at);
}

struct Entry {
    QByteArray name;
    quint16 method = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint64 localOffset = 0;
};

class ApkReader {
public:
    explicit ApkReader(QIODevice& device) : m_device(device) {}

    bool readAt(quint64 offset, qint64 length, QByteArray* bytes, QString* error) {
        if (length < 0 || offset > quint64(m_size) || quint64(length) > quint64(m_size) - offset) {
            *error = QStringLiteral("%1 bytes at %2 lie past the end of the APK (%3 bytes)")
                         .arg(length)
                         .arg(offset)
                         .arg(m_size);
            return false;
        }
        if (!m_device.seek(qint64(offset))) {
            *error =
                QStringLiteral("cannot seek to %1: %2").arg(offset).arg(m_device.errorString());
            return false;
        }
        bytes->resize(length);
        qint64 done = 0;
        while (done < length) {
            const qint64 n = m_device.read(bytes->data() + done, length - done);
            if (n <= 0) {
                *error = QStringLiteral("cannot read %1 bytes at %2: %3")
                             .arg(length)
                             .arg(offset)
                             .arg(n < 0 ? m_device.errorString() : QStringLiteral("end of file"));
                return false;
            }
            done += n;
        }
        return true;
    }

    bool readDirectory(QString* error) {
        m_size = m_device.size();
        if (m_size < 22) {
            *error = QStringLiteral("not a ZIP file: %1 bytes").arg(m_size);
            return false;
        }
        // The end record is found in a short tail first (an APK seldom has a
        // comment), which often holds the central directory too; else in
        // the longest tail a comment allows.
        qint64 tailSize = 0;
        QByteArray tail;
        qint64 end = -1;
        for (const qint64 wanted : {qint64(8 * 1024), qint64(22 + 0xFFFF)}) {
            if (tailSize == m_size)
                break;
            tailSize = std::min<qint64>(m_size, wanted);
            if (!readAt(quint64(m_size - tailSize), tailSize, &tail, error))
                return false;
            for (qint64 i = tailSize - 22; i >= 0; --i) {
                if (u32(tail, i) == 0x06054b50 && i + 22 + u16(tail, i + 20) == tailSize) {
                    end = i;
                    break;
                }
            }
            if (end >= 0)
                break;
        }
        if (end < 0) {
            *error = QStringLiteral("not a ZIP file: no end of central directory");
            return false;
        }
        const quint64 endOffset = quint64(m_size - tailSize + end);
        quint64 count = u16(tail, end + 10);
        quint64 directorySize = u32(tail, end + 12);
        m_directoryOffset = u32(tail, end + 16);
        if ((count == 0xFFFF || directorySize == 0xFFFFFFFF || m_directoryOffset == 0xFFFFFFFF) &&
            endOffset >= 20) {
            QByteArray locator, record;
            if (!readAt(endOffset - 20, 20, &locator, error))
                return false;
            if (u32(locator, 0) == 0x07064b50) {
                if (!readAt(u64(locator, 8), 56, &record, error))
                    return false;
                if (u32(record, 0) != 0x06064b50) {
                    *error = QStringLiteral("damaged ZIP64 end record");
                    return false;
                }
                count = u64(record, 32);
                directorySize = u64(record, 40);
                m_directoryOffset = u64(record, 48);
            }
        }
        if (directorySize > quint64(kMaxDirectory) || m_directoryOffset > endOffset ||
            directorySize > endOffset - m_directoryOffset || count > directorySize / 46) {
            *error = QStringLiteral("damaged central directory: %1 entries, %2 bytes at %3")
                         .arg(count)
                         .arg(directorySize)
                         .arg(m_directoryOffset);
            return false;
        }
        QByteArray dir;
        const quint64 tailStart = quint64(m_size - tailSize);
        if (m_directoryOffset >= tailStart)
            dir = tail.mid(qsizetype(m_directoryOffset - tailStart), qsizetype(directorySize));
        else if (!readAt(m_directoryOffset, qint64(directorySize), &dir, error))
            return false;
        qint64 at = 0;
        for (quint64 i = 0; i < count; ++i) {
            if (at + 46 > dir.size() || u32(dir, at) != 0x02014b50) {
                *error = QStringLiteral("damaged central directory at entry %1").arg(i);
                return false;
            }
            Entry e;
            e.method = u16(dir, at + 10);
            e.crc = u32(dir, at + 16);
            e.compressedSize = u32(dir, at + 20);
            e.size = u32(dir, at + 24);
            const qint64 nameLength = u16(dir, at + 28);
            const qint64 extraLength = u16(dir, at + 30);
            const qint64 commentLength = u16(dir, at + 32);
            e.localOffset = u32(dir, at + 42);
            const qint64 next = at + 46 + nameLength + extraLength + commentLength;
            if (next > dir.size()) {
                *error = QStringLiteral("damaged central directory at entry %1").arg(i);
                return false;
            }
            e.name = dir.mid(at + 46, nameLength);
            // The ZIP64 field holds, in order, the values written as all ones.
            for (qint64 x = at + 46 + nameLength; x + 4 <= at + 46 + nameLength + extraLength;) {
                const quint16 id = u16(dir, x);
                const qint64 length = u16(dir, x + 2);
                if (x + 4 + length > at + 46 + nameLength + extraLength)
                    break;
                if (id == 0x0001) {
                    qint64 p = x + 4;
                    for (quint64* field : {&e.size, &e.compressedSize, &e.localOffset}) {
                        if (*field == 0xFFFFFFFF && p + 8 <= x + 4 + length) {
                            *field = u64(dir, p);
                            p += 8;
                        }
                    }
                }
                x += 4 + length;
            }
            m_index.insert(e.name, int(m_entries.size()));
            m_entries.append(e);
            at = next;
        }
        return true;
    }

    const QList<Entry>& entries() const { return m_entries; }
    const Entry* find(const char* name) const {
        const auto it = m_index.constFind(QByteArray(name));
        return it == m_index.constEnd() ? nullptr : &m_entries[*it];
    }
    quint64 directoryOffset() const { return m_directoryOffset; }

    // The uncompressed bytes of an entry holding at most limit bytes, checked
    // against its size and CRC-32.
    bool readEntry(const Entry& e, qint64 limit, QByteArray* data, QString* error) {
        const QString name = QString::fromUtf8(e.name);
        if (e.size > quint64(limit)) {
            *error = QStringLiteral("%1 is too large (%2 bytes)").arg(name).arg(e.size);
            return false;
        }
        QByteArray header;
        if (!readAt(e.localOffset, 30, &header, error))
            return false;
        if (header.size() < 30 || u32(header, 0) != 0x04034b50) {
            *error = QStringLiteral("%1: no local header at %2").arg(name).arg(e.localOffset);
            return false;
        }
        const quint64 dataOffset = e.localOffset + 30 + u16(header, 26) + u16(header, 28);
        if (dataOffset > m_directoryOffset || e.compressedSize > m_directoryOffset - dataOffset ||
            e.compressedSize > quint64(limit) + 1024 * 1024) {
            *error = QStringLiteral("%1: data outside the archive").arg(name);
            return false;
        }
        // Deflate expands at most 1032 times: a larger claimed size is a lie
        // and must not be allocated.
        if (e.method == 8 && e.size > e.compressedSize * 1032 + 1024) {
            *error = QStringLiteral("%1 claims %2 bytes from %3 compressed")
                         .arg(name)
                         .arg(e.size)
                         .arg(e.compressedSize);
            return false;
        }
        QByteArray raw;
        if (!readAt(dataOffset, qint64(e.compressedSize), &raw, error))
            return false;
        if (e.method == 0) {
            if (e.compressedSize != e.size) {
                *error = QStringLiteral("%1: stored with two sizes").arg(name);
                return false;
            }
            *data = raw;
        } else if (e.method == 8) {
            data->resize(qsizetype(e.size));
            z_stream z{};
            if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
                *error = QStringLiteral("%1: cannot inflate").arg(name);
                return false;
            }
            z.next_in = reinterpret_cast<Bytef*>(raw.data());
            z.avail_in = uInt(raw.size());
            z.next_out = reinterpret_cast<Bytef*>(data->data());
            z.avail_out = uInt(data->size());
            int rc = inflate(&z, Z_FINISH);
            // An empty output buffer may still see the stream's end.
            if (rc == Z_BUF_ERROR && z.avail_out == 0) {
                char probe = 0;
                z.next_out = reinterpret_cast<Bytef*>(&probe);
                z.avail_out = 1;
                rc = inflate(&z, Z_FINISH);
                if (z.avail_out == 0)
                    rc = Z_DATA_ERROR;
            }
            const uLong produced = z.total_out;
            inflateEnd(&z);
            if (rc != Z_STREAM_END || produced != e.size) {
                *error = QStringLiteral("%1: damaged deflate data").arg(name);
                return false;
            }
        } else {
            *error = QStringLiteral("%1: unknown compression method %2").arg(name).arg(e.method);
            return false;
        }
        const uLong crc =
            crc32(0, reinterpret_cast<const Bytef*>(data->constData()), uInt(data->size()));
        if (crc != e.crc) {
            *error = QStringLiteral("%1: CRC-32 mismatch").arg(name);
            return false;
        }
        return true;
    }

private:
    QIODevice& m_device;
    qint64 m_size = 0;
    quint64 m_directoryOffset = 0;
    QList<Entry> m_entries;
    QHash<QByteArray, int> m_index;
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
    if (!reader.readAt(directory - size - 8, qint64(size + 8), &block, error))
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
        if (isSignatureBlockFile(e.name))
            blocks << &e;
    }
    if (blocks.isEmpty())
        return true;
    std::sort(blocks.begin(), blocks.end(),
              [](const Entry* a, const Entry* b) { return a->name < b->name; });
    QByteArray der;
    if (!reader.readEntry(*blocks.first(), kMaxSignatureFile, &der, error))
        return false;
    const QString name = QString::fromUtf8(blocks.first()->name);
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

} // namespace

bool ReadApkFacts(QIODevice& apk, ApkFacts* facts, QString* error) {
    *facts = ApkFacts();
    if (!apk.isOpen() && !apk.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open the APK: %1").arg(apk.errorString());
        return false;
    }
    if (apk.isSequential()) {
        *error = QStringLiteral("the APK must be read from a random-access device");
        return false;
    }
    ApkReader reader(apk);
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
    if (integerValue(manifestFacts.minSdk, reader, &resources, &number))
        facts->minSdk = int(number);
    if (integerValue(manifestFacts.targetSdk, reader, &resources, &number))
        facts->targetSdk = int(number);
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
        if (!e.name.startsWith("lib/") || !e.name.endsWith(".so"))
            continue;
        const qsizetype slash = e.name.indexOf('/', 4);
        if (slash > 4)
            abis.insert(QString::fromUtf8(e.name.mid(4, slash - 4)));
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
