// The APK signer over any bytes given as an APK: no crash, no read out of
// bounds; a refusal says why and leaves no output, an accepted APK comes out
// as a readable archive with its signature files. The bytes are also read as
// a binary manifest for its minSdkVersion.

#include "FuzzSupport.h"

#include "core/crypto/ApkSigner.h"
#include "core/format/ZipFormat.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fcntl.h>

namespace {

SigningKey* g_key = nullptr;

// A P-256 key and its self-signed certificate, written as PEM files.
void makeKey(const QString& certificate, const QString& privateKey) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    fuzz::require(key != nullptr);
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    fuzz::require(X509_sign(cert, key, EVP_sha256()) > 0);
    FILE* out = fopen(QFile::encodeName(certificate).constData(), "wb");
    fuzz::require(out && PEM_write_X509(out, cert) == 1);
    fclose(out);
    out = fopen(QFile::encodeName(privateKey).constData(), "wb");
    fuzz::require(out &&
                  PEM_write_PKCS8PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1);
    fclose(out);
    X509_free(cert);
    EVP_PKEY_free(key);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const QString dir = fuzz::scratchDirectory("fuzz_ApkSigner");
    makeKey(dir + QStringLiteral("/key.x509.pem"), dir + QStringLiteral("/key.pk8.pem"));
    static SigningKey key;
    QString error;
    fuzz::require(key.load(dir + QStringLiteral("/key.x509.pem"),
                           dir + QStringLiteral("/key.pk8.pem"), &error));
    g_key = &key;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    int minSdk = 0;
    QString error;
    if (ApkMinSdkVersion(bytes, &minSdk, &error))
        fuzz::require(error.isEmpty());
    else
        fuzz::require(!error.isEmpty());

    const QString dir = fuzz::scratchDirectory("fuzz_ApkSigner");
    const QString input = dir + QStringLiteral("/in.apk");
    const QString output = dir + QStringLiteral("/out.apk");
    fuzz::writeInput(input, data, size);
    QFile::remove(output);
    error.clear();
    if (!SignApk(input, output, *g_key, &error)) {
        fuzz::require(!error.isEmpty());
        fuzz::require(!QFile::exists(output));
        return 0;
    }
    const int fd = ::open(QFile::encodeName(output).constData(), O_RDONLY | O_CLOEXEC);
    fuzz::require(fd >= 0);
    ZipDirectory directory;
    QString cause;
    const bool readable = ReadZipDirectory(fd, &directory, &cause);
    ::close(fd);
    fuzz::require(readable);
    int signatureFiles = 0;
    for (const ZipCentralEntry& entry : directory.entries)
        if (entry.rawName == "META-INF/MANIFEST.MF" || entry.rawName == "META-INF/CERT.SF" ||
            entry.rawName == "META-INF/CERT.EC")
            ++signatureFiles;
    fuzz::require(signatureFiles == 3);
    return 0;
}
