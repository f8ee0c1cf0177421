#include "core/crypto/SigningKey.h"

#include "core/base/ErrorText.h"

#include <QFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

// Keys and certificates are small; a larger file is not one.
constexpr qint64 kMaxKeyFileBytes = 1 << 20;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
struct P8Free {
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
struct SigFree {
    void operator()(X509_SIG* p) const { X509_SIG_free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free>;
using SigPtr = std::unique_ptr<X509_SIG, SigFree>;

// No pass phrase is ever asked for (nor read from a terminal).
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

BioPtr MemoryBio(const QByteArray& data) {
    return BioPtr(BIO_new_mem_buf(data.constData(), static_cast<int>(data.size())));
}

bool ReadKeyFile(const QString& path, const QString& what, QByteArray* data, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Fail(
            error, QStringLiteral("cannot read the %1 %2: %3").arg(what, path, file.errorString()));
    *data = file.read(kMaxKeyFileBytes + 1);
    if (data->size() > kMaxKeyFileBytes)
        return Fail(error, QStringLiteral("the %1 %2 is too large to be one").arg(what, path));
    if (data->isEmpty())
        return Fail(error, QStringLiteral("the %1 %2 is empty").arg(what, path));
    return true;
}

X509Ptr ParseCertificate(const QByteArray& data) {
    BioPtr bio = MemoryBio(data);
    X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)
                            : nullptr);
    if (!certificate) {
        const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
        certificate.reset(d2i_X509(nullptr, &p, static_cast<long>(data.size())));
    }
    ERR_clear_error();
    return certificate;
}

// The key of unencrypted PKCS#8 bytes, PEM or DER; encrypted says whether
// they hold an encrypted one instead.
PkeyPtr ParsePkcs8(const QByteArray& data, bool* encrypted) {
    *encrypted = false;
    P8Ptr info;
    {
        BioPtr bio = MemoryBio(data);
        info.reset(bio ? PEM_read_bio_PKCS8_PRIV_KEY_INFO(bio.get(), nullptr, NoPassphrase, nullptr)
                       : nullptr);
    }
    if (!info) {
        const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
        info.reset(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(data.size())));
    }
    PkeyPtr key(info ? EVP_PKCS82PKEY(info.get()) : nullptr);
    if (!key) {
        BioPtr bio = MemoryBio(data);
        SigPtr sealed(bio ? PEM_read_bio_PKCS8(bio.get(), nullptr, NoPassphrase, nullptr)
                          : nullptr);
        if (!sealed) {
            const auto* p = reinterpret_cast<const unsigned char*>(data.constData());
            sealed.reset(d2i_X509_SIG(nullptr, &p, static_cast<long>(data.size())));
        }
        *encrypted = sealed != nullptr;
    }
    ERR_clear_error();
    return key;
}

template <typename T, int (*Encode)(const T*, unsigned char**)> QByteArray DerOf(const T* object) {
    unsigned char* der = nullptr;
    const int n = Encode(object, &der);
    QByteArray bytes;
    if (n > 0)
        bytes = QByteArray(reinterpret_cast<const char*>(der), n);
    OPENSSL_free(der);
    return bytes;
}

bool Failed(QString* error, SigningKey::Fault* fault, SigningKey::Fault kind) {
    if (fault)
        *fault = kind;
    (void)error;
    return false;
}

} // namespace

struct SigningKey::Data {
    X509Ptr certificate;
    PkeyPtr key;
    QByteArray certificateDer;
    QByteArray publicKeyDer;
    bool ec = false;
    int bits = 0;
};

SigningKey::SigningKey() = default;
SigningKey::~SigningKey() = default;
SigningKey::SigningKey(const SigningKey& other) = default;
SigningKey& SigningKey::operator=(const SigningKey& other) = default;

bool SigningKey::load(const QString& certificatePath, const QString& privateKeyPath, QString* error,
                      Fault* fault) {
    m_data.reset();
    if (fault)
        *fault = Fault::None;
    QByteArray certificateData, keyData;
    if (!ReadKeyFile(certificatePath, QStringLiteral("certificate"), &certificateData, error))
        return Failed(error, fault, Fault::Certificate);
    auto d = std::make_shared<Data>();
    d->certificate = ParseCertificate(certificateData);
    d->certificateDer = d->certificate ? DerOf<X509, i2d_X509>(d->certificate.get()) : QByteArray();
    if (d->certificateDer.isEmpty()) {
        SetError(error, QStringLiteral("%1 is not an X.509 certificate").arg(certificatePath));
        return Failed(error, fault, Fault::Certificate);
    }
    if (!ReadKeyFile(privateKeyPath, QStringLiteral("private key"), &keyData, error))
        return Failed(error, fault, Fault::Key);
    bool encrypted = false;
    d->key = ParsePkcs8(keyData, &encrypted);
    if (!d->key) {
        SetError(error, encrypted ? QStringLiteral("%1 is encrypted, not an unencrypted PKCS#8 "
                                                   "private key")
                                        .arg(privateKeyPath)
                                  : QStringLiteral("%1 is not an unencrypted PKCS#8 private key")
                                        .arg(privateKeyPath));
        return Failed(error, fault, Fault::Key);
    }
    const int type = EVP_PKEY_get_base_id(d->key.get());
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) {
        SetError(error, QStringLiteral("%1: only RSA and EC keys can sign").arg(privateKeyPath));
        return Failed(error, fault, Fault::KeyType);
    }
    EVP_PKEY* publicKey = X509_get0_pubkey(d->certificate.get());
    if (!publicKey || EVP_PKEY_eq(publicKey, d->key.get()) != 1) {
        ERR_clear_error();
        SetError(error, QStringLiteral("the private key does not belong to the certificate: %1 "
                                       "is not the key of %2")
                            .arg(privateKeyPath, certificatePath));
        return Failed(error, fault, Fault::Mismatch);
    }
    d->publicKeyDer = DerOf<EVP_PKEY, i2d_PUBKEY>(publicKey);
    if (d->publicKeyDer.isEmpty()) {
        SetError(error,
                 QStringLiteral("%1: the public key cannot be encoded").arg(certificatePath));
        return Failed(error, fault, Fault::Certificate);
    }
    d->ec = type == EVP_PKEY_EC;
    d->bits = EVP_PKEY_get_bits(d->key.get());
    m_data = std::move(d);
    return true;
}

bool SigningKey::isLoaded() const {
    return m_data != nullptr;
}
QByteArray SigningKey::certificateDer() const {
    return m_data ? m_data->certificateDer : QByteArray();
}
QByteArray SigningKey::publicKeyDer() const {
    return m_data ? m_data->publicKeyDer : QByteArray();
}
X509* SigningKey::certificate() const {
    return m_data ? m_data->certificate.get() : nullptr;
}
EVP_PKEY* SigningKey::privateKey() const {
    return m_data ? m_data->key.get() : nullptr;
}
bool SigningKey::isEc() const {
    return m_data && m_data->ec;
}
int SigningKey::bits() const {
    return m_data ? m_data->bits : 0;
}

bool CertificateDer(const QByteArray& pemOrDer, QByteArray* der, QString* error) {
    const X509Ptr certificate = ParseCertificate(pemOrDer);
    if (!certificate)
        return Fail(error, QStringLiteral("not an X.509 certificate"));
    *der = DerOf<X509, i2d_X509>(certificate.get());
    return !der->isEmpty() || Fail(error, QStringLiteral("the certificate cannot be encoded"));
}

bool CertificateFileDer(const QString& path, QByteArray* der, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Fail(error, QStringLiteral("cannot open \"%1\": %2").arg(path, file.errorString()));
    const QByteArray data = file.read(kMaxKeyFileBytes + 1);
    if (data.size() > kMaxKeyFileBytes)
        return Fail(error, QStringLiteral("\"%1\" is too large to be a certificate").arg(path));
    QString cause;
    if (!CertificateDer(data, der, &cause))
        return Fail(error, QStringLiteral("\"%1\": %2").arg(path, cause));
    return true;
}
