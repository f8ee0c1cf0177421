#pragma once

#include "core/format/ArchiveEditor.h"
#include "core/format/ZipFormat.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstring>
#include <functional>

// What the archive editor's parts share to write bytes: the file operations
// (a write at an offset, a flush, a removal), output in large blocks to a
// file or a sink, and the progress of a run.
namespace archive_edit {

inline constexpr qint64 kChunk = 1024 * 1024;
inline constexpr quint32 kCrcStart = 0; // CRC-32 of no bytes

QString systemError();
QByteArray nativePath(const QString& path);
bool writeAt(int fd, quint64 offset, const char* data, qint64 size, QString* error);
bool syncFile(int fd, QString* error);
bool removeFile(const QString& path, QString* error);
bool fileExists(const QString& path);
quint32 crcOf(quint32 crc, const char* data, qint64 size);

// Output in blocks of 1 MiB to a drain (a file at an offset, or a sink).
// position() counts every byte written, buffered or not.
class BufferedOutput {
public:
    using Drain = std::function<bool(quint64 offset, const char* data, qint64 size, QString*)>;
    BufferedOutput(quint64 start, Drain drain) : m_drained(start), m_drain(std::move(drain)) {
        m_buffer.reserve(kChunk);
    }

    quint64 position() const { return m_drained + static_cast<quint64>(m_buffer.size()); }

    bool write(const char* data, qint64 size, QString* error) {
        if (m_buffer.size() + size > kChunk && !flush(error))
            return false;
        if (size >= kChunk) {
            if (!m_drain(m_drained, data, size, error))
                return false;
            m_drained += static_cast<quint64>(size);
            return true;
        }
        m_buffer.append(data, size);
        return true;
    }
    bool write(const QByteArray& data, QString* error) {
        return write(data.constData(), data.size(), error);
    }

    bool flush(QString* error) {
        if (m_buffer.isEmpty())
            return true;
        if (!m_drain(m_drained, m_buffer.constData(), m_buffer.size(), error))
            return false;
        m_drained += static_cast<quint64>(m_buffer.size());
        m_buffer.resize(0);
        return true;
    }

    // Replaces bytes written earlier: in the buffer while they are still
    // there, else through patch (a write at an offset of the output).
    bool overwrite(quint64 offset, const QByteArray& data, const Drain& patch, QString* error) {
        if (offset >= m_drained && offset + static_cast<quint64>(data.size()) <= position()) {
            std::memcpy(m_buffer.data() + (offset - m_drained), data.constData(),
                        static_cast<size_t>(data.size()));
            return true;
        }
        if (!flush(error))
            return false;
        return patch(offset, data.constData(), data.size(), error);
    }

private:
    quint64 m_drained;
    Drain m_drain;
    QByteArray m_buffer;
};

// The central directory of the entries at the output's position, then the
// end records; the comment is the caller's.
bool writeDirectory(BufferedOutput& out, const QList<ZipCentralEntry>& entries, QString* error);

class Progress {
public:
    Progress(const ArchiveProgress& callback, qint64 total) : m_callback(callback), m_total(total) {
        report();
    }
    void add(qint64 bytes) {
        m_done = qMin(m_total, m_done + bytes);
        report();
    }
    void finish() {
        m_done = m_total;
        report();
    }

private:
    void report() {
        if (m_callback)
            m_callback(m_done, m_total);
    }
    const ArchiveProgress& m_callback;
    qint64 m_total;
    qint64 m_done = 0;
};

} // namespace archive_edit
