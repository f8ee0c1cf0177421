// The APK reader over any bytes read as a device: no crash, no read out of
// bounds, no allocation beyond its limits, and facts it gives keep their
// promises (sorted ABIs, digests of 32 bytes, schemes that match them).

#include "core/package/ApkInsight.h"

#include <QBuffer>
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

void checkDigest(const QByteArray& digest, const ApkFacts& facts, int scheme) {
    require(digest.isEmpty() || digest.size() == 32);
    require(digest.isEmpty() != facts.signatureSchemes.contains(scheme));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    ApkFacts facts;
    QString error;
    if (!ReadApkFacts(buffer, &facts, &error)) {
        require(!error.isEmpty());
        return 0;
    }
    require(facts.size == qint64(size));
    QStringList sorted = facts.abis;
    sorted.sort();
    require(sorted == facts.abis);
    checkDigest(facts.v1CertificateSha256, facts, 1);
    checkDigest(facts.v2CertificateSha256, facts, 2);
    checkDigest(facts.v3CertificateSha256, facts, 3);
    return 0;
}
