#include "core/crypto/SignerDigest.h"

#include "core/base/ErrorText.h"
#include "core/format/SignedZipWriter.h"

namespace signer {

const EVP_MD* Md(Digest d) {
    switch (d) {
    case Digest::Sha1:
        return EVP_sha1();
    case Digest::Sha256:
        return EVP_sha256();
    case Digest::Sha512:
        return EVP_sha512();
    }
    return EVP_sha256();
}

QByteArray Hash(Digest d, const QByteArray& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.constData(), static_cast<size_t>(data.size()), out, &n, Md(d), nullptr);
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
}

bool Sign(const SigningKey& key, Digest d, const QByteArray& data, QByteArray* signature,
          QString* error) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t n = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, Md(d), nullptr, key.privateKey()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &n,
                       reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<size_t>(data.size())) != 1)
        return Fail(error, QStringLiteral("the signature cannot be made"));
    signature->resize(static_cast<qsizetype>(n));
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()), &n,
                       reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<size_t>(data.size())) != 1)
        return Fail(error, QStringLiteral("the signature cannot be made"));
    signature->resize(static_cast<qsizetype>(n));
    return true;
}

QByteArray ChunkDigest(Digest d, const char* data, qint64 size) {
    QByteArray prefix(1, static_cast<char>(0xa5));
    PutLe32(&prefix, static_cast<quint32>(size));
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_DigestInit_ex(md.get(), Md(d), nullptr);
    EVP_DigestUpdate(md.get(), prefix.constData(), 5);
    EVP_DigestUpdate(md.get(), data, static_cast<size_t>(size));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(md.get(), out, &n);
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
}

} // namespace signer
