#include "core/format/ArchiveOutput.h"

#include <QFile>

#include <zlib.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace archive_edit {

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}
QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}
bool writeAt(int fd, quint64 offset, const char* data, qint64 size, QString* error) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, static_cast<size_t>(size - done),
                                 static_cast<off_t>(offset + static_cast<quint64>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = QStringLiteral("write failed: %1")
                         .arg(n < 0 ? systemError() : QStringLiteral("no space"));
            return false;
        }
        done += n;
    }
    return true;
}
bool syncFile(int fd, QString* error) {
    if (fsync(fd) != 0) {
        *error = QStringLiteral("cannot flush to disk: %1").arg(systemError());
        return false;
    }
    return true;
}
bool removeFile(const QString& path, QString* error) {
    if (::unlink(nativePath(path).constData()) != 0 && errno != ENOENT) {
        *error = QStringLiteral("cannot remove %1: %2").arg(path, systemError());
        return false;
    }
    return true;
}
bool fileExists(const QString& path) {
    struct stat info;
    return ::lstat(nativePath(path).constData(), &info) == 0;
}
// The central directory of the entries at the output's position, then the
// end records (ZIP64 ones when needed); the comment is the caller's.
bool writeDirectory(BufferedOutput& out, const QList<ZipCentralEntry>& entries, QString* error) {
    const quint64 directoryOffset = out.position();
    for (const ZipCentralEntry& entry : entries) {
        if (!out.write(ZipCentralRecord(entry, entry.localHeaderOffset), error))
            return false;
    }
    const quint64 directorySize = out.position() - directoryOffset;
    return out.write(
        ZipEndRecords(static_cast<quint64>(entries.size()), directoryOffset, directorySize), error);
}
quint32 crcOf(quint32 crc, const char* data, qint64 size) {
    return static_cast<quint32>(
        crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size)));
}

} // namespace archive_edit
