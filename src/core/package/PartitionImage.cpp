#include "core/package/PartitionImage.h"

#include "core/base/ToolRunner.h"
#include "core/format/SparseImage.h"
#include "core/package/ApkRules.h"

#include <QDir>
#include <QTemporaryDir>

#include <algorithm>

namespace {

// A random-access source read as a device.
class SourceDevice : public QIODevice {
public:
    explicit SourceDevice(std::unique_ptr<RandomAccessSource> source)
        : m_source(std::move(source)) {}
    bool isSequential() const override { return false; }
    qint64 size() const override { return static_cast<qint64>(m_source->size()); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 left = size() - pos();
        const qint64 count = std::min(maxSize, left);
        if (count <= 0)
            return 0;
        QString error;
        if (!m_source->readAt(static_cast<quint64>(pos()), data, count, &error)) {
            setErrorString(error);
            return -1;
        }
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    std::unique_ptr<RandomAccessSource> m_source;
};

bool IsApkName(const QString& name) {
    return name.endsWith(QLatin1String(".apk"), Qt::CaseInsensitive);
}

} // namespace

std::optional<BlockImagePartition> PartitionImageIn(const PackageMemberSource& members,
                                                    const QString& partition) {
    for (BlockImagePartition image :
         PartitionImagesOf([&members](const QString& name) { return members.has(name); })) {
        if (image.name != partition)
            continue;
        if (image.form == BlockImageForm::Raw) {
            QByteArray head;
            QString ignored;
            members.read(
                image.imageMember(),
                [&](const char* data, qint64 size) {
                    head.append(data, std::min<qint64>(size, 4 - head.size()));
                    return head.size() < 4;
                },
                &ignored);
            if (IsSparseImage(head.constData(), head.size()))
                image.form = BlockImageForm::Sparse;
        }
        return image;
    }
    return std::nullopt;
}

QString PartitionMountPoint(const QString& partition) {
    return QLatin1Char('/') + partition;
}

PartitionImageWork::PartitionImageWork() = default;
PartitionImageWork::~PartitionImageWork() = default;

bool PartitionImageWork::open(const PackageMemberSource& members,
                              const BlockImagePartition& partition, Ext4Image::Mode mode,
                              ToolRunner& runner, QString* cause) {
    m_folder =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvane-image-XXXXXX"));
    if (!m_folder->isValid()) {
        if (cause)
            *cause = m_folder->errorString();
        return false;
    }
    m_rawPath = m_folder->filePath(partition.name + QStringLiteral(".raw"));
    if (!DecodeBlockImage(members, partition, m_rawPath, &m_layout, cause))
        return false;
    m_image = Ext4Image::Open(m_rawPath, mode, PartitionMountPoint(partition.name), runner, cause);
    return m_image != nullptr;
}

bool PartitionImageWork::finish(ToolRunner& runner, QString* cause) {
    if (!m_image)
        return false;
    if (!m_image->close(cause))
        return false;
    return Ext4Image::Check(m_rawPath, runner, cause);
}

QStringList ApkMembersInImage(const Ext4Image& image, const QString& partition) {
    QStringList members;
    const QString prefix = partition + QLatin1Char('/');
    for (const ApkFolder& place : kApkPlaces) {
        const QString folderMember = QLatin1String(place.member);
        if (!folderMember.startsWith(prefix))
            continue;
        const QString folder = folderMember.mid(prefix.size()).chopped(1); // "app"
        QList<Ext4Entry> entries;
        if (!image.list(folder, &entries, nullptr))
            continue;
        for (const Ext4Entry& entry : entries) {
            const QString path = folder + QLatin1Char('/') + entry.name;
            if (entry.kind == Ext4Entry::Kind::File && IsApkName(entry.name)) {
                members << prefix + path;
            } else if (entry.kind == Ext4Entry::Kind::Folder) {
                QList<Ext4Entry> inner;
                if (!image.list(path, &inner, nullptr))
                    continue;
                for (const Ext4Entry& file : inner)
                    if (file.kind == Ext4Entry::Kind::File && IsApkName(file.name))
                        members << prefix + path + QLatin1Char('/') + file.name;
            }
        }
    }
    std::sort(members.begin(), members.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return members;
}

std::unique_ptr<QIODevice> OpenImageFileDevice(const Ext4Image& image, const QString& path,
                                               QString* cause) {
    std::unique_ptr<RandomAccessSource> source = image.openFile(path, cause);
    if (!source)
        return nullptr;
    auto device = std::make_unique<SourceDevice>(std::move(source));
    device->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    return device;
}
