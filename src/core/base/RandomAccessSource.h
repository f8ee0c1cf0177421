#pragma once

#include <QByteArray>
#include <QString>

#include <QtGlobal>

class QIODevice;

// Bytes read at any offset: a file, memory, a range of another source (a
// stored member of an archive), a device (an inflated member, a view of a
// deflated one). The readers of formats take one of these, whatever holds
// the bytes.
class RandomAccessSource {
public:
    virtual ~RandomAccessSource() = default;
    // The source's length in bytes.
    virtual quint64 size() const = 0;
    // Reads exactly size bytes at offset; false with the cause on a read
    // error or when the source ends first.
    virtual bool readAt(quint64 offset, char* data, qint64 size, QString* error) const = 0;
};

// An open file, read with pread (so several threads may read it at once).
// The descriptor is not owned; the length is the file's when made.
class FdSource : public RandomAccessSource {
public:
    FdSource(int fd, quint64 size) : m_fd(fd), m_size(size) {}
    // The open regular file's source; false with the cause for anything else.
    static bool open(int fd, FdSource* source, QString* error);
    quint64 size() const override { return m_size; }
    bool readAt(quint64 offset, char* data, qint64 size, QString* error) const override;
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    quint64 m_size = 0;
};

// Bytes in memory.
class MemorySource : public RandomAccessSource {
public:
    explicit MemorySource(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    quint64 size() const override { return static_cast<quint64>(m_bytes.size()); }
    bool readAt(quint64 offset, char* data, qint64 size, QString* error) const override;

private:
    QByteArray m_bytes;
};

// The bytes [offset, offset + size) of another source, which must outlive it.
class RangeSource : public RandomAccessSource {
public:
    RangeSource(const RandomAccessSource& whole, quint64 offset, quint64 size)
        : m_whole(whole), m_offset(offset), m_size(size) {}
    quint64 size() const override { return m_size; }
    bool readAt(quint64 offset, char* data, qint64 size, QString* error) const override;

private:
    const RandomAccessSource& m_whole;
    quint64 m_offset;
    quint64 m_size;
};

// An open random-access device (seek, then read), not owned. Reads move the
// device's position: one reader at a time.
class DeviceSource : public RandomAccessSource {
public:
    explicit DeviceSource(QIODevice& device);
    quint64 size() const override { return m_size; }
    bool readAt(quint64 offset, char* data, qint64 size, QString* error) const override;

private:
    QIODevice& m_device;
    quint64 m_size;
};
