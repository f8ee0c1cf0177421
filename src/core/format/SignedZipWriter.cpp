#include "core/format/SignedZipWriter.h"

namespace signer {

QByteArray LocalHeader(const OutEntry& e) {
    QByteArray h;
    PutLe32(&h, 0x04034b50);
    PutLe16(&h, e.stored ? 10 : 20);
    PutLe16(&h, e.stored ? 0x0800 : 0x0808);
    PutLe16(&h, e.stored ? 0 : 8);
    PutLe16(&h, kEntryDosTime);
    PutLe16(&h, kEntryDosDate);
    PutLe32(&h, e.stored ? e.crc : 0);
    PutLe32(&h, e.stored ? static_cast<quint32>(e.compressedSize) : 0);
    PutLe32(&h, e.stored ? static_cast<quint32>(e.size) : 0);
    PutLe16(&h, static_cast<quint32>(e.name.size()));
    PutLe16(&h, static_cast<quint32>(e.extra.size()));
    return h + e.name + e.extra;
}

QByteArray CentralRecord(const OutEntry& e) {
    QByteArray h;
    PutLe32(&h, 0x02014b50);
    PutLe16(&h, e.versionMadeBy);
    PutLe16(&h, e.stored ? 10 : 20);
    PutLe16(&h, e.stored ? 0x0800 : 0x0808);
    PutLe16(&h, e.stored ? 0 : 8);
    PutLe16(&h, kEntryDosTime);
    PutLe16(&h, kEntryDosDate);
    PutLe32(&h, e.crc);
    PutLe32(&h, static_cast<quint32>(e.compressedSize));
    PutLe32(&h, static_cast<quint32>(e.size));
    PutLe16(&h, static_cast<quint32>(e.name.size()));
    PutLe16(&h, static_cast<quint32>(e.extra.size()));
    PutLe16(&h, 0);
    PutLe16(&h, 0);
    PutLe16(&h, 0);
    PutLe32(&h, e.externalAttributes);
    PutLe32(&h, static_cast<quint32>(e.offset));
    return h + e.name + e.extra;
}

} // namespace signer
