#pragma once

#include "core/format/BlockImageCodec.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// How a package carries its system partition. A block-based package carries
// it as an ext4 image: "system.new.dat" or "system.new.dat.br" (brotli) with
// "system.transfer.list", or "system.img" (raw or sparse). The device installs
// the image, so system/ members beside it never reach it: APK and build.prop
// edits of such a package are refused.
enum class SystemImageForm {
    Files,        // system/... members, the form the edits work on
    NewDat,       // system.new.dat + system.transfer.list
    NewDatBrotli, // system.new.dat.br + system.transfer.list
    Img,          // system.img
};

// The form from whether the package has a member of a given name at its root.
SystemImageForm SystemImageFormOf(const std::function<bool(const QString&)>& hasMember);
// The same from the package's member names.
SystemImageForm SystemImageFormOf(const QStringList& memberNames);
// The same from the files at the root of an extracted tree.
SystemImageForm SystemImageFormOfTree(const QString& treeRoot);

// Names the form for a message: "system.new.dat.br with system.transfer.list",
// "system.img"; empty for Files.
QString SystemImageFormName(SystemImageForm form);

// The partitions that may be carried as an image, in the order info tells them.
inline constexpr const char* kImagePartitions[] = {"system", "vendor"};

// The partition images a package carries at its root that the edits work on:
// for system and vendor (in that order), NAME.new.dat.br or NAME.new.dat with
// NAME.transfer.list, else NAME.img (raw or sparse: its first bytes tell when
// it is decoded, BlockImageForm::Raw here).
QList<BlockImagePartition> PartitionImagesOf(const std::function<bool(const QString&)>& hasMember);

// The images a package carries that are named but never edited, each with
// what it is: "super.img (dynamic partitions)", "payload.bin (an A/B
// update)". An EROFS image is told by its bytes (RawImageFacts).
QStringList UneditedImagesOf(const std::function<bool(const QString&)>& hasMember);

// Whether the package carries vbmeta.img (AVB's top-level signature).
bool HasVbmetaImage(const std::function<bool(const QString&)>& hasMember);

// What a raw partition image's bytes tell: its filesystem (the superblock at
// 1024: ext4's magic 0xEF53, EROFS's 0xE0F5E1E2), the ext4 filesystem's size
// and block size, and whether verity metadata (magic 0xB001B001 at a block
// past the filesystem's end) or an AVB footer ("AVBf" in the image's last 64
// bytes) follows it.
struct RawImageFacts {
    enum class FileSystem { Unknown, Ext4, Erofs };
    FileSystem fileSystem = FileSystem::Unknown;
    quint64 fileSystemBytes = 0;
    quint32 fileSystemBlockSize = 0;
    quint64 imageBytes = 0;
    bool verityMetadata = false;
    bool avbFooter = false;
};
bool InspectRawImage(const QString& rawPath, RawImageFacts* facts, QString* error);

// Whether an edited partition would be refused by the device (dm-verity or
// AVB): the warning Msg::VerifiedPartitionWarning is then due.
bool PartitionIsVerified(const RawImageFacts& facts, bool hasVbmeta);

// The updater-script's checks of the partition's blocks made true again for
// the edited image at rawPath: every range_sha1("…/NAME…", "RANGES") compared
// with a digest gets the digest of those blocks now. False with the cause,
// and the script untouched, when a check cannot be recomputed: a
// block_image_verify of the partition (it checks a source image an
// incremental package patches), ranges outside the image.
bool RecomputePartitionChecks(const QByteArray& script, const QString& partition,
                              const QString& rawPath, QByteArray* updated, QString* error);
