#include "core/base/RandomAccessSource.h"

#include "core/base/ErrorText.h"

#include <QIODevice>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True when size bytes at offset lie within length; no sum can wrap.
bool within(quint64 offset, qint64 size, quint64 length) {
    return size >= 0 && offset <= length && static_cast<quint64>(size) <= length - offset;
}

QString endsAt(quint64 offset) {
    return QStringLiteral("the archive ends unexpectedly at offset %1").arg(offset);
}

} // namespace

bool FdSource::open(int fd, FdSource* source, QString* error) {
    struct stat info;
    if (fstat(fd, &info) != 0)
        return Fail(error, QStringLiteral("cannot read the archive: %1")
                               .arg(QString::fromLocal8Bit(std::strerror(errno))));
    if (!S_ISREG(info.st_mode))
        return Fail(error, QStringLiteral("the archive is not a regular file"));
    *source = FdSource(fd, static_cast<quint64>(info.st_size));
    return true;
}

bool FdSource::readAt(quint64 offset, char* data, qint64 size, QString* error) const {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = pread(m_fd, data + done, static_cast<size_t>(size - done),
                                static_cast<off_t>(offset + static_cast<quint64>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail(error, QStringLiteral("cannot read the archive: %1")
                                   .arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (n == 0)
            return Fail(error, endsAt(offset + static_cast<quint64>(done)));
        done += n;
    }
    return true;
}

bool MemorySource::readAt(quint64 offset, char* data, qint64 size, QString* error) const {
    if (!within(offset, size, this->size()))
        return Fail(error, endsAt(this->size()));
    if (size > 0)
        std::memcpy(data, m_bytes.constData() + offset, static_cast<size_t>(size));
    return true;
}

bool RangeSource::readAt(quint64 offset, char* data, qint64 size, QString* error) const {
    if (!within(offset, size, m_size))
        return Fail(error, endsAt(m_size));
    return m_whole.readAt(m_offset + offset, data, size, error);
}

DeviceSource::DeviceSource(QIODevice& device)
    : m_device(device), m_size(static_cast<quint64>(qMax<qint64>(device.size(), 0))) {}

bool DeviceSource::readAt(quint64 offset, char* data, qint64 size, QString* error) const {
    if (!within(offset, size, m_size))
        return Fail(error, endsAt(m_size));
    if (!m_device.seek(static_cast<qint64>(offset)))
        return Fail(
            error, QStringLiteral("cannot seek to %1: %2").arg(offset).arg(m_device.errorString()));
    qint64 done = 0;
    while (done < size) {
        const qint64 n = m_device.read(data + done, size - done);
        if (n < 0)
            return Fail(error, QStringLiteral("cannot read %1 bytes at %2: %3")
                                   .arg(size)
                                   .arg(offset)
                                   .arg(m_device.errorString()));
        if (n == 0)
            return Fail(error, endsAt(offset + static_cast<quint64>(done)));
        done += n;
    }
    return true;
}
