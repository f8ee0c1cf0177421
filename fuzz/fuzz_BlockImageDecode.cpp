// A partition image decoded from hostile members: the first byte picks the
// form (raw or sparse .img, .new.dat, .new.dat.br), the next two the length
// of the transfer list, the rest is the list then the image member. No
// crash, cost bounded by the input (a list may name a 1 TiB image: its
// blocks stay holes), and on failure no raw image is left behind.

#include "core/format/BlockImageCodec.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QFile>
#include <QMap>

#include <algorithm>

using fuzz::require;

namespace {

class MemoryMembers : public PackageMemberSource {
public:
    QMap<QString, QByteArray> members;
    bool has(const QString& name) const override { return members.contains(name); }
    quint64 size(const QString& name) const override {
        return static_cast<quint64>(members.value(name).size());
    }
    bool read(const QString& name, const std::function<bool(const char*, qint64)>& sink,
              QString* error) const override {
        const QByteArray bytes = members.value(name);
        // In pieces, as a member's bytes arrive.
        for (qsizetype at = 0; at < bytes.size(); at += 4096) {
            if (!sink(bytes.constData() + at, std::min<qsizetype>(4096, bytes.size() - at))) {
                *error = QStringLiteral("stopped");
                return false;
            }
        }
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    BlockImagePartition partition;
    switch (data[0] % 3) {
    case 0:
        partition.form = BlockImageForm::Raw;
        break;
    case 1:
        partition.form = BlockImageForm::NewDat;
        break;
    default:
        partition.form = BlockImageForm::NewDatBrotli;
        break;
    }
    const qsizetype listSize =
        std::min<qsizetype>(static_cast<qsizetype>(size) - 3, data[1] | data[2] << 8);
    MemoryMembers members;
    const QByteArray list(bytes + 3, listSize);
    const QByteArray image(bytes + 3 + listSize, static_cast<qsizetype>(size) - 3 - listSize);
    members.members.insert(partition.imageMember(), image);
    if (!partition.transferListMember().isEmpty())
        members.members.insert(partition.transferListMember(), list);

    const QString raw =
        fuzz::scratchDirectory("fuzz_BlockImageDecode") + QStringLiteral("/raw.img");
    QFile::remove(raw);
    BlockImageLayout layout;
    QString error;
    if (DecodeBlockImage(members, partition, raw, &layout, &error)) {
        require(QFile(raw).size() == static_cast<qint64>(layout.imageSize));
        QFile::remove(raw);
    } else {
        require(!error.isEmpty());
        require(!QFile::exists(raw));
    }
    return 0;
}
