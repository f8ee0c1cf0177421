#pragma once

#include <QByteArray>
#include <QString>

#include <openssl/types.h>

#include <memory>

// The one loader of signing keys, for the window and the command line alike:
// an X.509 certificate (PEM or DER) and its private key (unencrypted PKCS#8,
// PEM or DER; RSA or EC), checked to belong together. Files larger than a key
// could be are refused unread.
class SigningKey {
public:
    // What made a load fail, for callers that word it for a role of their own
    // ("the platform key ...").
    enum class Fault {
        None,
        Certificate, // unreadable, not a certificate
        Key,         // unreadable, not an unencrypted PKCS#8 key, encrypted
        KeyType,     // neither RSA nor EC
        Mismatch,    // the key is not the certificate's
    };

    SigningKey();
    ~SigningKey();
    SigningKey(const SigningKey& other);
    SigningKey& operator=(const SigningKey& other);

    // False with the cause (naming the file) and the fault; the key is then
    // not loaded.
    bool load(const QString& certificatePath, const QString& privateKeyPath, QString* error,
              Fault* fault = nullptr);
    bool isLoaded() const;

    QByteArray certificateDer() const;
    QByteArray publicKeyDer() const; // SubjectPublicKeyInfo
    X509* certificate() const;       // owned by the key
    EVP_PKEY* privateKey() const;    // owned by the key
    bool isEc() const;
    int bits() const;

private:
    struct Data;
    std::shared_ptr<const Data> m_data;
};

// A certificate in PEM or DER, as its DER bytes. False with the cause.
bool CertificateDer(const QByteArray& pemOrDer, QByteArray* der, QString* error);

// The same read from a file (at most a key file's size), the cause naming it.
bool CertificateFileDer(const QString& path, QByteArray* der, QString* error);
