#include "core/format/ZipMemberDevice.h"

#include "core/base/ErrorText.h"
#include "core/format/ZipMemberReader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

FileRangeDevice::FileRangeDevice(int fd, quint64 offset, qint64 size)
    : m_fd(fd), m_offset(offset), m_size(qMax<qint64>(size, 0)) {}

bool FileRangeDevice::open(OpenMode mode) {
    if ((mode & (ReadWrite | Append | Truncate)) != ReadOnly) {
        setErrorString(QStringLiteral("the window onto the archive is read-only"));
        return false;
    }
    m_position = 0;
    return QIODevice::open(mode);
}

bool FileRangeDevice::seek(qint64 position) {
    if (position < 0 || position > m_size)
        return false;
    if (!QIODevice::seek(position))
        return false;
    m_position = position;
    return true;
}

qint64 FileRangeDevice::readData(char* data, qint64 maxSize) {
    const qint64 want = qMin(maxSize, m_size - m_position);
    qint64 done = 0;
    while (done < want) {
        const ssize_t got =
            ::pread(m_fd, data + done, static_cast<size_t>(want - done),
                    static_cast<off_t>(m_offset + static_cast<quint64>(m_position + done)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
            return -1;
        }
        if (got == 0) {
            setErrorString(QStringLiteral("the archive ends inside the member"));
            return -1;
        }
        done += got;
    }
    m_position += done;
    return done;
}

qint64 FileRangeDevice::writeData(const char*, qint64) {
    return -1;
}

namespace {

// An unnamed file in the system's temporary directory: nothing is left behind
// whatever way the process ends.
std::unique_ptr<QFile> unnamedTemporaryFile(QString* error) {
    const QByteArray directory = QFile::encodeName(QDir::tempPath());
    const int fd = ::open(directory.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        SetError(error, QStringLiteral("cannot make a temporary file in \"%1\": %2")
                            .arg(QDir::tempPath(), QString::fromLocal8Bit(std::strerror(errno))));
        return nullptr;
    }
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        SetError(error, QStringLiteral("cannot use a temporary file: %1").arg(file->errorString()));
        return nullptr;
    }
    return file;
}

} // namespace

std::unique_ptr<QIODevice> OpenZipMemberDevice(int fd, const ZipCentralEntry& entry,
                                               qint64 memoryLimit, QString* error) {
    quint64 offset = 0;
    QString cause;
    if (!ZipMemberDataOffset(fd, entry, &offset, &cause)) {
        SetError(error, cause);
        return nullptr;
    }
    if (entry.method == 0) {
        auto window = std::make_unique<FileRangeDevice>(fd, offset,
                                                        static_cast<qint64>(entry.compressedSize));
        window->open(QIODevice::ReadOnly);
        return window;
    }
    std::unique_ptr<QIODevice> device;
    if (entry.uncompressedSize <= static_cast<quint64>(qMax<qint64>(memoryLimit, 0))) {
        auto buffer = std::make_unique<QBuffer>();
        buffer->buffer().reserve(static_cast<qsizetype>(entry.uncompressedSize));
        buffer->open(QIODevice::ReadWrite);
        device = std::move(buffer);
    } else {
        device = unnamedTemporaryFile(error);
        if (!device)
            return nullptr;
    }
    QIODevice* sinkDevice = device.get();
    const bool read = ReadZipMemberData(
        fd, entry,
        [sinkDevice](const char* data, qint64 size) {
            return sinkDevice->write(data, size) == size;
        },
        &cause);
    if (!read) {
        SetError(error, cause.isEmpty() ? QStringLiteral("cannot keep its inflated bytes: %1")
                                              .arg(sinkDevice->errorString())
                                        : cause);
        return nullptr;
    }
    if (!device->seek(0)) {
        SetError(error, QStringLiteral("cannot read its inflated bytes back"));
        return nullptr;
    }
    return device;
}
