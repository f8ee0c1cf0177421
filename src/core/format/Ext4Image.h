#pragma once

#include "core/base/RandomAccessSource.h"
#include "core/format/BlockImageCodec.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

class QTemporaryFile;
class ToolRunner;
struct selabel_handle;

// Where a partition's files lie in its image: at the image's root (app/,
// priv-app/, build.prop) or below system/ (system-as-root).
enum class Ext4Layout {
    Classic,
    SystemAsRoot,
};

// The facts of an image's filesystem.
struct Ext4Facts {
    quint64 blockSize = 0;
    quint64 blockCount = 0;
    quint64 freeBlocks = 0;
    quint64 freeInodes = 0;
    bool sharedBlocks = false; // blocks deduplicated between files
    bool hasJournal = false;
    Ext4Layout layout = Ext4Layout::Classic;

    quint64 size() const { return blockSize * blockCount; }
    quint64 freeBytes() const { return blockSize * freeBlocks; }
};

// One entry of a folder in the image.
struct Ext4Entry {
    enum class Kind { File, Folder, Link, Other };
    QString name;
    Kind kind = Kind::Other;
    quint64 size = 0;
    quint32 inode = 0;
};

// What a file or folder carries besides its bytes.
struct Ext4Stat {
    quint32 inode = 0;
    quint32 mode = 0; // type and permission bits
    quint32 uid = 0;
    quint32 gid = 0;
    quint64 size = 0;
    quint64 mtime = 0;
    QByteArray label; // security.selinux as stored (empty: none)
    bool hasCapabilities = false;
};

// An ext4 image file opened without mounting it (libext2fs): read, listed and
// edited in place by a plain user. Paths are relative to the partition's root
// ("app/Foo/Foo.apk"), whatever the layout; the image's own paths carry the
// "system/" of system-as-root. libext2fs is not hardened against hostile
// images: an image is checked with e2fsck (Check) before it is opened.
//
// Not thread safe by itself: the sources it hands out share its lock, so
// readers on several threads take turns.
class Ext4Image {
public:
    enum class Mode { ReadOnly, ReadWrite };

    ~Ext4Image();
    Ext4Image(const Ext4Image&) = delete;
    Ext4Image& operator=(const Ext4Image&) = delete;

    // Runs "e2fsck -fn" on the image file: true when it calls it clean, else
    // false with the cause (its first findings).
    static bool Check(const QString& imagePath, ToolRunner& runner, QString* cause);

    // Opens the image file. Refused, with the cause: a file that is no ext2/3/4
    // filesystem, one that is not ext4 (no extents), one that needs its
    // journal replayed, and for writing one with shared_blocks (a block freed
    // by a delete may still be another file's). mountPoint is where the
    // partition is mounted on the device ("/system", "/vendor"): the label
    // lookup in the image's file_contexts uses it.
    // The image is checked first (Check): an image e2fsck does not call clean
    // is refused with its findings.
    static std::unique_ptr<Ext4Image> Open(const QString& imagePath, Mode mode,
                                           const QString& mountPoint, ToolRunner& runner,
                                           QString* cause);

    const Ext4Facts& facts() const { return m_facts; }
    // The partition's root inside the image: "" or "system/".
    QString rootPrefix() const;

    // The image's file (the one opened).
    const QString& path() const { return m_path; }

    // The folder's entries ("." and ".." left out), in the order stored.
    bool list(const QString& folder, QList<Ext4Entry>* entries, QString* cause) const;
    bool exists(const QString& path) const;
    bool stat(const QString& path, Ext4Stat* stat, QString* cause) const;
    // A regular file's bytes as a source that reads the image on demand; it
    // must not outlive this image nor an edit of the file.
    std::unique_ptr<RandomAccessSource> openFile(const QString& path, QString* cause) const;
    // A regular file's bytes read whole, refused beyond limit bytes.
    bool readFile(const QString& path, qint64 limit, QByteArray* bytes, QString* cause) const;

    // Edits (ReadWrite only). Each checks first and changes nothing when it
    // refuses. New files and folders are owned by 0:0 with modes 0644 and
    // 0755, stamped with the time set by setTime, carry no capabilities, and
    // take their label from a sibling of the same kind, else from the
    // image's file_contexts; without one the edit is refused naming the file.
    void setTime(qint64 secondsSinceEpoch) { m_time = secondsSinceEpoch; }
    // Adds a file (missing parent folders are made) with the bytes of the
    // source file on disk; an existing file of that path is refused.
    bool addFile(const QString& path, const QString& sourceFile, QString* cause);
    bool addFileBytes(const QString& path, const QByteArray& bytes, QString* cause);
    // Makes a folder and its missing parents.
    bool addFolder(const QString& path, QString* cause);
    // Replaces a regular file's bytes; its inode, owner, mode, label and
    // capabilities stay.
    bool replaceFile(const QString& path, const QByteArray& bytes, QString* cause);
    // Deletes a file or a folder with everything below it.
    bool remove(const QString& path, QString* cause);

    // The bytes a set of files of these sizes takes, with their metadata.
    quint64 bytesNeededFor(const QList<quint64>& fileSizes) const;
    // The bytes a file or folder tree holds (freed by deleting it).
    quint64 bytesHeldBy(const QString& path) const;

    // The blocks the filesystem uses, from its block bitmap (the boot block
    // before the first data block included), as ascending runs in blocks of
    // facts().blockSize: what an encoder of the image must carry.
    bool usedBlocks(QList<BlockRange>* ranges, QString* cause) const;

    // Writes everything out and closes the image; false with the cause.
    bool close(QString* cause);

private:
    struct Fs;
    Ext4Image() = default;

    quint32 lookup(const QString& path) const; // 0: not there
    // The readers' bodies, for callers that hold the lock.
    bool listUnlocked(const QString& folder, QList<Ext4Entry>* entries, QString* cause) const;
    bool statUnlocked(const QString& path, Ext4Stat* stat, QString* cause) const;
    bool readFileUnlocked(const QString& path, qint64 limit, QByteArray* bytes,
                          QString* cause) const;
    bool labelFor(const QString& path, bool folder, QByteArray* label, QString* cause);
    bool makeFolders(const QString& path, quint32* inode, QString* cause);
    bool writeNewFile(const QString& path, const std::function<bool(quint32 inode, QString*)>& fill,
                      QString* cause);
    bool removeInode(quint32 parent, const QString& name, quint32 inode, QString* cause);
    bool setLabel(quint32 inode, const QByteArray& label, QString* cause);

    std::unique_ptr<Fs> m_fs;
    Ext4Facts m_facts;
    QString m_path;
    QString m_mountPoint;
    qint64 m_time = 0;
    mutable std::shared_ptr<std::mutex> m_lock = std::make_shared<std::mutex>();
    // The image's file_contexts, read on first need.
    bool m_contextsLoaded = false;
    std::unique_ptr<QTemporaryFile> m_contextsFile; // the image's copy, extracted
    selabel_handle* m_labels = nullptr;
};
