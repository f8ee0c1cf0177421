// Android's compiled XML and resource tables over any bytes (an APK nobody
// here wrote): no crash, no read out of bounds, no allocation beyond the
// input. The first byte chooses the reader; for the resource table the next
// four are the id to resolve.

#include "core/format/BinaryXml.h"

#include <QByteArray>
#include <QString>
#include <QtEndian>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    QString error;
    if ((data[0] & 1) == 0) {
        // A copy of its own, so that a read past its end is seen.
        const QByteArray xml(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
        ManifestFacts facts;
        const bool ok = ReadBinaryManifest(xml, &facts, &error);
        require(ok || !error.isEmpty());
        return 0;
    }
    if (size < 5)
        return 0;
    const quint32 id = qFromLittleEndian<quint32>(data + 1);
    const QByteArray table(reinterpret_cast<const char*>(data + 5), qsizetype(size - 5));
    ResValue value;
    const bool ok = ResolveResource(table, id, &value, &error);
    require(ok ? value.type != ResValue::Reference : !error.isEmpty());
    return 0;
}
