#include "core/crypto/ApkMemberPool.h"

namespace signer {

PreparedMember DeflateGenerated(const QByteArray& data) {
    PreparedMember m;
    Deflater deflater(kDeflateLevel);
    const auto append = [&](const char* p, qint64 n) {
        m.bytes.append(p, n);
        return true;
    };
    m.size = static_cast<quint64>(data.size());
    m.ok = deflater.feed(data.constData(), data.size(), false, append, &m.cause) &&
           deflater.feed(nullptr, 0, true, append, &m.cause);
    return m;
}

} // namespace signer
