#include "core/package/SystemImage.h"

#include "core/base/ByteOrder.h"
#include "core/base/RandomAccessSource.h"
#include "core/base/UniqueFd.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kTransferList[] = "system.transfer.list";
constexpr char kNewDat[] = "system.new.dat";
constexpr char kNewDatBrotli[] = "system.new.dat.br";
constexpr char kImg[] = "system.img";

} // namespace

SystemImageForm SystemImageFormOf(const std::function<bool(const QString&)>& hasMember) {
    for (const BlockImagePartition& image : PartitionImagesOf(hasMember)) {
        if (image.name != QLatin1String("system"))
            continue;
        switch (image.form) {
        case BlockImageForm::NewDatBrotli:
            return SystemImageForm::NewDatBrotli;
        case BlockImageForm::NewDat:
            return SystemImageForm::NewDat;
        case BlockImageForm::Raw:
        case BlockImageForm::Sparse:
            return SystemImageForm::Img;
        }
    }
    return SystemImageForm::Files;
}

SystemImageForm SystemImageFormOf(const QStringList& memberNames) {
    return SystemImageFormOf([&](const QString& name) { return memberNames.contains(name); });
}

SystemImageForm SystemImageFormOfTree(const QString& treeRoot) {
    return SystemImageFormOf([&](const QString& name) {
        return QFileInfo(treeRoot + QLatin1Char('/') + name).isFile();
    });
}

QString SystemImageFormName(SystemImageForm form) {
    switch (form) {
    case SystemImageForm::Files:
        break;
    case SystemImageForm::NewDat:
        return QStringLiteral("%1 with %2")
            .arg(QLatin1String(kNewDat), QLatin1String(kTransferList));
    case SystemImageForm::NewDatBrotli:
        return QStringLiteral("%1 with %2")
            .arg(QLatin1String(kNewDatBrotli), QLatin1String(kTransferList));
    case SystemImageForm::Img:
        return QLatin1String(kImg);
    }
    return {};
}

QList<BlockImagePartition> PartitionImagesOf(const std::function<bool(const QString&)>& hasMember) {
    QList<BlockImagePartition> images;
    for (const char* name : kImagePartitions) {
        BlockImagePartition partition;
        partition.name = QLatin1String(name);
        bool found = false;
        for (BlockImageForm form :
             {BlockImageForm::NewDatBrotli, BlockImageForm::NewDat, BlockImageForm::Raw}) {
            partition.form = form;
            const QString list = partition.transferListMember();
            if (hasMember(partition.imageMember()) && (list.isEmpty() || hasMember(list))) {
                found = true;
                break;
            }
        }
        if (found)
            images.append(partition);
    }
    return images;
}

QStringList UneditedImagesOf(const std::function<bool(const QString&)>& hasMember) {
    QStringList named;
    if (hasMember(QStringLiteral("super.img")))
        named << QStringLiteral("super.img (dynamic partitions)");
    if (hasMember(QStringLiteral("payload.bin")))
        named << QStringLiteral("payload.bin (an A/B update)");
    return named;
}

bool HasVbmetaImage(const std::function<bool(const QString&)>& hasMember) {
    return hasMember(QStringLiteral("vbmeta.img"));
}

bool InspectRawImage(const QString& rawPath, RawImageFacts* facts, QString* error) {
    *facts = {};
    UniqueFd fd(::open(QFile::encodeName(rawPath).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0) {
        *error = QStringLiteral("cannot open the raw image %1: %2")
                     .arg(rawPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    facts->imageBytes = static_cast<quint64>(st.st_size);
    const FdSource source(fd.get(), facts->imageBytes);
    QString ignored;
    const auto readAt = [&](quint64 offset, char* data, qint64 size) {
        return source.readAt(offset, data, size, &ignored);
    };
    QByteArray super(1024, '\0');
    if (facts->imageBytes >= 2048 && readAt(1024, super.data(), super.size())) {
        const quint16 ext4Magic = static_cast<quint16>(static_cast<quint8>(super[0x38]) |
                                                       static_cast<quint8>(super[0x39]) << 8);
        if (ReadLe32(super.constData() + 0) == 0xE0F5E1E2u) {
            facts->fileSystem = RawImageFacts::FileSystem::Erofs;
        } else if (ext4Magic == 0xEF53) {
            const quint32 logBlock = ReadLe32(super.constData() + 0x18);
            if (logBlock <= 6) {
                facts->fileSystem = RawImageFacts::FileSystem::Ext4;
                facts->fileSystemBlockSize = 1024u << logBlock;
                const bool is64 = ReadLe32(super.constData() + 0x60) & 0x80; // INCOMPAT_64BIT
                const quint64 blocks =
                    ReadLe32(super.constData() + 0x4) |
                    (is64 ? quint64(ReadLe32(super.constData() + 0x150)) << 32 : 0);
                facts->fileSystemBytes = blocks * facts->fileSystemBlockSize;
            }
        }
    }
    if (facts->imageBytes >= 64) {
        char footer[4];
        if (readAt(facts->imageBytes - 64, footer, 4) && std::memcmp(footer, "AVBf", 4) == 0)
            facts->avbFooter = true;
    }
    // Verity metadata lies at a block after the filesystem and its hash tree.
    if (facts->fileSystem == RawImageFacts::FileSystem::Ext4) {
        constexpr quint64 kBlock = 4096;
        quint64 at = (facts->fileSystemBytes + kBlock - 1) / kBlock * kBlock;
        while (at + 4 <= facts->imageBytes && !facts->verityMetadata) {
            const off_t data = ::lseek(fd.get(), static_cast<off_t>(at), SEEK_DATA);
            if (data < 0)
                break;
            at = std::max(at, (static_cast<quint64>(data) + kBlock - 1) / kBlock * kBlock);
            char magic[4];
            if (at + 4 > facts->imageBytes || !readAt(at, magic, 4))
                break;
            facts->verityMetadata = ReadLe32(magic) == 0xB001B001u;
            at += kBlock;
        }
    }
    return true;
}

bool PartitionIsVerified(const RawImageFacts& facts, bool hasVbmeta) {
    return facts.verityMetadata || facts.avbFooter || hasVbmeta;
}

bool RecomputePartitionChecks(const QByteArray& script, const QString& partition,
                              const QString& rawPath, QByteArray* updated, QString* error) {
    // The device path names the partition as a path component ("…/by-name/system",
    // "…/system_a" is another slot's and not ours).
    const QString device =
        QStringLiteral("\"[^\"]*/%1\"").arg(QRegularExpression::escape(partition));
    const QRegularExpression verify(QStringLiteral("block_image_verify\\s*\\(\\s*") + device);
    const QString text = QString::fromLatin1(script);
    if (verify.match(text).hasMatch()) {
        *error = QStringLiteral("the updater-script verifies the %1 partition's source blocks "
                                "(block_image_verify), which an edit cannot keep true")
                     .arg(partition);
        return false;
    }
    const QRegularExpression check(QStringLiteral("range_sha1\\s*\\(\\s*") + device +
                                   QStringLiteral("\\s*,\\s*\"([0-9,]+)\"\\s*\\)\\s*([!=]=)\\s*"
                                                  "\"([0-9a-fA-F]{40})\""));
    QByteArray out = script;
    QRegularExpressionMatchIterator it = check.globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        const QStringList numbers = match.captured(1).split(QLatin1Char(','));
        QList<BlockRange> ranges;
        bool ok = numbers.size() >= 3 && numbers.size() % 2 == 1 &&
                  numbers[0].toLongLong() == numbers.size() - 1;
        for (qsizetype i = 1; ok && i + 1 < numbers.size(); i += 2) {
            bool a = false, b = false;
            ranges.append({numbers[i].toULongLong(&a), numbers[i + 1].toULongLong(&b)});
            ok = a && b && ranges.last().begin < ranges.last().end;
        }
        QByteArray sha1;
        QString cause = QStringLiteral("its ranges do not read");
        if (!ok || !BlockRangesSha1(rawPath, 4096, ranges, &sha1, &cause)) {
            *error = QStringLiteral("the updater-script's range_sha1 check of the %1 partition "
                                    "cannot be recomputed: %2")
                         .arg(partition, cause);
            return false;
        }
        out.replace(match.capturedStart(3), 40, sha1);
    }
    *updated = out;
    return true;
}
