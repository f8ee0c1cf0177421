#include "core/format/Ext4Image.h"

#include "core/base/Messages.h"
#include "core/base/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <ext2fs/ext2fs.h>
#include <selinux/label.h>
#include <selinux/selinux.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

// Exported by libext2fs (debugfs and fuse2fs use it) but left out of its header.
extern "C" errcode_t ext2fs_inline_data_expand(ext2_filsys fs, ext2_ino_t ino);

namespace {

constexpr char kLabelKey[] = "security.selinux";
constexpr char kCapabilityKey[] = "security.capability";

// Where the image's label rules may lie, relative to the partition's root;
// the last ones at the root of a system-as-root image.
const char* const kContextsFiles[] = {
    "etc/selinux/plat_file_contexts",
    "etc/selinux/vendor_file_contexts",
    "file_contexts",
    "file_contexts.bin",
};

QString LibraryError(const char* what, errcode_t error) {
    static const bool tableAdded = [] {
        initialize_ext2_error_table();
        return true;
    }();
    (void)tableAdded;
    return Msg::ImageLibraryError(QString::fromLatin1(what),
                                  QString::fromLocal8Bit(error_message(error)));
}

// A tool of e2fsprogs: on the PATH, else in the system folders a plain
// user's PATH may leave out.
QString E2fsprogsTool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return found.isEmpty() ? name : found;
}

QString Extension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot <= 0 ? QString() : name.mid(dot).toLower();
}

QString ParentOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : path.left(slash);
}

QString NameOf(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString Join(const QString& folder, const QString& name) {
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

// Paths are relative and plain: no empty, "." or ".." parts.
QString Clean(const QString& path) {
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    return parts.join(QLatin1Char('/'));
}

bool HasDotDot(const QString& path) {
    return path.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

} // namespace

struct Ext4Image::Fs {
    ext2_filsys fs = nullptr;
    bool writable = false;
};

// A regular file of the image read on demand, under the image's lock.
class Ext4FileSource : public RandomAccessSource {
public:
    Ext4FileSource(ext2_filsys fs, ext2_ino_t inode, quint64 size, std::shared_ptr<std::mutex> lock)
        : m_fs(fs), m_inode(inode), m_size(size), m_lock(std::move(lock)) {}
    quint64 size() const override { return m_size; }
    bool readAt(quint64 offset, char* data, qint64 size, QString* error) const override {
        if (size < 0 || offset > m_size || static_cast<quint64>(size) > m_size - offset) {
            if (error)
                *error = QStringLiteral("read beyond the end of the file in the image");
            return false;
        }
        std::lock_guard<std::mutex> guard(*m_lock);
        ext2_file_t file = nullptr;
        errcode_t err = ext2fs_file_open(m_fs, m_inode, 0, &file);
        if (!err)
            err = ext2fs_file_llseek(file, offset, EXT2_SEEK_SET, nullptr);
        qint64 done = 0;
        while (!err && done < size) {
            unsigned int got = 0;
            const auto want = static_cast<unsigned int>(std::min<qint64>(size - done, 1 << 30));
            err = ext2fs_file_read(file, data + done, want, &got);
            if (!err && got == 0)
                err = EXT2_ET_SHORT_READ;
            done += got;
        }
        if (file)
            ext2fs_file_close(file);
        if (err && error)
            *error = LibraryError("reading a file in the image", err);
        return !err;
    }

private:
    ext2_filsys m_fs;
    ext2_ino_t m_inode;
    quint64 m_size;
    std::shared_ptr<std::mutex> m_lock;
};

Ext4Image::~Ext4Image() {
    if (m_labels)
        selabel_close(m_labels);
    if (m_fs && m_fs->fs) {
        // An image not closed is written out all the same (the caller checks it).
        ext2fs_close_free(&m_fs->fs);
    }
}

bool Ext4Image::Check(const QString& imagePath, ToolRunner& runner, QString* cause) {
    QTemporaryFile output(QDir::tempPath() + QStringLiteral("/corvane-e2fsck-XXXXXX"));
    ToolCommand command;
    command.program = E2fsprogsTool(QStringLiteral("e2fsck"));
    command.arguments = {QStringLiteral("-fn"), imagePath};
    if (output.open())
        command.outputFile = output.fileName();
    const ToolRunResult result = runner.run(command);
    if (result.succeeded())
        return true;
    if (cause) {
        // Its findings: the lines after its banner and pass names, a few.
        QStringList findings;
        output.seek(0);
        for (const QByteArray& raw : output.readAll().split('\n')) {
            const QString line = QString::fromLocal8Bit(raw).trimmed();
            if (line.isEmpty() || line.startsWith(QLatin1String("e2fsck ")) ||
                line.startsWith(QLatin1String("Pass ")))
                continue;
            findings << line;
            if (findings.size() == 3)
                break;
        }
        findings.prepend(result.describe(QStringLiteral("e2fsck")));
        *cause = Msg::ImageNotClean(findings.join(QStringLiteral("; ")));
    }
    return false;
}

std::unique_ptr<Ext4Image> Ext4Image::Open(const QString& imagePath, Mode mode,
                                           const QString& mountPoint, ToolRunner& runner,
                                           QString* cause) {
    if (!Check(imagePath, runner, cause))
        return nullptr;
    std::unique_ptr<Ext4Image> image(new Ext4Image);
    image->m_fs = std::make_unique<Fs>();
    image->m_path = imagePath;
    image->m_mountPoint = mountPoint;
    const bool writable = mode == Mode::ReadWrite;
    int flags = EXT2_FLAG_64BITS;
    if (writable)
        flags |= EXT2_FLAG_RW;
    const QByteArray native = QFile::encodeName(imagePath);
    ext2_filsys fs = nullptr;
    const errcode_t err =
        ext2fs_open2(native.constData(), nullptr, flags, 0, 0, unix_io_manager, &fs);
    if (err) {
        if (cause)
            *cause = (err == EXT2_ET_BAD_MAGIC || err == EXT2_ET_SB_CSUM_INVALID ||
                      err == EXT2_ET_CORRUPT_SUPERBLOCK || err == EXT2_ET_SHORT_READ)
                         ? Msg::ImageNotExtFilesystem()
                         : LibraryError("opening the image", err);
        return nullptr;
    }
    image->m_fs->fs = fs;
    image->m_fs->writable = writable;
    auto refuse = [&](const QString& text) {
        if (cause)
            *cause = text;
        ext2fs_close_free(&image->m_fs->fs);
        return nullptr;
    };
    if (!ext2fs_has_feature_extents(fs->super))
        return refuse(Msg::ImageNotExt4());
    if (ext2fs_has_feature_journal_needs_recovery(fs->super))
        return refuse(Msg::ImageNeedsRecovery());
    if (writable && ext2fs_has_feature_shared_blocks(fs->super))
        return refuse(Msg::ImageHasSharedBlocks());
    if (writable) {
        const errcode_t bitmaps = ext2fs_read_bitmaps(fs);
        if (bitmaps)
            return refuse(LibraryError("reading the image's bitmaps", bitmaps));
        fs->umask = 022;
    }
    Ext4Facts& facts = image->m_facts;
    facts.blockSize = fs->blocksize;
    facts.blockCount = ext2fs_blocks_count(fs->super);
    facts.freeBlocks = ext2fs_free_blocks_count(fs->super);
    facts.freeInodes = fs->super->s_free_inodes_count;
    facts.sharedBlocks = ext2fs_has_feature_shared_blocks(fs->super);
    facts.hasJournal = ext2fs_has_feature_journal(fs->super);
    // System-as-root: the partition's files below system/ (its build.prop or app/).
    ext2_ino_t system = 0;
    if (!ext2fs_lookup(fs, EXT2_ROOT_INO, "system", 6, nullptr, &system) && system) {
        ext2_ino_t inner = 0;
        if (!ext2fs_lookup(fs, system, "build.prop", 10, nullptr, &inner) ||
            !ext2fs_lookup(fs, system, "app", 3, nullptr, &inner))
            facts.layout = Ext4Layout::SystemAsRoot;
    }
    return image;
}

QString Ext4Image::rootPrefix() const {
    return m_facts.layout == Ext4Layout::SystemAsRoot ? QStringLiteral("system/") : QString();
}

quint32 Ext4Image::lookup(const QString& path) const {
    if (!m_fs || !m_fs->fs || HasDotDot(path))
        return 0;
    const QString inImage = Clean(rootPrefix() + path);
    if (inImage.isEmpty())
        return EXT2_ROOT_INO;
    const QByteArray name = QFile::encodeName(inImage);
    ext2_ino_t inode = 0;
    if (ext2fs_namei(m_fs->fs, EXT2_ROOT_INO, EXT2_ROOT_INO, name.constData(), &inode))
        return 0;
    return inode;
}

bool Ext4Image::usedBlocks(QList<BlockRange>* ranges, QString* cause) const {
    std::lock_guard<std::mutex> guard(*m_lock);
    ranges->clear();
    ext2_filsys fs = m_fs->fs;
    if (!fs->block_map) {
        const errcode_t err = ext2fs_read_block_bitmap(fs);
        if (err) {
            if (cause)
                *cause = LibraryError("reading the image's block bitmap", err);
            return false;
        }
    }
    const blk64_t first = fs->super->s_first_data_block;
    const blk64_t end = ext2fs_blocks_count(fs->super);
    if (first > 0)
        ranges->append({0, first});
    blk64_t at = first;
    while (at < end) {
        blk64_t used = 0;
        if (ext2fs_find_first_set_block_bitmap2(fs->block_map, at, end - 1, &used) != 0)
            break;
        blk64_t free = end;
        blk64_t found = 0;
        if (ext2fs_find_first_zero_block_bitmap2(fs->block_map, used, end - 1, &found) == 0)
            free = found;
        if (!ranges->isEmpty() && ranges->last().end == used)
            ranges->last().end = free;
        else
            ranges->append({used, free});
        at = free;
    }
    return true;
}

bool Ext4Image::exists(const QString& path) const {
    std::lock_guard<std::mutex> guard(*m_lock);
    return lookup(path) != 0;
}

bool Ext4Image::list(const QString& folder, QList<Ext4Entry>* entries, QString* cause) const {
    std::lock_guard<std::mutex> guard(*m_lock);
    return listUnlocked(folder, entries, cause);
}

bool Ext4Image::listUnlocked(const QString& folder, QList<Ext4Entry>* entries,
                             QString* cause) const {
    entries->clear();
    const ext2_ino_t inode = lookup(folder);
    if (!inode) {
        if (cause)
            *cause = Msg::ImagePathMissing(folder);
        return false;
    }
    struct Walk {
        ext2_filsys fs;
        QList<Ext4Entry>* entries;
    } walk{m_fs->fs, entries};
    auto visit = [](ext2_ino_t, int, struct ext2_dir_entry* dirent, int, int, char*,
                    void* data) -> int {
        auto* w = static_cast<Walk*>(data);
        const int length = ext2fs_dirent_name_len(dirent);
        const QByteArray name(dirent->name, length);
        if (name == "." || name == "..")
            return 0;
        Ext4Entry entry;
        entry.name = QFile::decodeName(name);
        entry.inode = dirent->inode;
        struct ext2_inode node {};
        if (!ext2fs_read_inode(w->fs, dirent->inode, &node)) {
            if (LINUX_S_ISREG(node.i_mode))
                entry.kind = Ext4Entry::Kind::File;
            else if (LINUX_S_ISDIR(node.i_mode))
                entry.kind = Ext4Entry::Kind::Folder;
            else if (LINUX_S_ISLNK(node.i_mode))
                entry.kind = Ext4Entry::Kind::Link;
            entry.size = EXT2_I_SIZE(&node);
        }
        w->entries->append(entry);
        return 0;
    };
    const errcode_t err = ext2fs_dir_iterate2(m_fs->fs, inode, 0, nullptr, visit, &walk);
    if (err) {
        if (cause)
            *cause = err == EXT2_ET_NO_DIRECTORY ? Msg::ImageNotAFolder(folder)
                                                 : LibraryError("listing a folder", err);
        return false;
    }
    return true;
}

bool Ext4Image::stat(const QString& path, Ext4Stat* stat, QString* cause) const {
    std::lock_guard<std::mutex> guard(*m_lock);
    return statUnlocked(path, stat, cause);
}

bool Ext4Image::statUnlocked(const QString& path, Ext4Stat* stat, QString* cause) const {
    const ext2_ino_t inode = lookup(path);
    if (!inode) {
        if (cause)
            *cause = Msg::ImagePathMissing(path);
        return false;
    }
    struct ext2_inode node {};
    errcode_t err = ext2fs_read_inode(m_fs->fs, inode, &node);
    if (err) {
        if (cause)
            *cause = LibraryError("reading an inode", err);
        return false;
    }
    *stat = {};
    stat->inode = inode;
    stat->mode = node.i_mode;
    stat->uid = inode_uid(node);
    stat->gid = inode_gid(node);
    stat->size = EXT2_I_SIZE(&node);
    stat->mtime = node.i_mtime;
    struct ext2_xattr_handle* handle = nullptr;
    err = ext2fs_xattrs_open(m_fs->fs, inode, &handle);
    if (!err)
        err = ext2fs_xattrs_read(handle);
    if (!err) {
        void* value = nullptr;
        size_t length = 0;
        if (!ext2fs_xattr_get(handle, kLabelKey, &value, &length)) {
            stat->label =
                QByteArray(static_cast<const char*>(value), static_cast<qsizetype>(length));
            ext2fs_free_mem(&value);
        }
        if (!ext2fs_xattr_get(handle, kCapabilityKey, &value, &length)) {
            stat->hasCapabilities = true;
            ext2fs_free_mem(&value);
        }
    }
    if (handle)
        ext2fs_xattrs_close(&handle);
    if (err) {
        if (cause)
            *cause = LibraryError("reading extended attributes", err);
        return false;
    }
    return true;
}

std::unique_ptr<RandomAccessSource> Ext4Image::openFile(const QString& path, QString* cause) const {
    Ext4Stat info;
    if (!stat(path, &info, cause))
        return nullptr;
    if (!LINUX_S_ISREG(info.mode)) {
        if (cause)
            *cause = Msg::ImageNotAFile(path);
        return nullptr;
    }
    return std::make_unique<Ext4FileSource>(m_fs->fs, info.inode, info.size, m_lock);
}

bool Ext4Image::readFile(const QString& path, qint64 limit, QByteArray* bytes,
                         QString* cause) const {
    std::lock_guard<std::mutex> guard(*m_lock);
    return readFileUnlocked(path, limit, bytes, cause);
}

bool Ext4Image::readFileUnlocked(const QString& path, qint64 limit, QByteArray* bytes,
                                 QString* cause) const {
    Ext4Stat info;
    if (!statUnlocked(path, &info, cause))
        return false;
    if (!LINUX_S_ISREG(info.mode)) {
        if (cause)
            *cause = Msg::ImageNotAFile(path);
        return false;
    }
    if (info.size > static_cast<quint64>(limit)) {
        if (cause)
            *cause = Msg::ImageFileTooLarge(path, limit);
        return false;
    }
    bytes->resize(static_cast<qsizetype>(info.size));
    ext2_file_t file = nullptr;
    errcode_t err = ext2fs_file_open(m_fs->fs, info.inode, 0, &file);
    qint64 done = 0;
    while (!err && done < bytes->size()) {
        unsigned int got = 0;
        err = ext2fs_file_read(
            file, bytes->data() + done,
            static_cast<unsigned int>(std::min<qint64>(bytes->size() - done, 1 << 30)), &got);
        if (!err && got == 0)
            err = EXT2_ET_SHORT_READ;
        done += got;
    }
    if (file)
        ext2fs_file_close(file);
    if (err && cause)
        *cause = LibraryError("reading a file in the image", err);
    return !err;
}

quint64 Ext4Image::bytesNeededFor(const QList<quint64>& fileSizes) const {
    const quint64 blockSize = std::max<quint64>(m_facts.blockSize, 1024);
    quint64 blocks = 0;
    for (const quint64 size : fileSizes) {
        const quint64 data = (size + blockSize - 1) / blockSize;
        // Extent tree blocks (one extent maps at most 32768 blocks), a block
        // its folder may grow by, a block for its attributes.
        blocks += data + data / 32768 + data / (blockSize / 12) + 3;
    }
    return blocks * blockSize;
}

quint64 Ext4Image::bytesHeldBy(const QString& path) const {
    Ext4Stat info;
    if (!stat(path, &info, nullptr))
        return 0;
    std::lock_guard<std::mutex> guard(*m_lock);
    quint64 held = 0;
    std::function<void(ext2_ino_t)> add = [&](ext2_ino_t inode) {
        struct ext2_inode node {};
        if (ext2fs_read_inode(m_fs->fs, inode, &node))
            return;
        // A file linked elsewhere as well keeps its blocks.
        if (!LINUX_S_ISDIR(node.i_mode) && node.i_links_count > 1)
            return;
        held += ext2fs_get_stat_i_blocks(m_fs->fs, &node) * 512;
        if (!LINUX_S_ISDIR(node.i_mode))
            return;
        QList<ext2_ino_t> children;
        auto visit = [](ext2_ino_t, int, struct ext2_dir_entry* dirent, int, int, char*,
                        void* data) -> int {
            const int length = ext2fs_dirent_name_len(dirent);
            const QByteArray name(dirent->name, length);
            if (name != "." && name != "..")
                static_cast<QList<ext2_ino_t>*>(data)->append(dirent->inode);
            return 0;
        };
        ext2fs_dir_iterate2(m_fs->fs, inode, 0, nullptr, visit, &children);
        for (const ext2_ino_t child : children)
            add(child);
    };
    add(info.inode);
    return held;
}

bool Ext4Image::setLabel(quint32 inode, const QByteArray& label, QString* cause) {
    struct ext2_xattr_handle* handle = nullptr;
    errcode_t err = ext2fs_xattrs_open(m_fs->fs, inode, &handle);
    if (!err)
        err = ext2fs_xattrs_read(handle);
    if (!err)
        err = ext2fs_xattr_set(handle, kLabelKey, label.constData(),
                               static_cast<size_t>(label.size()));
    if (handle) {
        const errcode_t closed = ext2fs_xattrs_close(&handle);
        if (!err)
            err = closed;
    }
    if (err && cause)
        *cause = LibraryError("setting a file's label", err);
    return !err;
}

// The label of a new file or folder: that of a sibling of the same kind (a
// file of the same extension, a folder) in its folder; else of one in the
// matching folder of its folder's neighbours, up to three levels up but
// never across the partition's top folders (a new app/NEW/NEW.apk takes that
// of app/OTHER/OTHER.apk, app/NEW/lib/arm/libx.so that of
// app/OTHER/lib/arm/liby.so, a folder that of its namesake there); else the
// label the image's file_contexts gives its path on the device.
bool Ext4Image::labelFor(const QString& path, bool folder, QByteArray* label, QString* cause) {
    const QString name = NameOf(path);
    const QString extension = folder ? QString() : Extension(name);
    auto labelIn = [&](const QString& dir, bool neighbour) -> bool {
        QList<Ext4Entry> entries;
        if (!listUnlocked(dir, &entries, nullptr))
            return false;
        for (const Ext4Entry& entry : entries) {
            const bool same =
                folder ? entry.kind == Ext4Entry::Kind::Folder && (!neighbour || entry.name == name)
                       : entry.kind == Ext4Entry::Kind::File && Extension(entry.name) == extension;
            if (!same || Join(dir, entry.name) == path)
                continue;
            Ext4Stat info;
            if (statUnlocked(Join(dir, entry.name), &info, nullptr) && !info.label.isEmpty()) {
                *label = info.label;
                return true;
            }
        }
        return false;
    };
    QString up = ParentOf(path);
    if (labelIn(up, false))
        return true;
    // up = above / ancestor / rest: tried as above / NEIGHBOUR / rest.
    QString rest;
    for (int level = 0; level < 3 && up.contains(QLatin1Char('/')); ++level) {
        const QString ancestor = NameOf(up);
        up = ParentOf(up);
        QList<Ext4Entry> neighbours;
        if (listUnlocked(up, &neighbours, nullptr)) {
            int tried = 0;
            for (const Ext4Entry& neighbour : neighbours) {
                if (neighbour.kind != Ext4Entry::Kind::Folder || neighbour.name == ancestor)
                    continue;
                if (++tried > 64)
                    break;
                if (labelIn(Join(Join(up, neighbour.name), rest), true))
                    return true;
            }
        }
        rest = Join(ancestor, rest);
    }
    // The image's own rules.
    if (!m_contextsLoaded) {
        m_contextsLoaded = true;
        for (const char* candidate : kContextsFiles) {
            QByteArray bytes;
            const bool read =
                readFileUnlocked(QString::fromLatin1(candidate), 64 * 1024 * 1024, &bytes, nullptr);
            if (!read)
                continue;
            auto file = std::make_unique<QTemporaryFile>(
                QDir::tempPath() + QStringLiteral("/corvane-contexts-XXXXXX"));
            if (!file->open() || file->write(bytes) != bytes.size() || !file->flush())
                continue;
            const QByteArray native = QFile::encodeName(file->fileName());
            struct selinux_opt options[] = {{SELABEL_OPT_PATH, native.constData()}};
            m_labels = selabel_open(SELABEL_CTX_FILE, options, 1);
            if (m_labels) {
                m_contextsFile = std::move(file);
                break;
            }
        }
    }
    if (m_labels) {
        const QString devicePath = m_mountPoint + QLatin1Char('/') + path;
        char* context = nullptr;
        const QByteArray native = QFile::encodeName(devicePath);
        if (selabel_lookup_raw(m_labels, &context, native.constData(),
                               folder ? S_IFDIR : S_IFREG) == 0 &&
            context) {
            *label = QByteArray(context) + '\0';
            freecon(context);
            return true;
        }
    }
    if (cause)
        *cause = Msg::ImageNoLabel(path);
    return false;
}

bool Ext4Image::makeFolders(const QString& path, quint32* inode, QString* cause) {
    ext2_filsys fs = m_fs->fs;
    ext2_ino_t current = lookup(QString());
    QString done;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QString next = Join(done, part);
        ext2_ino_t found = lookup(next);
        if (found) {
            struct ext2_inode node {};
            if (ext2fs_read_inode(fs, found, &node) || !LINUX_S_ISDIR(node.i_mode)) {
                if (cause)
                    *cause = Msg::ImageNotAFolder(next);
                return false;
            }
        } else {
            QByteArray label;
            if (!labelFor(next, true, &label, cause))
                return false;
            const QByteArray name = QFile::encodeName(part);
            errcode_t err = ext2fs_mkdir(fs, current, 0, name.constData());
            if (err == EXT2_ET_DIR_NO_SPACE) {
                err = ext2fs_expand_dir(fs, current);
                if (!err)
                    err = ext2fs_mkdir(fs, current, 0, name.constData());
            }
            if (!err)
                err = ext2fs_lookup(fs, current, name.constData(), static_cast<int>(name.size()),
                                    nullptr, &found);
            struct ext2_inode node {};
            if (!err)
                err = ext2fs_read_inode(fs, found, &node);
            if (!err) {
                node.i_mode = LINUX_S_IFDIR | 0755;
                node.i_uid = node.i_gid = 0;
                ext2fs_set_i_uid_high(node, 0);
                ext2fs_set_i_gid_high(node, 0);
                node.i_atime = node.i_ctime = node.i_mtime = static_cast<__u32>(m_time);
                err = ext2fs_write_inode(fs, found, &node);
            }
            if (err) {
                if (cause)
                    *cause = LibraryError("making a folder", err);
                return false;
            }
            if (!setLabel(found, label, cause))
                return false;
        }
        current = found;
        done = next;
    }
    *inode = current;
    return true;
}

bool Ext4Image::writeNewFile(const QString& rawPath,
                             const std::function<bool(quint32 inode, QString*)>& fill,
                             QString* cause) {
    const QString path = Clean(rawPath);
    if (!m_fs || !m_fs->writable) {
        if (cause)
            *cause = Msg::ImageReadOnly();
        return false;
    }
    if (path.isEmpty() || HasDotDot(rawPath)) {
        if (cause)
            *cause = Msg::ImagePathMissing(rawPath);
        return false;
    }
    if (lookup(path)) {
        if (cause)
            *cause = Msg::ImagePathExists(path);
        return false;
    }
    QByteArray label;
    if (!labelFor(path, false, &label, cause))
        return false;
    ext2_filsys fs = m_fs->fs;
    quint32 parent = 0;
    if (!makeFolders(ParentOf(path), &parent, cause))
        return false;
    ext2_ino_t inode = 0;
    errcode_t err = ext2fs_new_inode(fs, parent, LINUX_S_IFREG | 0644, nullptr, &inode);
    const QByteArray name = QFile::encodeName(NameOf(path));
    if (!err) {
        err = ext2fs_link(fs, parent, name.constData(), inode, EXT2_FT_REG_FILE);
        if (err == EXT2_ET_DIR_NO_SPACE) {
            err = ext2fs_expand_dir(fs, parent);
            if (!err)
                err = ext2fs_link(fs, parent, name.constData(), inode, EXT2_FT_REG_FILE);
        }
    }
    if (!err) {
        ext2fs_inode_alloc_stats2(fs, inode, +1, 0);
        struct ext2_inode node {};
        node.i_mode = LINUX_S_IFREG | 0644;
        node.i_atime = node.i_ctime = node.i_mtime = static_cast<__u32>(m_time);
        node.i_links_count = 1;
        ext2_extent_handle_t handle = nullptr;
        err = ext2fs_extent_open2(fs, inode, &node, &handle);
        if (!err) {
            ext2fs_extent_free(handle);
            err = ext2fs_write_new_inode(fs, inode, &node);
        }
    }
    if (err) {
        if (cause)
            *cause = LibraryError("adding a file", err);
        return false;
    }
    if (!setLabel(inode, label, cause))
        return false;
    if (!fill(inode, cause))
        return false;
    m_facts.freeBlocks = ext2fs_free_blocks_count(fs->super);
    m_facts.freeInodes = fs->super->s_free_inodes_count;
    return true;
}

namespace {

// Writes bytes from read() into an open file of the image until read gives none.
errcode_t WriteAll(ext2_file_t file, const std::function<qint64(char*, qint64)>& read,
                   bool* readFailed) {
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 got = read(buffer.data(), buffer.size());
        if (got < 0) {
            *readFailed = true;
            return 0;
        }
        if (got == 0)
            return 0;
        qint64 done = 0;
        while (done < got) {
            unsigned int written = 0;
            const errcode_t err = ext2fs_file_write(
                file, buffer.constData() + done, static_cast<unsigned int>(got - done), &written);
            if (err)
                return err;
            if (written == 0)
                return EXT2_ET_SHORT_WRITE;
            done += written;
        }
    }
}

// Writes bytes from memory into an open file at its position.
errcode_t WriteBytes(ext2_file_t file, const QByteArray& bytes) {
    qint64 offset = 0;
    bool readFailed = false;
    return WriteAll(
        file,
        [&](char* data, qint64 size) {
            const qint64 n = std::min<qint64>(size, bytes.size() - offset);
            std::memcpy(data, bytes.constData() + offset, static_cast<size_t>(n));
            offset += n;
            return n;
        },
        &readFailed);
}

} // namespace

bool Ext4Image::addFile(const QString& path, const QString& sourceFile, QString* cause) {
    std::lock_guard<std::mutex> guard(*m_lock);
    QFile input(sourceFile);
    if (!input.open(QIODevice::ReadOnly)) {
        if (cause)
            *cause = input.errorString();
        return false;
    }
    const quint64 needed = bytesNeededFor({static_cast<quint64>(input.size())});
    if (needed > m_facts.freeBytes()) {
        if (cause)
            *cause = Msg::ImageNoRoom(needed, m_facts.freeBytes());
        return false;
    }
    return writeNewFile(
        path,
        [&](quint32 inode, QString* why) {
            ext2_file_t file = nullptr;
            errcode_t err = ext2fs_file_open(m_fs->fs, inode, EXT2_FILE_WRITE, &file);
            bool readFailed = false;
            if (!err)
                err = WriteAll(
                    file, [&](char* data, qint64 size) { return input.read(data, size); },
                    &readFailed);
            if (file) {
                const errcode_t closed = ext2fs_file_close(file);
                if (!err)
                    err = closed;
            }
            if (readFailed) {
                if (why)
                    *why = input.errorString();
                return false;
            }
            if (err && why)
                *why = LibraryError("writing a file", err);
            return !err;
        },
        cause);
}

bool Ext4Image::addFileBytes(const QString& path, const QByteArray& bytes, QString* cause) {
    std::lock_guard<std::mutex> guard(*m_lock);
    const quint64 needed = bytesNeededFor({static_cast<quint64>(bytes.size())});
    if (needed > m_facts.freeBytes()) {
        if (cause)
            *cause = Msg::ImageNoRoom(needed, m_facts.freeBytes());
        return false;
    }
    return writeNewFile(
        path,
        [&](quint32 inode, QString* why) {
            ext2_file_t file = nullptr;
            errcode_t err = ext2fs_file_open(m_fs->fs, inode, EXT2_FILE_WRITE, &file);
            if (!err)
                err = WriteBytes(file, bytes);
            if (file) {
                const errcode_t closed = ext2fs_file_close(file);
                if (!err)
                    err = closed;
            }
            if (err && why)
                *why = LibraryError("writing a file", err);
            return !err;
        },
        cause);
}

bool Ext4Image::addFolder(const QString& rawPath, QString* cause) {
    std::lock_guard<std::mutex> guard(*m_lock);
    if (!m_fs || !m_fs->writable) {
        if (cause)
            *cause = Msg::ImageReadOnly();
        return false;
    }
    if (HasDotDot(rawPath)) {
        if (cause)
            *cause = Msg::ImagePathMissing(rawPath);
        return false;
    }
    quint32 inode = 0;
    const bool made = makeFolders(Clean(rawPath), &inode, cause);
    m_facts.freeBlocks = ext2fs_free_blocks_count(m_fs->fs->super);
    m_facts.freeInodes = m_fs->fs->super->s_free_inodes_count;
    return made;
}

bool Ext4Image::replaceFile(const QString& rawPath, const QByteArray& bytes, QString* cause) {
    std::lock_guard<std::mutex> guard(*m_lock);
    const QString path = Clean(rawPath);
    if (!m_fs || !m_fs->writable) {
        if (cause)
            *cause = Msg::ImageReadOnly();
        return false;
    }
    ext2_filsys fs = m_fs->fs;
    const ext2_ino_t inode = lookup(path);
    if (!inode) {
        if (cause)
            *cause = Msg::ImagePathMissing(path);
        return false;
    }
    struct ext2_inode node {};
    errcode_t err = ext2fs_read_inode(fs, inode, &node);
    if (!err && !LINUX_S_ISREG(node.i_mode)) {
        if (cause)
            *cause = Msg::ImageNotAFile(path);
        return false;
    }
    const quint64 held = ext2fs_get_stat_i_blocks(fs, &node) * 512;
    const quint64 needed = bytesNeededFor({static_cast<quint64>(bytes.size())});
    if (needed > held && needed - held > m_facts.freeBytes()) {
        if (cause)
            *cause = Msg::ImageNoRoom(needed - held, m_facts.freeBytes());
        return false;
    }
    // A file whose bytes lie in its inode (inline_data) is moved to a block
    // first: the library truncates and grows only files in blocks.
    if (!err && (node.i_flags & EXT4_INLINE_DATA_FL))
        err = ext2fs_inline_data_expand(fs, inode);
    ext2_file_t file = nullptr;
    if (!err)
        err = ext2fs_file_open(fs, inode, EXT2_FILE_WRITE, &file);
    if (!err)
        err = ext2fs_file_set_size2(file, 0);
    if (!err)
        err = WriteBytes(file, bytes);
    if (file) {
        const errcode_t closed = ext2fs_file_close(file);
        if (!err)
            err = closed;
    }
    if (!err)
        err = ext2fs_read_inode(fs, inode, &node);
    if (!err) {
        node.i_mtime = node.i_ctime = static_cast<__u32>(m_time);
        err = ext2fs_write_inode(fs, inode, &node);
    }
    m_facts.freeBlocks = ext2fs_free_blocks_count(fs->super);
    if (err && cause)
        *cause = LibraryError("replacing a file", err);
    return !err;
}

bool Ext4Image::removeInode(quint32 parent, const QString& name, quint32 inode, QString* cause) {
    ext2_filsys fs = m_fs->fs;
    struct ext2_inode_large node {};
    errcode_t err =
        ext2fs_read_inode_full(fs, inode, reinterpret_cast<ext2_inode*>(&node), sizeof(node));
    const bool folder = !err && LINUX_S_ISDIR(node.i_mode);
    if (!err && folder) {
        struct Child {
            QString name;
            ext2_ino_t inode;
        };
        QList<Child> children;
        auto visit = [](ext2_ino_t, int, struct ext2_dir_entry* dirent, int, int, char*,
                        void* data) -> int {
            const int length = ext2fs_dirent_name_len(dirent);
            const QByteArray childName(dirent->name, length);
            if (childName != "." && childName != "..")
                static_cast<QList<Child>*>(data)->append(
                    {QFile::decodeName(childName), dirent->inode});
            return 0;
        };
        err = ext2fs_dir_iterate2(fs, inode, 0, nullptr, visit, &children);
        for (const Child& child : children) {
            if (err)
                break;
            if (!removeInode(inode, child.name, child.inode, cause))
                return false;
        }
        if (!err)
            err = ext2fs_read_inode_full(fs, inode, reinterpret_cast<ext2_inode*>(&node),
                                         sizeof(node));
    }
    const QByteArray native = QFile::encodeName(name);
    if (!err)
        err = ext2fs_unlink(fs, parent, native.constData(), inode, 0);
    if (!err && folder) {
        // The folder's ".." was a link to its parent.
        struct ext2_inode up {};
        err = ext2fs_read_inode(fs, parent, &up);
        if (!err && up.i_links_count > 1) {
            --up.i_links_count;
            err = ext2fs_write_inode(fs, parent, &up);
        }
    }
    if (!err) {
        node.i_links_count =
            folder || node.i_links_count <= 1 ? 0 : static_cast<__u16>(node.i_links_count - 1);
        if (node.i_links_count == 0) {
            node.i_dtime = static_cast<__u32>(m_time ? m_time : 1);
            err = ext2fs_free_ext_attr(fs, inode, &node);
            if (!err && ext2fs_inode_has_valid_blocks2(fs, reinterpret_cast<ext2_inode*>(&node)))
                err = ext2fs_punch(fs, inode, reinterpret_cast<ext2_inode*>(&node), nullptr, 0,
                                   ~0ULL);
            if (!err)
                ext2fs_inode_alloc_stats2(fs, inode, -1, folder ? 1 : 0);
        }
        if (!err)
            err = ext2fs_write_inode_full(fs, inode, reinterpret_cast<ext2_inode*>(&node),
                                          sizeof(node));
    }
    if (err && cause)
        *cause = LibraryError("deleting a file", err);
    return !err;
}

bool Ext4Image::remove(const QString& rawPath, QString* cause) {
    std::lock_guard<std::mutex> guard(*m_lock);
    const QString path = Clean(rawPath);
    if (!m_fs || !m_fs->writable) {
        if (cause)
            *cause = Msg::ImageReadOnly();
        return false;
    }
    const ext2_ino_t inode = path.isEmpty() ? 0 : lookup(path);
    const ext2_ino_t parent = inode ? lookup(ParentOf(path)) : 0;
    if (!inode || !parent) {
        if (cause)
            *cause = Msg::ImagePathMissing(rawPath);
        return false;
    }
    const bool removed = removeInode(parent, NameOf(path), inode, cause);
    m_facts.freeBlocks = ext2fs_free_blocks_count(m_fs->fs->super);
    m_facts.freeInodes = m_fs->fs->super->s_free_inodes_count;
    return removed;
}

bool Ext4Image::close(QString* cause) {
    std::lock_guard<std::mutex> guard(*m_lock);
    if (!m_fs || !m_fs->fs)
        return true;
    const errcode_t err = ext2fs_close_free(&m_fs->fs);
    if (err && cause)
        *cause = LibraryError("writing the image", err);
    return !err;
}
