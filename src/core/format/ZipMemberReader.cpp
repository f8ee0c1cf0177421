#include "core/format/ZipMemberReader.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/UniqueFd.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr quint16 kMethodStored = 0;
constexpr quint16 kMethodDeflated = 8;
constexpr qint64 kLocalHeaderSize = 30;
constexpr qint64 kReadChunk = 1 << 20;

// Where the entry's data starts, once its local header agrees with the
// central directory.
bool dataOffset(const RandomAccessSource& archive, const ZipCentralEntry& entry, quint64* offset,
                QString* cause) {
    char local[kLocalHeaderSize];
    if (!archive.readAt(entry.localHeaderOffset, local, kLocalHeaderSize, cause))
        return false;
    if (!(ReadLe16(local + 6) & kZipFlagDataDescriptor)) {
        const quint32 compressed = ReadLe32(local + 18);
        const quint32 uncompressed = ReadLe32(local + 22);
        if (ReadLe32(local + 14) != entry.crc32 ||
            (compressed != kZipMax32 && compressed != entry.compressedSize) ||
            (uncompressed != kZipMax32 && uncompressed != entry.uncompressedSize)) {
            *cause = QStringLiteral("its local header gives another CRC-32 or size than the "
                                    "central directory");
            return false;
        }
    }
    *offset =
        entry.localHeaderOffset + kLocalHeaderSize + ReadLe16(local + 26) + ReadLe16(local + 28);
    if (entry.method == kMethodStored && entry.compressedSize != entry.uncompressedSize) {
        *cause = QStringLiteral("it is stored with two different sizes");
        return false;
    }
    if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
        *cause = QStringLiteral("it is compressed with method %1, which cannot be read")
                     .arg(entry.method);
        return false;
    }
    return true;
}

} // namespace

bool ZipMemberDataOffset(const RandomAccessSource& archive, const ZipCentralEntry& entry,
                         quint64* offset, QString* cause) {
    return dataOffset(archive, entry, offset, cause);
}

bool ZipMemberDataOffset(int fd, const ZipCentralEntry& entry, quint64* offset, QString* cause) {
    FdSource archive(fd, 0);
    return FdSource::open(fd, &archive, cause) && dataOffset(archive, entry, offset, cause);
}

bool ReadZipMemberData(int fd, const ZipCentralEntry& entry, const ZipDataSink& sink,
                       QString* cause, const ZipDataSink& storedSink) {
    FdSource archive(fd, 0);
    return FdSource::open(fd, &archive, cause) &&
           ReadZipMemberData(archive, entry, sink, cause, storedSink);
}

bool ReadZipMemberData(const RandomAccessSource& archive, const ZipCentralEntry& entry,
                       const ZipDataSink& sink, QString* cause, const ZipDataSink& storedSink) {
    quint64 offset = 0;
    if (!dataOffset(archive, entry, &offset, cause))
        return false;
    const bool deflated = entry.method == kMethodDeflated;
    Inflater inflater;
    if (deflated && !inflater.start()) {
        *cause = QStringLiteral("cannot start inflating");
        return false;
    }
    z_stream& stream = inflater.stream();
    QByteArray in(static_cast<qsizetype>(qMin<quint64>(entry.compressedSize, kReadChunk)),
                  Qt::Uninitialized);
    // Room for the whole output of a small member (and one byte to see the
    // stream end), a chunk at a time for a larger one.
    QByteArray out(deflated ? static_cast<qsizetype>(qMin<quint64>(static_cast<quint64>(kReadChunk),
                                                                   entry.uncompressedSize + 1))
                            : 0,
                   Qt::Uninitialized);
    uLong crc = crc32(0, nullptr, 0);
    quint64 produced = 0;
    bool stopped = false;
    const auto take = [&](const char* data, qint64 size) {
        // Inflating stops at the size the header gives: a stream that goes
        // on is damaged, however far it would go.
        if (static_cast<quint64>(size) > entry.uncompressedSize - produced) {
            *cause = QStringLiteral("it inflates to more than the %1 bytes its header gives")
                         .arg(entry.uncompressedSize);
            return false;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
        produced += static_cast<quint64>(size);
        stopped = sink && size > 0 && !sink(data, size);
        return !stopped;
    };
    bool streamEnded = !deflated;
    for (quint64 left = entry.compressedSize; left > 0;) {
        const qint64 want = static_cast<qint64>(qMin<quint64>(left, kReadChunk));
        if (!archive.readAt(offset, in.data(), want, cause))
            return false;
        offset += static_cast<quint64>(want);
        left -= static_cast<quint64>(want);
        if (storedSink && !storedSink(in.constData(), want))
            return false;
        if (!deflated) {
            if (!take(in.constData(), want))
                return false;
            continue;
        }
        // Bytes after the end of the stream are only copied.
        if (streamEnded)
            continue;
        stream.next_in = reinterpret_cast<Bytef*>(in.data());
        stream.avail_in = static_cast<uInt>(want);
        // Until this input is used up and zlib holds nothing more back; a
        // stream that ends early leaves the rest unread, as the device does.
        do {
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            const int result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                *cause = QStringLiteral("its deflated data is damaged");
                return false;
            }
            if (!take(out.constData(), out.size() - static_cast<qint64>(stream.avail_out)))
                return false;
            streamEnded = result == Z_STREAM_END;
            if (result == Z_BUF_ERROR)
                break;
        } while (!streamEnded && stream.avail_out == 0);
        if (streamEnded && !storedSink)
            break;
    }
    if (!streamEnded) {
        *cause = QStringLiteral("its deflated data is cut short");
        return false;
    }
    if (produced != entry.uncompressedSize) {
        *cause = QStringLiteral("it holds %1 bytes, not the %2 its header gives")
                     .arg(produced)
                     .arg(entry.uncompressedSize);
        return false;
    }
    if (static_cast<quint32>(crc) != entry.crc32) {
        *cause = QStringLiteral("its CRC-32 does not match its data");
        return false;
    }
    return true;
}

namespace {

// The archive open for reading with its central directory read.

} // namespace

namespace {

// Reads one entry whole, when it holds at most limit bytes.
bool readEntry(int fd, const ZipCentralEntry& entry, const QString& member, qint64 limit,
               QByteArray* bytes, QString* error) {
    if (entry.uncompressedSize > static_cast<quint64>(limit))
        return Fail(error, QStringLiteral("its member %1 is too large").arg(member));
    bytes->clear();
    bytes->reserve(static_cast<qsizetype>(entry.uncompressedSize));
    QString cause;
    if (!ReadZipMemberData(
            fd, entry,
            [bytes](const char* data, qint64 size) {
                bytes->append(data, size);
                return true;
            },
            &cause))
        return Fail(error, QStringLiteral("its member %1 is damaged: %2").arg(member, cause));
    return true;
}

} // namespace

bool OpenedZip::open(const QString& archive, QString* error) {
    m_fd = OpenUniqueFd(archive, O_RDONLY);
    if (!m_fd.isOpen())
        return Fail(error, QStringLiteral("cannot open \"%1\"").arg(archive));
    QString cause;
    if (!ReadZipDirectory(m_fd.get(), &m_directory, &cause))
        return Fail(error, QStringLiteral("\"%1\" is not a readable ZIP: %2").arg(archive, cause));
    return true;
}

bool ReadZipMember(const QString& archive, const QString& member, qint64 limit, QByteArray* bytes,
                   QString* error) {
    OpenedZip zip;
    if (!zip.open(archive, error))
        return false;
    const QList<ZipCentralEntry>& entries = zip.directory().entries;
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        const ZipCentralEntry& entry = entries[i];
        if (DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8) == member)
            return readEntry(zip.fd(), entry, member, limit, bytes, error);
    }
    return Fail(error, QStringLiteral("it has no member %1").arg(member));
}

bool ReadZipMemberNamedExactly(const QString& archive, const QByteArray& rawName, qint64 limit,
                               QByteArray* bytes, bool* found, QString* error) {
    bytes->clear();
    *found = false;
    OpenedZip zip;
    if (!zip.open(archive, error))
        return false;
    const QList<ZipCentralEntry>& entries = zip.directory().entries;
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        if (entries[i].rawName != rawName)
            continue;
        *found = true;
        return readEntry(zip.fd(), entries[i], QString::fromUtf8(rawName), limit, bytes, error);
    }
    return true;
}

bool ExtractZipEntries(const QString& archive, const QList<QPair<quint64, QString>>& entries,
                       QString* error) {
    if (entries.isEmpty())
        return true;
    QString cause;
    const auto fail = [&](const QString& text) { return Fail(error, text); };
    OpenedZip zip;
    if (!zip.open(archive, error))
        return false;
    const int fd = zip.fd();
    const ZipDirectory& directory = zip.directory();
    for (const auto& [index, path] : entries) {
        if (index >= static_cast<quint64>(directory.entries.size()))
            return fail(QStringLiteral("the package has no member %1").arg(index));
        const ZipCentralEntry& entry = directory.entries[static_cast<qsizetype>(index)];
        QDir().mkpath(QFileInfo(path).absolutePath());
        FileHelpers::TemporaryFile out(path);
        if (!out.open(&cause))
            return fail(cause);
        QString writeCause;
        const bool read = ReadZipMemberData(
            fd, entry,
            [&](const char* data, qint64 size) { return out.write(data, size, &writeCause); },
            &cause);
        if (!read)
            return fail(writeCause.isEmpty()
                            ? QStringLiteral("the package's member %1 cannot be read: %2")
                                  .arg(PrintableZipName(entry.rawName), cause)
                            : writeCause);
        if (!out.commit(&cause))
            return fail(cause);
    }
    return true;
}
