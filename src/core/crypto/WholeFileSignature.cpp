#include "core/crypto/WholeFileSignature.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/crypto/SigningKey.h"

#include <QFile>
#include <QRegularExpression>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstring>

namespace {

// The text signapk -w puts before the signature block, NUL included.
constexpr char kCommentMessage[] = "signed by SignApk";
constexpr qint64 kCommentMessageSize = sizeof(kCommentMessage);
constexpr qint64 kFooterSize = 6;
constexpr qint64 kEndRecordSize = 22;
constexpr qint64 kMaxComment = 0xffff;
// Certificates and keys are small; anything larger is not one.
constexpr qint64 kMaxKeyFileSize = 1 << 20;
constexpr qint64 kReadChunk = 1 << 20;

struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct CmsFree {
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
struct CertStackFree {
    void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The oldest queued OpenSSL error (the root cause), and an empty queue.
QString OpenSslReason() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("no detail from OpenSSL");
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return QString::fromLatin1(text);
}

bool ReadSmallFile(const QString& path, const QString& what, QByteArray* data, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SetError(error,
                 QStringLiteral("Cannot open the %1 %2: %3").arg(what, path, file.errorString()));
        return false;
    }
    if (file.size() > kMaxKeyFileSize) {
        SetError(error, QStringLiteral("The %1 %2 is too large to be one").arg(what, path));
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (bytes.size() != file.size()) {
        SetError(error,
                 QStringLiteral("Cannot read the %1 %2: %3").arg(what, path, file.errorString()));
        return false;
    }
    *data = bytes;
    return true;
}

// A certificate file (PEM or DER) parsed by the one key loader.
bool LoadCertificate(const QString& path, X509Ptr* cert, QString* error) {
    QByteArray der;
    if (!CertificateFileDer(path, &der, error))
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    cert->reset(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!*cert) {
        SetError(error,
                 QStringLiteral("%1 is not an X.509 certificate: %2").arg(path, OpenSslReason()));
        return false;
    }
    return true;
}

QString SubjectOf(X509* cert) {
    char text[256];
    X509_NAME_oneline(X509_get_subject_name(cert), text, sizeof(text));
    return QString::fromUtf8(text);
}

// The digest signapk -w takes for a certificate: SHA-1 when the certificate is
// signed with SHA1withRSA or MD5withRSA, SHA-256 when signed with any SHA-256
// algorithm; and the key must be RSA or EC.
bool DigestForCertificate(X509* cert, int* digestNid, QString* error) {
    const int sigNid = X509_get_signature_nid(cert);
    int mdNid = NID_undef;
    int pkeyNid = NID_undef;
    OBJ_find_sigid_algs(sigNid, &mdNid, &pkeyNid);
    if ((mdNid == NID_sha1 || mdNid == NID_md5) && pkeyNid == NID_rsaEncryption) {
        *digestNid = NID_sha1;
    } else if (mdNid == NID_sha256) {
        *digestNid = NID_sha256;
    } else {
        SetError(error, QStringLiteral("The certificate %1 is signed with %2; whole-file "
                                       "signing takes SHA1withRSA or a SHA-256 algorithm")
                            .arg(SubjectOf(cert), QString::fromLatin1(OBJ_nid2ln(sigNid))));
        return false;
    }
    const int keyType = EVP_PKEY_get_base_id(X509_get0_pubkey(cert));
    if (keyType != EVP_PKEY_RSA && keyType != EVP_PKEY_EC) {
        SetError(error, QStringLiteral("The certificate %1 holds a key that is neither RSA nor EC")
                            .arg(SubjectOf(cert)));
        return false;
    }
    return true;
}

// DER pieces of the signature block.
QByteArray DerLength(qint64 length) {
    QByteArray out;
    if (length < 0x80) {
        out.append(static_cast<char>(length));
        return out;
    }
    QByteArray bytes;
    for (qint64 rest = length; rest > 0; rest >>= 8)
        bytes.prepend(static_cast<char>(rest & 0xff));
    out.append(static_cast<char>(0x80 | bytes.size()));
    out.append(bytes);
    return out;
}

QByteArray Der(unsigned char tag, const QByteArray& content) {
    QByteArray out;
    out.append(static_cast<char>(tag));
    out.append(DerLength(content.size()));
    out.append(content);
    return out;
}

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kSet = 0x31;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kOctetString = 0x04;
constexpr unsigned char kContext0 = 0xa0;

QByteArray DerOid(int nid) {
    ASN1_OBJECT* object = OBJ_nid2obj(nid);
    const int size = i2d_ASN1_OBJECT(object, nullptr);
    QByteArray out(size > 0 ? size : 0, Qt::Uninitialized);
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    i2d_ASN1_OBJECT(object, &p);
    return out;
}

// An AlgorithmIdentifier; withNull adds the NULL parameter.
QByteArray DerAlgorithm(int nid, bool withNull) {
    QByteArray content = DerOid(nid);
    if (withNull)
        content.append("\x05\x00", 2);
    return Der(kSequence, content);
}

template <typename T, typename Encode> QByteArray DerOf(T* value, Encode encode) {
    const int size = encode(value, nullptr);
    if (size <= 0)
        return {};
    QByteArray out(size, Qt::Uninitialized);
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    encode(value, &p);
    return out;
}

// The algorithm identifiers signapk's CMS generator writes: SHA-1 carries a NULL
// parameter and SHA-256 none; SHA1withRSA is named rsaEncryption, SHA256withRSA
// by its own OID, SHA256withECDSA without parameter.
void AlgorithmIdentifiers(int digestNid, bool ec, QByteArray* digestAlg, QByteArray* sigAlg) {
    if (digestNid == NID_sha1) {
        *digestAlg = DerAlgorithm(NID_sha1, true);
        *sigAlg =
            ec ? DerAlgorithm(NID_ecdsa_with_SHA1, false) : DerAlgorithm(NID_rsaEncryption, true);
    } else {
        *digestAlg = DerAlgorithm(NID_sha256, false);
        *sigAlg = ec ? DerAlgorithm(NID_ecdsa_with_SHA256, false)
                     : DerAlgorithm(NID_sha256WithRSAEncryption, true);
    }
}

// Detached SignedData, one signer by issuer and serial, no signed attributes,
// the certificate included: the block signapk -w writes.
QByteArray SignedDataBlock(X509* cert, int digestNid, bool ec, const QByteArray& signature) {
    QByteArray digestAlg;
    QByteArray sigAlg;
    AlgorithmIdentifiers(digestNid, ec, &digestAlg, &sigAlg);
    const QByteArray version = Der(kInteger, QByteArray(1, '\x01'));
    const QByteArray issuer = DerOf(X509_get_issuer_name(cert), i2d_X509_NAME);
    const QByteArray serial =
        DerOf(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(cert)), i2d_ASN1_INTEGER);
    const QByteArray certDer = DerOf(cert, i2d_X509);

    const QByteArray signerInfo =
        Der(kSequence, version + Der(kSequence, issuer + serial) + digestAlg + sigAlg +
                           Der(kOctetString, signature));
    const QByteArray signedData =
        Der(kSequence, version + Der(kSet, digestAlg) + Der(kSequence, DerOid(NID_pkcs7_data)) +
                           Der(kContext0, certDer) + Der(kSet, signerInfo));
    return Der(kSequence, DerOid(NID_pkcs7_signed) + Der(kContext0, signedData));
}

bool HasEndRecordMarker(const QByteArray& data) {
    return data.contains(QByteArrayLiteral("PK\x05\x06"));
}

// Sets up RSA PKCS#1 v1.5 over a DigestInfo (or plain ECDSA) for the digest.
bool SetUpSignatureContext(EVP_PKEY_CTX* ctx, EVP_PKEY* key, const EVP_MD* md) {
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA &&
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) <= 0)
        return false;
    return EVP_PKEY_CTX_set_signature_md(ctx, md) > 0;
}

} // namespace

struct WholeFileSigner::Private {
    SigningKey key;
    MdCtxPtr digest;
    int digestNid = NID_undef;
    bool digestFailed = false;
    qint64 fed = 0;
    QByteArray lastDigest; // what the last finish signed
    qint64 lastSigned = 0;
    // The last bytes fed: the end record without its comment length.
    char tail[kEndRecordSize - 2] = {};

    bool restartDigest() {
        fed = 0;
        digestFailed = false;
        std::memset(tail, 0, sizeof(tail));
        return EVP_DigestInit_ex(digest.get(), EVP_get_digestbynid(digestNid), nullptr) == 1;
    }
};

WholeFileSigner::WholeFileSigner() : d(std::make_unique<Private>()) {}

WholeFileSigner::~WholeFileSigner() = default;

bool WholeFileSigner::loadKey(const QString& certPem, const QString& keyPk8, QString* error) {
    d->key = SigningKey();
    d->digest.reset();
    d->fed = 0;

    SigningKey key;
    int digestNid = NID_undef;
    if (!key.load(certPem, keyPk8, error) ||
        !DigestForCertificate(key.certificate(), &digestNid, error))
        return false;

    d->digest.reset(EVP_MD_CTX_new());
    d->digestNid = digestNid;
    if (!d->digest || !d->restartDigest()) {
        d->digest.reset();
        SetError(error, QStringLiteral("Cannot start the digest: %1").arg(OpenSslReason()));
        return false;
    }
    d->key = key;
    return true;
}

void WholeFileSigner::update(const char* data, qint64 size) {
    if (!d->digest || size <= 0)
        return;
    if (EVP_DigestUpdate(d->digest.get(), data, static_cast<size_t>(size)) != 1)
        d->digestFailed = true;
    d->fed += size;
    constexpr qint64 tailSize = sizeof(d->tail);
    if (size >= tailSize) {
        std::memcpy(d->tail, data + size - tailSize, tailSize);
    } else {
        std::memmove(d->tail, d->tail + size, static_cast<size_t>(tailSize - size));
        std::memcpy(d->tail + tailSize - size, data, static_cast<size_t>(size));
    }
}

qint64 WholeFileSigner::signedSize() const {
    return d->fed;
}

namespace {

// The private key's signature of a digest made with the digest of that NID.
bool signDigest(EVP_PKEY* key, int digestNid, const unsigned char* digest, unsigned int digestSize,
                QByteArray* signature, QString* error) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    size_t signatureSize = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        !SetUpSignatureContext(ctx.get(), key, EVP_get_digestbynid(digestNid)) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &signatureSize, digest, digestSize) <= 0)
        return Fail(error, QStringLiteral("Cannot set up the signature: %1").arg(OpenSslReason()));
    signature->resize(static_cast<qsizetype>(signatureSize));
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()),
                      &signatureSize, digest, digestSize) <= 0)
        return Fail(error, QStringLiteral("Signing failed: %1").arg(OpenSslReason()));
    signature->truncate(static_cast<qsizetype>(signatureSize));
    return true;
}

// The comment length and the comment that carry the signature block, as
// recovery finds them: the message, the block, then the footer (block
// size, 0xffff, comment size). endRecord is the end record before its
// comment length.
bool signatureComment(const QByteArray& block, const QByteArray& endRecord, QByteArray* out,
                      QString* error) {
    const qint64 commentSize = kCommentMessageSize + block.size() + kFooterSize;
    if (commentSize > kMaxComment)
        return Fail(error, QStringLiteral("The signature block (%1 bytes) does not fit in a ZIP "
                                          "comment")
                               .arg(block.size()));
    out->clear();
    out->reserve(static_cast<qsizetype>(2 + commentSize));
    AppendLe16(out, static_cast<quint16>(commentSize));
    out->append(kCommentMessage, kCommentMessageSize);
    out->append(block);
    AppendLe16(out, static_cast<quint16>(block.size() + kFooterSize));
    out->append("\xff\xff", 2);
    AppendLe16(out, static_cast<quint16>(commentSize));
    // Recovery refuses a marker anywhere after the start of the end record.
    if (HasEndRecordMarker(endRecord.mid(4) + *out))
        return Fail(error, QStringLiteral("The signature holds an end-of-central-directory "
                                          "marker; recovery would refuse the package"));
    return true;
}

} // namespace

bool WholeFileSigner::finish(QByteArray* commentLengthAndComment, QString* error) {
    if (!d->key.isLoaded()) {
        SetError(error, QStringLiteral("No signing key is loaded"));
        return false;
    }
    // Whatever happens below, the next archive starts afresh.
    struct Restart {
        Private* p;
        ~Restart() { p->restartDigest(); }
    } restart{d.get()};

    if (d->digestFailed) {
        SetError(error,
                 QStringLiteral("The digest of the archive failed: %1").arg(OpenSslReason()));
        return false;
    }
    const QByteArray endRecord(d->tail, sizeof(d->tail));
    if (d->fed < static_cast<qint64>(sizeof(d->tail)) || !endRecord.startsWith("PK\x05\x06")) {
        SetError(error, QStringLiteral("The signed bytes do not end with an end-of-central-"
                                       "directory record (without its comment length)"));
        return false;
    }

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_DigestFinal_ex(d->digest.get(), digest, &digestSize) != 1) {
        SetError(error,
                 QStringLiteral("The digest of the archive failed: %1").arg(OpenSslReason()));
        return false;
    }

    d->lastDigest.clear();
    d->lastSigned = 0;
    QByteArray signature;
    if (!signDigest(d->key.privateKey(), d->digestNid, digest, digestSize, &signature, error))
        return false;
    QByteArray out;
    if (!signatureComment(
            SignedDataBlock(d->key.certificate(), d->digestNid, d->key.isEc(), signature),
            endRecord, &out, error))
        return false;
    *commentLengthAndComment = out;
    d->lastDigest = QByteArray(reinterpret_cast<const char*>(digest), digestSize);
    d->lastSigned = d->fed;
    return true;
}

QByteArray WholeFileSigner::signedDigest() const {
    return d->lastDigest;
}

qint64 WholeFileSigner::signedBytes() const {
    return d->lastSigned;
}

bool OtaCertData(const QString& certPem, QByteArray* data, QString* error) {
    QByteArray bytes, der;
    QString cause;
    if (!ReadSmallFile(certPem, QStringLiteral("certificate"), &bytes, error))
        return false;
    if (!CertificateDer(bytes, &der, &cause)) {
        SetError(error, QStringLiteral("%1 is not an X.509 certificate").arg(certPem));
        return false;
    }
    *data = bytes;
    return true;
}

namespace {

// Reads exactly size bytes at offset.
bool ReadAt(QFile& file, qint64 offset, qint64 size, QByteArray* out, QString* error) {
    if (!file.seek(offset)) {
        SetError(error,
                 QStringLiteral("Cannot seek in %1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    QByteArray bytes = file.read(size);
    if (bytes.size() != size) {
        SetError(error,
                 QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    *out = bytes;
    return true;
}

bool DigestRange(QFile& file, qint64 size, const EVP_MD* md, QByteArray* digest, QString* error) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        SetError(error, QStringLiteral("Cannot start the digest: %1").arg(OpenSslReason()));
        return false;
    }
    if (!file.seek(0)) {
        SetError(error,
                 QStringLiteral("Cannot seek in %1: %2").arg(file.fileName(), file.errorString()));
        return false;
    }
    QByteArray buffer(static_cast<qsizetype>(qMin(size, kReadChunk)), Qt::Uninitialized);
    for (qint64 done = 0; done < size;) {
        const qint64 want = qMin(size - done, kReadChunk);
        const qint64 got = file.read(buffer.data(), want);
        if (got <= 0) {
            SetError(error,
                     QStringLiteral("Cannot read %1: %2").arg(file.fileName(), file.errorString()));
            return false;
        }
        if (EVP_DigestUpdate(ctx.get(), buffer.constData(), static_cast<size_t>(got)) != 1) {
            SetError(error, QStringLiteral("The digest failed: %1").arg(OpenSslReason()));
            return false;
        }
        done += got;
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outSize = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &outSize) != 1) {
        SetError(error, QStringLiteral("The digest failed: %1").arg(OpenSslReason()));
        return false;
    }
    *digest = QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(outSize));
    return true;
}

// Why a certificate carried in the block is not the expected one: a copy of
// it with bytes changed (same key, same issuer and serial, or a self-signature
// that no longer verifies), or another certificate altogether.
QString CertificateMismatch(X509* carried, X509* expected) {
    EVP_PKEY* carriedKey = X509_get0_pubkey(carried);
    const bool sameKey = carriedKey && EVP_PKEY_eq(carriedKey, X509_get0_pubkey(expected)) == 1;
    const bool sameIssuerAndSerial = X509_issuer_and_serial_cmp(carried, expected) == 0;
    const bool selfSignatureBroken =
        X509_NAME_cmp(X509_get_issuer_name(carried), X509_get_subject_name(carried)) == 0 &&
        (!carriedKey || X509_verify(carried, carriedKey) != 1);
    ERR_clear_error();
    if (sameKey || sameIssuerAndSerial || selfSignatureBroken)
        return QStringLiteral("The certificate carried in the signature block is damaged or "
                              "altered: it differs from the certificate %1")
            .arg(SubjectOf(expected));
    return QStringLiteral("The package is signed with another certificate (%1), not %2")
        .arg(SubjectOf(carried), SubjectOf(expected));
}

// The block's one signer, checked against the certificate; its digest NID.
bool CheckSignatureBlock(CMS_ContentInfo* cms, X509* cert, int digestNid,
                         ASN1_OCTET_STRING** signature, QString* error) {
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed || CMS_is_detached(cms) != 1) {
        SetError(error, QStringLiteral("The signature block is not a detached SignedData"));
        return false;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    if (!signers || sk_CMS_SignerInfo_num(signers) != 1) {
        SetError(error, QStringLiteral("The signature block does not hold exactly one signer"));
        return false;
    }
    CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(signers, 0);
    if (CMS_signed_get_attr_count(signer) > 0) {
        SetError(error, QStringLiteral("The signature block signs attributes, not the package"));
        return false;
    }

    std::unique_ptr<STACK_OF(X509), CertStackFree> certs(CMS_get1_certs(cms));
    const int certCount = certs ? sk_X509_num(certs.get()) : 0;
    if (certCount == 0) {
        SetError(error, QStringLiteral("The signature block carries no certificate"));
        return false;
    }
    for (int i = 0; i < certCount; ++i) {
        X509* carried = sk_X509_value(certs.get(), i);
        if (X509_cmp(carried, cert) != 0) {
            SetError(error, CertificateMismatch(carried, cert));
            return false;
        }
    }
    if (CMS_SignerInfo_cert_cmp(signer, cert) != 0) {
        SetError(error, QStringLiteral("The signer of the package is not the certificate %1")
                            .arg(SubjectOf(cert)));
        return false;
    }

    X509_ALGOR* digestAlg = nullptr;
    X509_ALGOR* sigAlg = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlg, &sigAlg);
    const int blockDigest = digestAlg ? OBJ_obj2nid(digestAlg->algorithm) : NID_undef;
    if (blockDigest != digestNid) {
        SetError(error, QStringLiteral("The package is signed with %1; its certificate calls "
                                       "for %2")
                            .arg(QString::fromLatin1(OBJ_nid2sn(blockDigest)),
                                 QString::fromLatin1(OBJ_nid2sn(digestNid))));
        return false;
    }
    *signature = CMS_SignerInfo_get0_signature(signer);
    if (!*signature) {
        SetError(error, QStringLiteral("The signature block holds no signature"));
        return false;
    }
    return true;
}

} // namespace

namespace {

// Where a signed package's parts lie, as its footer and end record give them.
struct SignedLayout {
    QByteArray block;      // the DER CMS block
    qint64 signedSize = 0; // the signed bytes: up to the end record's comment length
};

// Reads the footer and the end record at the end of the file as recovery
// does (see VerifyWholeFileSignature) and takes out the signature block.
bool ReadSignedLayout(QFile& file, SignedLayout* layout, QString* error) {
    const QString path = file.fileName();
    const qint64 size = file.size();
    if (size < kFooterSize) {
        SetError(error, QStringLiteral("%1 is too short to hold a signature footer").arg(path));
        return false;
    }
    // The end record and its comment lie within the last 22 + 65535 bytes.
    const qint64 tailSize = qMin(size, kEndRecordSize + kMaxComment);
    QByteArray tail;
    if (!ReadAt(file, size - tailSize, tailSize, &tail, error))
        return false;

    WholeFileFooter footer;
    if (!ReadWholeFileFooter(tail, &footer)) {
        SetError(error, QStringLiteral("%1 has no signature footer").arg(path));
        return false;
    }
    const qint64 signatureStart = footer.signatureStart;
    const qint64 commentSize = footer.commentSize;
    if (signatureStart > commentSize) {
        SetError(error, QStringLiteral("The signature footer of %1 puts the signature (%2 bytes "
                                       "from the end) outside the comment (%3 bytes)")
                            .arg(path)
                            .arg(signatureStart)
                            .arg(commentSize));
        return false;
    }
    if (signatureStart <= kFooterSize) {
        SetError(error, QStringLiteral("The signature footer of %1 puts the signature inside "
                                       "the footer")
                            .arg(path));
        return false;
    }
    const qint64 endRecordSize = commentSize + kEndRecordSize;
    if (tailSize < endRecordSize) {
        SetError(error, QStringLiteral("%1 is shorter than its end record and comment").arg(path));
        return false;
    }
    const QByteArray endRecord = tail.right(endRecordSize);
    if (!endRecord.startsWith("PK\x05\x06")) {
        SetError(error, QStringLiteral("The signature footer of %1 gives a comment length (%2) "
                                       "that does not lead to the end record")
                            .arg(path)
                            .arg(commentSize));
        return false;
    }
    const qint64 recordComment = ReadLe16(endRecord.constData() + 20);
    if (recordComment != commentSize) {
        SetError(error, QStringLiteral("The end record of %1 gives a comment length of %2, the "
                                       "signature footer %3")
                            .arg(path)
                            .arg(recordComment)
                            .arg(commentSize));
        return false;
    }
    if (HasEndRecordMarker(endRecord.mid(4))) {
        SetError(error, QStringLiteral("%1 holds a second end-of-central-directory marker in its "
                                       "end record or comment")
                            .arg(path));
        return false;
    }
    layout->block = endRecord.mid(endRecordSize - signatureStart, signatureStart - kFooterSize);
    layout->signedSize = size - endRecordSize + kEndRecordSize - 2;
    return true;
}

// The signature over the signed bytes of the file, checked with the
// certificate's key.
// digest: that of the signed bytes when known, else computed from the file.
bool VerifySignedBytes(QFile& file, qint64 signedSize, X509* cert, int digestNid,
                       const ASN1_OCTET_STRING* signature, const QByteArray* known,
                       QString* error) {
    const EVP_MD* md = EVP_get_digestbynid(digestNid);
    QByteArray digest;
    if (known)
        digest = *known;
    else if (!DigestRange(file, signedSize, md, &digest, error))
        return false;
    EVP_PKEY* publicKey = X509_get0_pubkey(cert);
    PkeyCtxPtr ctx(publicKey ? EVP_PKEY_CTX_new(publicKey, nullptr) : nullptr);
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0 ||
        !SetUpSignatureContext(ctx.get(), publicKey, md)) {
        SetError(error, QStringLiteral("Cannot set up the verification: %1").arg(OpenSslReason()));
        return false;
    }
    const int verified = EVP_PKEY_verify(ctx.get(), ASN1_STRING_get0_data(signature),
                                         static_cast<size_t>(ASN1_STRING_length(signature)),
                                         reinterpret_cast<const unsigned char*>(digest.constData()),
                                         static_cast<size_t>(digest.size()));
    ERR_clear_error();
    if (verified != 1) {
        SetError(
            error,
            QStringLiteral("The signature of %1 does not match its contents").arg(file.fileName()));
        return false;
    }
    return true;
}

} // namespace

bool ReadWholeFileFooter(const QByteArray& tail, WholeFileFooter* footer) {
    if (tail.size() < kFooterSize)
        return false;
    const char* p = tail.constData() + tail.size() - kFooterSize;
    if (static_cast<unsigned char>(p[2]) != 0xff || static_cast<unsigned char>(p[3]) != 0xff)
        return false;
    footer->signatureStart = ReadLe16(p);
    footer->commentSize = ReadLe16(p + 4);
    return true;
}

namespace {

bool verifyPackage(const QString& path, const QString& certPem, const QByteArray* digest,
                   qint64 signedSize, QString* error) {
    X509Ptr cert;
    int digestNid = NID_undef;
    if (!LoadCertificate(certPem, &cert, error) ||
        !DigestForCertificate(cert.get(), &digestNid, error))
        return false;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        SetError(error, QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()));
        return false;
    }
    SignedLayout layout;
    if (!ReadSignedLayout(file, &layout, error))
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(layout.block.constData());
    std::unique_ptr<CMS_ContentInfo, CmsFree> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(layout.block.size())));
    if (!cms || p != reinterpret_cast<const unsigned char*>(layout.block.constData()) +
                         layout.block.size()) {
        SetError(error, QStringLiteral("The signature block of %1 is not a CMS structure: %2")
                            .arg(path, OpenSslReason()));
        return false;
    }
    ASN1_OCTET_STRING* signature = nullptr;
    QString cause;
    if (!CheckSignatureBlock(cms.get(), cert.get(), digestNid, &signature, &cause)) {
        SetError(error, QStringLiteral("%1: %2").arg(path, cause));
        return false;
    }
    if (digest && layout.signedSize != signedSize) {
        SetError(error, QStringLiteral("The signature of %1 covers %2 bytes, not the %3 written")
                            .arg(path)
                            .arg(layout.signedSize)
                            .arg(signedSize));
        return false;
    }
    return VerifySignedBytes(file, layout.signedSize, cert.get(), digestNid, signature, digest,
                             error);
}

} // namespace

bool VerifyWholeFileSignature(const QString& path, const QString& certPem, QString* error) {
    return verifyPackage(path, certPem, nullptr, 0, error);
}

bool VerifyWholeFileSignatureOfDigest(const QString& path, const QString& certPem,
                                      const QByteArray& digest, qint64 signedSize, QString* error) {
    return verifyPackage(path, certPem, &digest, signedSize, error);
}

bool KeptInSignedPackage(const QString& name, bool directory) {
    static const QRegularExpression signatureFile(
        QStringLiteral("^META-INF/(.*[.](SF|RSA|DSA|EC)|MANIFEST[.]MF)$"));
    return !directory && !signatureFile.match(name).hasMatch();
}
