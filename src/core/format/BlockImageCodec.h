#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class OpenedZip;

// A partition carried in a package as a block image, taken out to a raw image
// file (decode) and put back into the members of the form it came in
// (encode). The forms:
//   Raw           NAME.img, the image's bytes as they are
//   Sparse        NAME.img, an Android sparse image (magic 0xED26FF3A)
//   NewDat        NAME.new.dat + NAME.transfer.list + NAME.patch.dat (empty)
//   NewDatBrotli  NAME.new.dat.br (brotli) + NAME.transfer.list + NAME.patch.dat
enum class BlockImageForm { Raw, Sparse, NewDat, NewDatBrotli };

// The form's word for messages and info: "raw", "sparse", "dat", "dat.br".
QString BlockImageFormWord(BlockImageForm form);

// A partition's image in a package: the partition's name and the form, from
// which the members' names follow.
struct BlockImagePartition {
    QString name = QStringLiteral("system"); // "system", "vendor"
    BlockImageForm form = BlockImageForm::Raw;

    // NAME.img, NAME.new.dat or NAME.new.dat.br.
    QString imageMember() const;
    // NAME.transfer.list and NAME.patch.dat; empty for the .img forms.
    QString transferListMember() const;
    QString patchMember() const;
    // Every member of the form, in the order the encoder writes them.
    QStringList memberNames() const;
};

// The members of a package, read by the exact name a device looks them up by.
class PackageMemberSource {
public:
    virtual ~PackageMemberSource() = default;
    virtual bool has(const QString& name) const = 0;
    // The member's uncompressed size (0 when it has none).
    virtual quint64 size(const QString& name) const = 0;
    // Streams the member's bytes to sink; a sink answering false stops the
    // reading. False with the cause.
    virtual bool read(const QString& name, const std::function<bool(const char*, qint64)>& sink,
                      QString* error) const = 0;
};

// The members of an open archive (checked as the device checks them while
// they are read). The archive must outlive it.
class ZipPackageMembers : public PackageMemberSource {
public:
    explicit ZipPackageMembers(const OpenedZip& zip) : m_zip(zip) {}
    bool has(const QString& name) const override;
    quint64 size(const QString& name) const override;
    bool read(const QString& name, const std::function<bool(const char*, qint64)>& sink,
              QString* error) const override;

private:
    int indexOf(const QString& name) const;
    const OpenedZip& m_zip;
};

// The members as files at the root of a folder (an extracted tree).
class FolderPackageMembers : public PackageMemberSource {
public:
    explicit FolderPackageMembers(QString folder) : m_folder(std::move(folder)) {}
    bool has(const QString& name) const override;
    quint64 size(const QString& name) const override;
    bool read(const QString& name, const std::function<bool(const char*, qint64)>& sink,
              QString* error) const override;

private:
    QString m_folder;
};

// What decoding learnt of the form that encoding needs to write it again.
struct BlockImageLayout {
    BlockImagePartition partition;
    quint32 blockSize = 4096; // the transfer list's and sparse image's block
    quint64 imageSize = 0;    // the raw image's size in bytes
    // The transfer-list forms: the list's version (1 to 4), and whether it
    // erased the blocks it did not write (else it zeroed them, or left them).
    int transferListVersion = 4;
    bool freeBlocksErased = true;
};

// A half-open range of blocks [begin, end).
struct BlockRange {
    quint64 begin = 0;
    quint64 end = 0;
    friend bool operator==(const BlockRange&, const BlockRange&) = default;
};

// Progress of a decode or an encode in bytes of the raw image; answering
// false cancels (the call then fails with kBlockImageCancelled as its cause
// and leaves nothing behind). May be empty.
using BlockImageProgress = std::function<bool(quint64 done, quint64 total)>;
inline constexpr char kBlockImageCancelled[] = "cancelled";

// Brotli's quality for an encoded .new.dat.br when none is asked for.
inline constexpr int kDefaultBrotliQuality = 6;

// Streams the partition's image out of the package into a raw image file
// created exclusively at rawPath (sparse on disk: blocks of zeros are holes).
// Refused with the cause, before the file is made, for an incremental package
// (transfer-list commands other than new, zero and erase, or a non-empty
// patch file), a transfer list or sparse image that does not hold together,
// a missing member. On failure or cancel the file is removed. layout gets
// what Encode needs to write the same form.
bool DecodeBlockImage(const PackageMemberSource& members, const BlockImagePartition& partition,
                      const QString& rawPath, BlockImageLayout* layout, QString* error,
                      const BlockImageProgress& progress = {});

// Where the encoded members go, one at a time: begin, the bytes, end.
class BlockImageMemberSink {
public:
    virtual ~BlockImageMemberSink() = default;
    virtual bool begin(const QString& member, QString* error) = 0;
    virtual bool write(const char* data, qint64 size, QString* error) = 0;
    virtual bool end(QString* error) = 0;
};

struct BlockImageEncodeOptions {
    int brotliQuality = kDefaultBrotliQuality; // 0 to 11
    // Free blocks as zero instead of erase, for devices whose discard fails.
    bool noErase = false;
    // The blocks the filesystem uses (ext4's block bitmap), in blocks of
    // usedBlockSize (the filesystem's), in any order. None: every block is
    // used. A block of the form's (4 KiB for a transfer list) is used when
    // any of its bytes is. Free blocks are left out of the new data (erased
    // or zeroed by the transfer list, don't care in a sparse image).
    std::optional<QList<BlockRange>> usedBlocks;
    quint32 usedBlockSize = 4096;
};

// What an encode wrote: the members (name and size), and for the
// transfer-list forms the new list's text.
struct BlockImageEncoded {
    QList<QPair<QString, quint64>> members;
    QByteArray transferList;
};

// Encodes the raw image at rawPath into the members of layout's form, in the
// order of memberNames(), to sink. The encoded image member is decoded again
// as it is written and compared with what it was made from (its digest): a
// difference fails the encode. Sizes must agree with layout (the image's
// size a multiple of its block size for the transfer-list and sparse forms).
bool EncodeBlockImage(const QString& rawPath, const BlockImageLayout& layout,
                      const BlockImageEncodeOptions& options, BlockImageMemberSink& sink,
                      BlockImageEncoded* encoded, QString* error,
                      const BlockImageProgress& progress = {});

// The same into files named as the members in folder, each through a
// temporary created exclusively and renamed into place once whole; files
// gets their paths in member order. On failure no file of this call stays.
bool EncodeBlockImageToFolder(const QString& rawPath, const BlockImageLayout& layout,
                              const BlockImageEncodeOptions& options, const QString& folder,
                              QStringList* files, BlockImageEncoded* encoded, QString* error,
                              const BlockImageProgress& progress = {});

// The SHA-1 (hex, lower case) of the raw image's blocks in ranges, as an
// updater-script's range_sha1 computes it. False with the cause for a range
// outside the image.
bool BlockRangesSha1(const QString& rawPath, quint32 blockSize, const QList<BlockRange>& ranges,
                     QByteArray* hexSha1, QString* error);
