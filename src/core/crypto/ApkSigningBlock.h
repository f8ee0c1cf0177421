#pragma once

#include "core/crypto/SignerDigest.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The APK signing block with its v2 and v3 signers, as signapk writes it.

namespace signer {

inline constexpr qint64 kPage = 4096;

// The chunked digest of the signed sections as the v2 and v3 schemes define
// it: the entries' chunk digests (made as they were written), then those of
// the central directory and the end record.
QByteArray ContentDigest(QList<QByteArray> chunkDigests, const QByteArray& directory,
                         const QByteArray& endRecord, Digest d);

// The signing block over the content digest: a v2 and a v3 signer with the
// key's algorithm, padded to a whole number of pages.
bool SigningBlock(const SigningKey& key, quint32 algorithm, Digest digest,
                  const QByteArray& contentDigest, QByteArray* block, QString* error);

} // namespace signer
