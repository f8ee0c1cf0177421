#include "core/crypto/ApkSigningBlock.h"

#include "core/format/SignedZipWriter.h"

#include <algorithm>

namespace signer {

namespace {

constexpr quint32 kV2BlockId = 0x7109871a;
constexpr quint32 kV3BlockId = 0xf05368c0;
constexpr quint32 kPaddingBlockId = 0x42726577;
constexpr quint32 kStrippingProtectionId = 0xbeeff00d;
// The lowest platform the v3 signer names, whatever the APK's minSdkVersion
// (what signapk writes).
constexpr int kV3MinSdk = 24;

// One signer of a v2 (v3 when v3) block.
bool SchemeSigner(const SigningKey& key, quint32 algorithm, Digest signDigest,
                  const QByteArray& contentDigest, bool v3, int minSdk, bool alsoV3,
                  QByteArray* block, QString* error) {
    QByteArray digest;
    PutLe32(&digest, algorithm);
    digest += LengthPrefixed(contentDigest);
    QByteArray signedData = LengthPrefixed(LengthPrefixed(digest)) +
                            LengthPrefixed(LengthPrefixed(key.certificateDer()));
    if (v3) {
        PutLe32(&signedData, static_cast<quint32>(minSdk));
        PutLe32(&signedData, 0x7fffffff);
        signedData += LengthPrefixed({});
    } else {
        QByteArray attributes;
        if (alsoV3) {
            QByteArray attribute;
            PutLe32(&attribute, kStrippingProtectionId);
            PutLe32(&attribute, 3);
            attributes = LengthPrefixed(attribute);
        }
        signedData += LengthPrefixed(attributes) + LengthPrefixed({});
    }
    QByteArray signature;
    if (!Sign(key, signDigest, signedData, &signature, error))
        return false;
    QByteArray signatureRecord;
    PutLe32(&signatureRecord, algorithm);
    signatureRecord += LengthPrefixed(signature);
    QByteArray signer = LengthPrefixed(signedData);
    if (v3) {
        PutLe32(&signer, static_cast<quint32>(minSdk));
        PutLe32(&signer, 0x7fffffff);
    }
    signer += LengthPrefixed(LengthPrefixed(signatureRecord)) + LengthPrefixed(key.publicKeyDer());
    *block = LengthPrefixed(LengthPrefixed(signer));
    return true;
}

QByteArray Pair(quint32 id, const QByteArray& value) {
    QByteArray pair;
    PutLe64(&pair, static_cast<quint64>(value.size()) + 4);
    PutLe32(&pair, id);
    return pair + value;
}

} // namespace

QByteArray ContentDigest(QList<QByteArray> chunkDigests, const QByteArray& directory,
                         const QByteArray& endRecord, Digest d) {
    for (const QByteArray* section : {&directory, &endRecord})
        for (qsizetype pos = 0; pos < section->size(); pos += kChunk)
            chunkDigests.append(ChunkDigest(d, section->constData() + pos,
                                            std::min<qsizetype>(section->size() - pos, kChunk)));
    QByteArray top(1, static_cast<char>(0x5a));
    PutLe32(&top, static_cast<quint32>(chunkDigests.size()));
    for (const QByteArray& c : chunkDigests)
        top.append(c);
    return Hash(d, top);
}

bool SigningBlock(const SigningKey& key, quint32 algorithm, Digest digest,
                  const QByteArray& contentDigest, QByteArray* block, QString* error) {
    QByteArray v2Block, v3Block;
    if (!SchemeSigner(key, algorithm, digest, contentDigest, false, 0, true, &v2Block, error) ||
        !SchemeSigner(key, algorithm, digest, contentDigest, true, kV3MinSdk, true, &v3Block,
                      error))
        return false;
    QByteArray pairs = Pair(kV2BlockId, v2Block) + Pair(kV3BlockId, v3Block);
    qint64 total = 8 + pairs.size() + 8 + 16;
    if (total % kPage != 0) {
        qint64 pad = kPage - total % kPage;
        if (pad < 12)
            pad += kPage;
        pairs += Pair(kPaddingBlockId, QByteArray(static_cast<qsizetype>(pad - 12), '\0'));
        total += pad;
    }
    block->clear();
    PutLe64(block, static_cast<quint64>(total - 8));
    *block += pairs;
    PutLe64(block, static_cast<quint64>(total - 8));
    *block += "APK Sig Block 42";
    return true;
}

} // namespace signer
