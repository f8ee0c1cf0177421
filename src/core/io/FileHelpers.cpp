#include "core/io/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
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

void syncDirectoryOf(const QString& path) {
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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

bool IsDirectory(const QString& path) {
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

bool IsSameFile(const QString& first, const QString& second) {
    const QFileInfo a(first);
    const QFileInfo b(second);
    if (a.absoluteFilePath() == b.absoluteFilePath())
        return true;
    return a.exists() && b.exists() && a.canonicalFilePath() == b.canonicalFilePath();
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
    syncDirectoryOf(to);
    return true;
}

bool CopyFileReplacing(const QString& from, const QString& to) {
    const QString partial = to + QStringLiteral(".corvane-part");
    RemoveFile(partial);
    if (CopyFileTo(from, partial, false) && ReplaceFile(partial, to))
        return true;
    RemoveFile(partial);
    return false;
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

bool DeleteDirectoryTree(const QString& path) {
    // Nothing to enumerate (no such directory, or not a directory): done.
    if (!IsDirectory(path))
        return true;
    // A directory must be writable and searchable for its entries to go.
    std::error_code ec;
    std::filesystem::permissions(nativePath(path), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    for (const QString& name : ListDirectory(path)) {
        const QString entry = path + QLatin1Char('/') + name;
        if (IsDirectory(entry)) {
            // A failure below leaves that directory non-empty, so the final
            // removal of this one fails too.
            DeleteDirectoryTree(entry);
            RemoveEmptyDirectory(entry);
        } else if (!RemoveFile(entry)) {
            return false;
        }
    }
    return RemoveEmptyDirectory(path);
}

} // namespace FileHelpers
