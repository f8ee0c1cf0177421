#pragma once

#include "core/crypto/SigningKey.h"

#include <QByteArray>
#include <QString>

#include <openssl/evp.h>

#include <memory>

// The digests and signatures of the APK signer.

namespace signer {

struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

enum class Digest { Sha1, Sha256, Sha512 };

const EVP_MD* Md(Digest d);
QByteArray Hash(Digest d, const QByteArray& data);
// The signature of data with the key, made over its digest d.
bool Sign(const SigningKey& key, Digest d, const QByteArray& data, QByteArray* signature,
          QString* error);
// The digest of one chunk of the signed sections as the v2 and v3 schemes
// define it: a marker, the chunk's size, its bytes.
QByteArray ChunkDigest(Digest d, const char* data, qint64 size);

} // namespace signer
