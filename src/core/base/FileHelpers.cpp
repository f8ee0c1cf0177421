#include "core/base/FileHelpers.h"

#include "core/base/ErrorText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace FileHelpers {
namespace {

FileFaultPredicate& faults() {
    static FileFaultPredicate predicate;
    return predicate;
}

bool faulted(FileOp op, const QString& path) {
    return faults() && faults()(op, path);
}

// The same for a native path, decoded only when a test set faults.
bool faultedNative(FileOp op, const QByteArray& path) {
    return faults() && faults()(op, QFile::decodeName(path));
}

std::filesystem::path nativePath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Compares with ASCII letters folded to upper case, as the file system the
// names come from orders them.
int compareFoldedToUpper(const QString& a, const QString& b) {
    const auto fold = [](char16_t c) -> char16_t {
        return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
    };
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t x = fold(a[i].unicode());
        const char16_t y = fold(b[i].unicode());
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

QString systemError(int code) {
    return QString::fromLocal8Bit(std::strerror(code));
}

QString directoryOf(const QString& path) {
    return QFileInfo(path).absolutePath();
}

// ".NAME." : the start of the temporary names made for a target named NAME.
QString longTemporaryPrefix(const QString& target) {
    return QLatin1Char('.') + QFileInfo(target).fileName() + QLatin1Char('.');
}

// ".HHHHHHHH." : the start of the temporary names of a target whose own name
// leaves no room for the long form: eight hex digits of its name's hash.
QString shortTemporaryPrefix(const QString& target) {
    const QByteArray name = QFile::encodeName(QFileInfo(target).fileName());
    quint32 hash = 2166136261u; // FNV-1a: the same on every run
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return QLatin1Char('.') + QStringLiteral("%1").arg(hash, 8, 16, QLatin1Char('0')) +
           QLatin1Char('.');
}

// The prefix of the target's temporaries: ".NAME." when a name of it (with
// up to 13 base-36 digits and the suffix) fits the file system, else the
// short form, so that a target of the longest name still has a temporary.
QString temporaryPrefix(const QString& target) {
    const QString prefix = longTemporaryPrefix(target);
    const qint64 bytes = QFile::encodeName(prefix).size() + 13 + TemporarySuffix().size();
    return bytes <= MaxFileNameBytes(directoryOf(target)) ? prefix : shortTemporaryPrefix(target);
}

// A temporary name's unique part: base-36 digits only.
bool isPlainUnique(const QString& unique) {
    return !unique.isEmpty() && std::all_of(unique.begin(), unique.end(), [](QChar c) {
        return c.isDigit() || (c >= QLatin1Char('a') && c <= QLatin1Char('z'));
    });
}

// Removes the file at path when no live TemporaryFile holds its lock; the
// lock taken here makes a writer that opens it at the same moment see that
// its file went (it checks its inode after locking).
void removeIfAbandoned(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ELOOP)
            ::unlink(native.constData()); // a link planted under our name
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        struct stat opened, named;
        if (::fstat(fd, &opened) == 0 && ::lstat(native.constData(), &named) == 0 &&
            opened.st_dev == named.st_dev && opened.st_ino == named.st_ino)
            ::unlink(native.constData());
    }
    ::close(fd);
}

} // namespace

std::function<qint64(const QString&)>& availableOverride() {
    static std::function<qint64(const QString&)> available;
    return available;
}

qint64 AvailableBytes(const QString& path) {
    if (availableOverride())
        return availableOverride()(path);
    const QStorageInfo storage(path);
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

void SetAvailableBytesForTesting(std::function<qint64(const QString& path)> available) {
    availableOverride() = std::move(available);
}

void SetFileFaultsForTesting(FileFaultPredicate predicate) {
    faults() = std::move(predicate);
}

bool PathExists(const QString& path) {
    if (path.isEmpty() || path.endsWith(QLatin1Char('/')))
        return false;
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool IsRegularOrMissing(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return true;
    return S_ISREG(info.st_mode);
}

bool IsDirectory(const QString& path) {
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

bool IsSameFile(const QString& first, const QString& second) {
    if (QFileInfo(first).absoluteFilePath() == QFileInfo(second).absoluteFilePath())
        return true;
    // One inode: symbolic links are followed, and hard links are names of it.
    struct stat a {};
    struct stat b {};
    return ::stat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool NameLess(const QString& a, const QString& b) {
    const int folded = compareFoldedToUpper(a, b);
    return folded != 0 ? folded < 0 : QString::compare(a, b, Qt::CaseSensitive) < 0;
}

QStringList ListDirectory(const QString& directory) {
    QDir dir(directory);
    if (directory.isEmpty() || !dir.exists())
        return {};
    QStringList names = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    std::sort(names.begin(), names.end(), NameLess);
    return names;
}

bool RemoveFile(const QString& path) {
    if (faulted(FileOp::RemoveFile, path))
        return false;
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return false;
    std::error_code ec;
    return std::filesystem::remove(nativePath(path), ec) && !ec;
}

bool RemoveEmptyDirectory(const QString& path) {
    if (faulted(FileOp::RemoveDirectory, path))
        return false;
    return !path.isEmpty() && IsDirectory(path) && QDir().rmdir(path);
}

bool CreateDirectory(const QString& path) {
    if (faulted(FileOp::CreateDirectory, path))
        return false;
    if (path.isEmpty() || PathExists(path))
        return false;
    return QDir().mkdir(path);
}

bool CopyFileTo(const QString& from, const QString& to, bool failIfExists) {
    if (faulted(FileOp::CopyFile, to))
        return false;
    const QFileInfo source(from);
    if (!source.isFile())
        return false;
    if (PathExists(to) && (failIfExists || IsDirectory(to)))
        return false;
    std::error_code ec;
    const auto options = failIfExists ? std::filesystem::copy_options::none
                                      : std::filesystem::copy_options::overwrite_existing;
    if (!std::filesystem::copy_file(nativePath(from), nativePath(to), options, ec) || ec)
        return false;
    // The copy belongs to the workspace: writable by its owner whatever the
    // source's mode, so that later edits and removals of it succeed.
    std::filesystem::permissions(
        nativePath(to), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
        std::filesystem::perm_options::add, ec);
    return !ec;
}

bool MoveFileTo(const QString& from, const QString& to) {
    if (faulted(FileOp::MoveFile, to))
        return false;
    if (IsDirectory(from) || PathExists(to))
        return false;
    std::error_code ec;
    std::filesystem::rename(nativePath(from), nativePath(to), ec);
    return !ec;
}

bool ReplaceFile(const QString& from, const QString& to) {
    if (faulted(FileOp::MoveFile, to))
        return false;
    if (IsDirectory(from) || IsDirectory(to))
        return false;
    std::error_code ec;
    std::filesystem::rename(nativePath(from), nativePath(to), ec);
    if (ec)
        return false;
    return SyncDirectory(directoryOf(to));
}

bool CopyFileReplacing(const QString& from, const QString& to, QString* error) {
    QString cause;
    const auto fail = [&](const QString& text) {
        SetError(error, text);
        return false;
    };
    if (faulted(FileOp::CopyFile, to))
        return fail(QStringLiteral("cannot write \"%1\"").arg(to));
    if (IsDirectory(to))
        return fail(QStringLiteral("\"%1\" is a directory").arg(to));
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read \"%1\": %2").arg(from, source.errorString()));
    TemporaryFile copy(to);
    if (!copy.open(&cause))
        return fail(cause);
    // One kernel-side copy where the file system allows it.
    const auto size = static_cast<qint64>(QFileInfo(from).size());
    qint64 done = 0;
    // (Under a test's faults every byte goes through write(), where they act.)
    while (done < size && !faults()) {
        const ssize_t n = ::copy_file_range(source.handle(), nullptr, copy.handle(), nullptr,
                                            static_cast<size_t>(size - done), 0);
        if (n <= 0)
            break;
        done += n;
    }
    if (done < size) {
        // Not supported here, or short: the rest through a buffer.
        source.seek(done);
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        for (;;) {
            const qint64 n = source.read(buffer.data(), buffer.size());
            if (n < 0)
                return fail(
                    QStringLiteral("cannot read \"%1\": %2").arg(from, source.errorString()));
            if (n == 0)
                break;
            if (!copy.write(buffer.constData(), n, &cause))
                return fail(cause);
        }
    }
    return copy.commit(error);
}

bool SyncDirectory(const QString& directory, QString* error) {
    const int fd =
        ::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetError(
            error,
            QStringLiteral("cannot open the folder \"%1\": %2").arg(directory, systemError(errno)));
        return false;
    }
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL; // some file systems cannot
    const int code = errno;
    ::close(fd);
    if (!synced && error)
        *error =
            QStringLiteral("cannot flush the folder \"%1\": %2").arg(directory, systemError(code));
    return synced;
}

QString TemporarySuffix() {
    return QStringLiteral(".corvane-part");
}

bool IsTemporaryName(const QString& fileName) {
    return fileName.startsWith(QLatin1Char('.')) && fileName.endsWith(TemporarySuffix());
}

TemporaryFile::TemporaryFile(QString target) : m_target(std::move(target)) {}

TemporaryFile::~TemporaryFile() {
    discard();
}

bool TemporaryFile::open(QString* error) {
    discard();
    const QString prefix = directoryOf(m_target) + QLatin1Char('/') + temporaryPrefix(m_target);
    // A replacement keeps the permissions of what it replaces (a private
    // output stays private); a new file follows the umask. The file is made
    // private first, so its bytes are never readable beyond what the target
    // allowed.
    struct stat existing;
    const bool replacing = ::stat(QFile::encodeName(m_target).constData(), &existing) == 0 &&
                           S_ISREG(existing.st_mode);
    int code = 0;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = prefix +
                                  QString::number(QRandomGenerator::system()->generate64(), 36) +
                                  TemporarySuffix();
        const QByteArray native = QFile::encodeName(candidate);
        const int fd =
            ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   replacing ? 0600 : 0666);
        if (fd < 0) {
            code = errno;
            if (code == EEXIST)
                continue;
            break;
        }
        if (replacing && ::fchmod(fd, existing.st_mode & 0777) != 0) {
            code = errno;
            ::unlink(native.constData());
            ::close(fd);
            break;
        }
        // Locked from now on; a sweep that removed the name before the lock
        // was taken is noticed by comparing inodes.
        struct stat opened, named;
        if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &opened) != 0 ||
            ::lstat(native.constData(), &named) != 0 || opened.st_ino != named.st_ino ||
            opened.st_dev != named.st_dev) {
            ::close(fd);
            code = EEXIST;
            continue;
        }
        m_fd = fd;
        m_path = candidate;
        return true;
    }
    SetError(error, QStringLiteral("cannot create a file in \"%1\": %2")
                        .arg(directoryOf(m_target), systemError(code ? code : EEXIST)));
    return false;
}

bool TemporaryFile::write(const char* data, qint64 size, QString* error) {
    if (faulted(FileOp::WriteFile, m_target)) {
        SetError(error, QStringLiteral("cannot write \"%1\": %2").arg(m_path, systemError(ENOSPC)));
        return false;
    }
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, static_cast<size_t>(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            SetError(error, QStringLiteral("cannot write \"%1\": %2")
                                .arg(m_path, systemError(n < 0 ? errno : ENOSPC)));
            return false;
        }
        done += n;
    }
    return true;
}

bool TemporaryFile::sync(QString* error) {
    if (m_fd < 0 || ::fsync(m_fd) != 0) {
        SetError(error, QStringLiteral("cannot flush \"%1\": %2")
                            .arg(m_path, systemError(m_fd < 0 ? EBADF : errno)));
        return false;
    }
    return true;
}

bool TemporaryFile::commit(QString* error) {
    if (!sync(error)) {
        discard();
        return false;
    }
    if (faulted(FileOp::MoveFile, m_target) ||
        ::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(m_target).constData()) !=
            0) {
        SetError(error, QStringLiteral("cannot replace \"%1\": %2")
                            .arg(m_target, systemError(errno ? errno : EACCES)));
        discard();
        return false;
    }
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
    return SyncDirectory(directoryOf(m_target), error);
}

bool TemporaryFile::commitScratch(QString* error) {
    if (m_fd < 0 || faulted(FileOp::MoveFile, m_target) ||
        ::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(m_target).constData()) !=
            0) {
        SetError(error,
                 QStringLiteral("cannot replace \"%1\": %2")
                     .arg(m_target, systemError(m_fd < 0 ? EBADF : (errno ? errno : EACCES))));
        discard();
        return false;
    }
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
    return true;
}

void TemporaryFile::discard() {
    if (m_fd < 0)
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
    m_fd = -1;
    m_path.clear();
}

void RemoveAbandonedTemporaries(const QString& target) {
    const QString directory = directoryOf(target);
    const QStringList prefixes = {longTemporaryPrefix(target), shortTemporaryPrefix(target)};
    for (const QString& name :
         QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!IsTemporaryName(name))
            continue;
        // Only the unique part may stand between the prefix and the suffix,
        // so that the temporaries of "a.zip" never include those of "a.zip.x".
        for (const QString& prefix : prefixes) {
            if (name.startsWith(prefix) &&
                isPlainUnique(name.mid(prefix.size(),
                                       name.size() - prefix.size() - TemporarySuffix().size()))) {
                removeIfAbandoned(directory + QLatin1Char('/') + name);
                break;
            }
        }
    }
}

void RemoveAbandonedTemporariesIn(const QString& directory) {
    for (const QString& name :
         QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (IsTemporaryName(name))
            removeIfAbandoned(directory + QLatin1Char('/') + name);
    }
}

bool SyncFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool WriteAll(QFileDevice& file, const QByteArray& data) {
    if (faulted(FileOp::WriteFile, file.fileName()))
        return false;
    return file.write(data) == data.size() && file.flush();
}

namespace {

// One entry of a directory by its byte name, and whether it is a real
// directory (a link to one is not).
struct NativeEntry {
    QByteArray name;
    bool directory = false;
};

// The entries of the open directory, in the order of ListDirectory. The
// descriptor stays open (the listing reads a duplicate).
QList<NativeEntry> listNative(int directoryFd) {
    QList<NativeEntry> entries;
    const int copy = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return entries;
    }
    ::rewinddir(dir);
    while (const dirent* item = ::readdir(dir)) {
        const char* name = item->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        bool directory = item->d_type == DT_DIR;
        if (item->d_type == DT_UNKNOWN) {
            struct stat info;
            directory = ::fstatat(directoryFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISDIR(info.st_mode);
        }
        entries.append({QByteArray(name), directory});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const NativeEntry& a, const NativeEntry& b) {
        return NameLess(QFile::decodeName(a.name), QFile::decodeName(b.name));
    });
    return entries;
}

// Empties the open directory (native path `path`, for the fault seam),
// whatever bytes its names hold. Links are removed, never followed. A file
// that cannot be removed ends this directory's pass; a subdirectory that
// cannot be emptied is left and the pass goes on.
bool emptyDirectory(int directoryFd, const QByteArray& path) {
    // A directory must be writable and searchable for its entries to go.
    struct stat own;
    if (::fstat(directoryFd, &own) == 0 && (own.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(directoryFd, (own.st_mode & 07777) | S_IRWXU);
    bool complete = true;
    for (const NativeEntry& entry : listNative(directoryFd)) {
        const QByteArray entryPath = path + '/' + entry.name;
        if (!entry.directory) {
            if (faultedNative(FileOp::RemoveFile, entryPath) ||
                ::unlinkat(directoryFd, entry.name.constData(), 0) != 0)
                return false;
            continue;
        }
        const int child = ::openat(directoryFd, entry.name.constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
            complete = false;
            continue;
        }
        const bool emptied = emptyDirectory(child, entryPath);
        ::close(child);
        if (!emptied || faultedNative(FileOp::RemoveDirectory, entryPath) ||
            ::unlinkat(directoryFd, entry.name.constData(), AT_REMOVEDIR) != 0)
            complete = false;
    }
    return complete;
}

} // namespace

bool DeleteDirectoryTree(const QString& path) {
    // Nothing to enumerate (no such directory, or not a directory): done.
    if (!IsDirectory(path))
        return true;
    return DeleteNativeDirectoryTree(QFile::encodeName(path));
}

bool DeleteNativeDirectoryTree(const QByteArray& path) {
    struct stat info;
    if (path.isEmpty() || ::lstat(path.constData(), &info) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return true;
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool emptied = emptyDirectory(fd, path);
    ::close(fd);
    return emptied && !faultedNative(FileOp::RemoveDirectory, path) &&
           ::rmdir(path.constData()) == 0;
}

bool MakePrivateDirectory(const QString& path) {
    const QString parent = directoryOf(path);
    if (!QFileInfo(parent).isDir() && !QDir().mkpath(parent))
        return false;
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info;
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    return (info.st_mode & 07777) == 0700 || ::chmod(native.constData(), 0700) == 0;
}

qint64 MaxFileNameBytes(const QString& directory) {
    const long limit = ::pathconf(QFile::encodeName(directory).constData(), _PC_NAME_MAX);
    return limit > 0 ? limit : 255;
}

qint64 MaxTargetNameBytes(const QString& directory) {
    // A target too long for ".NAME.XXX.corvane-part" takes a short temporary.
    return MaxFileNameBytes(directory);
}

} // namespace FileHelpers
