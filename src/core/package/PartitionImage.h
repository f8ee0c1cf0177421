#pragma once

#include "core/format/BlockImageCodec.h"
#include "core/format/Ext4Image.h"
#include "core/package/SystemImage.h"

#include <QIODevice>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QTemporaryDir;
class ToolRunner;

// A partition a package carries as an ext4 image (system, vendor): its form,
// decoded once into a raw working image below TMPDIR (a sparse file), opened
// there to be read or edited in place, and encoded back into its form.

// The form the package carries the partition in; none when it carries no
// image of it (files, or nothing). A NAME.img is told raw or sparse by its
// first bytes.
std::optional<BlockImagePartition> PartitionImageIn(const PackageMemberSource& members,
                                                    const QString& partition);

// Where the partition is mounted on the device ("/system").
QString PartitionMountPoint(const QString& partition);

class PartitionImageWork {
public:
    PartitionImageWork();
    ~PartitionImageWork();

    // Decodes the partition into a raw image in a private folder below TMPDIR
    // and opens it (after e2fsck calls it clean). False with the cause.
    bool open(const PackageMemberSource& members, const BlockImagePartition& partition,
              Ext4Image::Mode mode, ToolRunner& runner, QString* cause);

    Ext4Image& image() { return *m_image; }
    const Ext4Image& image() const { return *m_image; }
    const BlockImageLayout& layout() const { return m_layout; }
    const QString& rawPath() const { return m_rawPath; }

    // Writes the edits out, closes the image and checks it again with e2fsck.
    bool finish(ToolRunner& runner, QString* cause);

private:
    std::unique_ptr<QTemporaryDir> m_folder;
    QString m_rawPath;
    BlockImageLayout m_layout;
    std::unique_ptr<Ext4Image> m_image;
};

// The APKs inside the image as package members ("system/app/Foo/Foo.apk"):
// those of the APK places of that partition, flat or in a folder of their
// own, in case-insensitive order.
QStringList ApkMembersInImage(const Ext4Image& image, const QString& partition);

// A file of the image as an open, read-only, random-access device; the image
// must outlive it.
std::unique_ptr<QIODevice> OpenImageFileDevice(const Ext4Image& image, const QString& path,
                                               QString* cause);
