#include "core/format/ArchiveEditor.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kChunk = 1024 * 1024;
// A member is deflated only when its first MiB shrinks to 95 % or less.
constexpr qint64 kDeflatePercent = 95;
constexpr int kDeflateLevel = 6;
constexpr quint32 kCrcStart = 0; // CRC-32 of no bytes
constexpr quint16 kVersionDefault = 20;
constexpr quint16 kVersionZip64 = 45;
constexpr quint16 kMadeByUnix = 3 << 8;
constexpr quint32 kRegularFile0644 = 0100644u << 16;
// Members added by a compact copy get a fixed time, so that copying the same
// archive twice gives the same bytes.
constexpr quint16 kExtraDosDate = ((2008 - 1980) << 9) | (1 << 5) | 1;
constexpr quint16 kExtraDosTime = 0;

// Journal: magic, length of the archive before the edit, offset and length
// of the bytes saved from it, the identity of the archive (ArchiveIdentity),
// the saved bytes, CRC-32 of everything before it, end marker. The identity
// tells a journal left for another file that has since taken the archive's
// place; it is checked before the CRC, so that neither a foreign nor a
// damaged journal is ever replayed.
constexpr char kJournalMagic[8] = {'C', 'V', 'N', 'J', 'R', 'N', 'L', '3'};
constexpr char kJournalEnd[8] = {'C', 'V', 'N', 'J', 'E', 'N', 'D', '3'};
constexpr qint64 kJournalHeaderSize = 8 + 7 * 8;
constexpr quint64 kFingerprintSpan = 64 * 1024;
constexpr qint64 kJournalTrailerSize = 4 + 8;

// The fault point of a commit's step: "archive:<step>".
FaultAction faultAt(const char* step) {
    char name[64] = "archive:";
    qstrncpy(name + 8, step, sizeof(name) - 8);
    return FaultPoint(name);
}

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
    // there, else through the file.
    bool overwrite(quint64 offset, const QByteArray& data, int fd, QString* error) {
        if (offset >= m_drained && offset + static_cast<quint64>(data.size()) <= position()) {
            std::memcpy(m_buffer.data() + (offset - m_drained), data.constData(),
                        static_cast<size_t>(data.size()));
            return true;
        }
        if (!flush(error))
            return false;
        return writeAt(fd, offset, data.constData(), data.size(), error);
    }

private:
    quint64 m_drained;
    Drain m_drain;
    QByteArray m_buffer;
};

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

using EntryStarts = std::function<void(const ZipCentralEntry& entry)>;

// Reads the entries of a compact copy through a 1 MiB window, so that small
// neighbouring entries come from one read.
class WindowReader {
public:
    WindowReader(int fd, quint64 limit) : m_fd(fd), m_limit(limit) {}

    bool copy(quint64 from, quint64 to, BufferedOutput& out, Progress& progress, QString* error) {
        while (from < to) {
            const quint64 windowEnd = m_start + static_cast<quint64>(m_window.size());
            if (from < m_start || from >= windowEnd) {
                m_start = from;
                m_window.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, m_limit - from)));
                if (!ReadZipBytesAt(m_fd, from, m_window.data(), m_window.size(), error)) {
                    m_window.clear();
                    return false;
                }
                continue;
            }
            const qint64 length = static_cast<qint64>(qMin(to, windowEnd) - from);
            if (!out.write(m_window.constData() + (from - m_start), length, error))
                return false;
            progress.add(length);
            from += static_cast<quint64>(length);
        }
        return true;
    }

private:
    int m_fd;
    quint64 m_limit;
    quint64 m_start = 0;
    QByteArray m_window;
};

bool deflateWhole(const char* data, qint64 size, QByteArray* out, QString* error) {
    out->clear();
    Deflater deflater(kDeflateLevel);
    for (qint64 pos = 0;; pos += kChunk) {
        const qint64 block = qMin(kChunk, size - pos);
        const bool last = pos + block >= size;
        if (!deflater.feed(
                data + pos, block, last,
                [out](const char* bytes, qint64 n) {
                    out->append(bytes, n);
                    return true;
                },
                error))
            return false;
        if (last)
            return true;
    }
}

bool worthDeflating(qint64 sampleSize, qint64 compressedSize) {
    return sampleSize > 0 && compressedSize * 100 <= sampleSize * kDeflatePercent;
}

quint32 crcOf(quint32 crc, const char* data, qint64 size) {
    return static_cast<quint32>(
        crc32_z(crc, reinterpret_cast<const Bytef*>(data), static_cast<z_size_t>(size)));
}

ZipCentralEntry newEntry(const QString& name, quint16 dosDate, quint16 dosTime, bool zip64) {
    ZipCentralEntry entry;
    entry.rawName = name.toUtf8();
    entry.flags = kZipFlagUtf8;
    entry.versionNeeded = zip64 ? kVersionZip64 : kVersionDefault;
    entry.versionMadeBy = kMadeByUnix | entry.versionNeeded;
    entry.dosDate = dosDate;
    entry.dosTime = dosTime;
    entry.externalAttributes = kRegularFile0644;
    return entry;
}

// Writes a member held in memory: the local header, then its data, stored
// or deflated.
bool writeMemoryEntry(BufferedOutput& out, const QString& name, const QByteArray& data,
                      ZipCentralEntry* entry, QString* error, const EntryStarts& starts) {
    const auto size = static_cast<quint64>(data.size());
    const bool zip64 = size >= 0xFFFF0000u;
    *entry = newEntry(name, kExtraDosDate, kExtraDosTime, zip64);
    QByteArray sample;
    if (!deflateWhole(data.constData(), qMin<qint64>(data.size(), kChunk), &sample, error))
        return false;
    QByteArray compressed;
    const bool deflated = worthDeflating(qMin<qint64>(data.size(), kChunk), sample.size());
    if (deflated) {
        if (data.size() <= kChunk)
            compressed = sample;
        else if (!deflateWhole(data.constData(), data.size(), &compressed, error))
            return false;
    }
    const QByteArray& stored = deflated ? compressed : data;
    entry->method = deflated ? 8 : 0;
    entry->crc32 = crcOf(kCrcStart, data.constData(), data.size());
    entry->uncompressedSize = size;
    entry->compressedSize = static_cast<quint64>(stored.size());
    entry->localHeaderOffset = out.position();
    if (starts)
        starts(*entry);
    return out.write(ZipLocalHeader(*entry, zip64), error) && out.write(stored, error);
}

// A file to be added, opened when the changes are checked so that a file
// that cannot be read fails the edit before the archive is touched.
struct SourceFile {
    QString path;
    UniqueFd fd;
    qint64 size = 0;
    qint64 mtime = 0;
    // Made when its member is written (opened then), released after.
    const MadeSource* made = nullptr;
};

// Writes a member from a file: decides store or deflate on the first MiB,
// streams the file through, then fills in the local header.
bool writeFileEntry(BufferedOutput& out, int archiveFd, const QString& name, SourceFile& source,
                    Progress& progress, ZipCentralEntry* entry, QString* error) {
    const qint64 size = source.size;
    const bool zip64 = static_cast<quint64>(size) >= 0xFFFF0000u;
    quint16 dosDate = 0, dosTime = 0;
    ZipDosDateTime(source.mtime, &dosDate, &dosTime);
    *entry = newEntry(name, dosDate, dosTime, zip64);

    const qint64 sampleSize = qMin(size, kChunk);
    QByteArray block(sampleSize, Qt::Uninitialized);
    QByteArray sampleDeflated;
    if (!ReadZipBytesAt(source.fd.get(), 0, block.data(), sampleSize, error) ||
        !deflateWhole(block.constData(), sampleSize, &sampleDeflated, error)) {
        *error = QStringLiteral("%1: %2").arg(source.path, *error);
        return false;
    }
    const bool deflated = worthDeflating(sampleSize, sampleDeflated.size());
    entry->method = deflated ? 8 : 0;
    entry->uncompressedSize = static_cast<quint64>(size);
    entry->localHeaderOffset = out.position();
    if (!out.write(ZipLocalHeader(*entry, zip64), error))
        return false;
    const quint64 dataStart = out.position();

    quint32 crc = crcOf(kCrcStart, block.constData(), sampleSize);
    if (size == sampleSize) {
        // The whole file was the sample: its compressed form is at hand.
        if (!out.write(deflated ? sampleDeflated : block, error))
            return false;
        progress.add(size);
    } else {
        Deflater deflater(kDeflateLevel);
        const auto toOutput = [&out, error](const char* data, qint64 n) {
            return out.write(data, n, error);
        };
        qint64 pos = 0;
        while (true) {
            const qint64 length = block.size();
            const bool last = pos + length >= size;
            if (deflated ? !deflater.feed(block.constData(), length, last, toOutput, error)
                         : !out.write(block.constData(), length, error))
                return false;
            pos += length;
            progress.add(length);
            if (last)
                break;
            block.resize(qMin(kChunk, size - pos));
            if (!ReadZipBytesAt(source.fd.get(), static_cast<quint64>(pos), block.data(),
                                block.size(), error)) {
                *error = QStringLiteral("%1: %2").arg(source.path, *error);
                return false;
            }
            crc = crcOf(crc, block.constData(), block.size());
        }
    }
    entry->crc32 = crc;
    entry->compressedSize = out.position() - dataStart;
    if (!zip64 && entry->compressedSize >= kZipMax32) {
        *error = QStringLiteral("%1: the compressed member grew past 4 GB").arg(source.path);
        return false;
    }
    return out.overwrite(entry->localHeaderOffset, ZipLocalHeader(*entry, zip64), archiveFd, error);
}

// Writes a member from a file to an output that cannot be written back
// (a sink): a first reading measures the CRC-32 and the compressed size, so
// that the local header is complete before the data. Same bytes as
// writeFileEntry: the same decision, the same blocks through the deflater.
bool writeFileEntryAhead(BufferedOutput& out, const QString& name, SourceFile& source,
                         Progress& progress, ZipCentralEntry* entry, QString* error,
                         const EntryStarts& starts) {
    const qint64 size = source.size;
    const bool zip64 = static_cast<quint64>(size) >= 0xFFFF0000u;
    quint16 dosDate = 0, dosTime = 0;
    ZipDosDateTime(source.mtime, &dosDate, &dosTime);
    *entry = newEntry(name, dosDate, dosTime, zip64);
    const auto fileError = [&](const QString& cause) {
        return Fail(error, QStringLiteral("%1: %2").arg(source.path, cause));
    };
    const qint64 sampleSize = qMin(size, kChunk);
    QByteArray block(sampleSize, Qt::Uninitialized);
    QByteArray sampleDeflated;
    QString cause;
    if (!ReadZipBytesAt(source.fd.get(), 0, block.data(), sampleSize, &cause) ||
        !deflateWhole(block.constData(), sampleSize, &sampleDeflated, &cause))
        return fileError(cause);
    const bool deflated = worthDeflating(sampleSize, sampleDeflated.size());
    // Streams the data (compressed when deflated) to consume, block by block
    // as writeFileEntry does; crc receives the CRC-32 of the file's bytes.
    const auto stream = [&](const std::function<bool(const char*, qint64)>& consume,
                            const std::function<void(qint64)>& advanced, quint32* crc) {
        QByteArray data = block;
        *crc = crcOf(kCrcStart, data.constData(), sampleSize);
        if (size == sampleSize) {
            advanced(size);
            return deflated ? consume(sampleDeflated.constData(), sampleDeflated.size())
                            : consume(data.constData(), data.size());
        }
        Deflater deflater(kDeflateLevel);
        for (qint64 pos = 0;;) {
            const qint64 length = data.size();
            const bool last = pos + length >= size;
            if (deflated ? !deflater.feed(data.constData(), length, last, consume, &cause)
                         : !consume(data.constData(), length))
                return false;
            pos += length;
            advanced(length);
            if (last)
                return true;
            data.resize(qMin(kChunk, size - pos));
            if (!ReadZipBytesAt(source.fd.get(), static_cast<quint64>(pos), data.data(),
                                data.size(), &cause))
                return false;
            *crc = crcOf(*crc, data.constData(), data.size());
        }
    };
    quint64 compressed = 0;
    quint32 crc = 0;
    if (!stream(
            [&compressed](const char*, qint64 n) {
                compressed += static_cast<quint64>(n);
                return true;
            },
            [](qint64) {}, &crc))
        return fileError(cause);
    if (!zip64 && compressed >= kZipMax32)
        return fileError(QStringLiteral("the compressed member grew past 4 GB"));
    entry->method = deflated ? 8 : 0;
    entry->uncompressedSize = static_cast<quint64>(size);
    entry->compressedSize = compressed;
    entry->crc32 = crc;
    entry->localHeaderOffset = out.position();
    if (starts)
        starts(*entry);
    if (!out.write(ZipLocalHeader(*entry, zip64), error))
        return false;
    const quint64 dataStart = out.position();
    quint32 again = 0;
    bool outputFailed = false;
    const bool streamed = stream(
        [&](const char* data, qint64 n) {
            outputFailed = !out.write(data, n, error);
            return !outputFailed;
        },
        [&progress](qint64 n) { progress.add(n); }, &again);
    if (outputFailed)
        return false;
    if (!streamed)
        return fileError(cause);
    // The file changed between the two readings: the header would lie.
    if (again != crc || out.position() - dataStart != compressed)
        return fileError(QStringLiteral("the file changed while it was added"));
    return true;
}

// Which file the journal was written for: its device and inode, its birth
// time where the file system keeps one (an inode number freed by a deleted
// file may come back), and the CRC-32 of the 64 KiB before the saved bytes,
// which an edit never writes. The file identity holds even when the edit
// empties the archive and there is nothing before the saved bytes.
struct ArchiveIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    quint64 birth = 0; // nanoseconds since the epoch; 0 where unknown
    quint64 fingerprint = 0;
    bool operator==(const ArchiveIdentity&) const = default;
};

bool identityOf(int fd, quint64 savedOffset, ArchiveIdentity* identity, QString* error) {
    struct statx info;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &info) != 0)
        return Fail(error, QStringLiteral("cannot read the archive: %1").arg(systemError()));
    identity->device = (static_cast<quint64>(info.stx_dev_major) << 32) | info.stx_dev_minor;
    identity->inode = info.stx_ino;
    identity->birth =
        (info.stx_mask & STATX_BTIME)
            ? static_cast<quint64>(info.stx_btime.tv_sec) * 1000000000u + info.stx_btime.tv_nsec
            : 0;
    const quint64 span = qMin(kFingerprintSpan, savedOffset);
    QByteArray bytes(static_cast<qsizetype>(span), Qt::Uninitialized);
    if (!ReadZipBytesAt(fd, savedOffset - span, bytes.data(), bytes.size(), error))
        return false;
    identity->fingerprint = crcOf(kCrcStart, bytes.constData(), bytes.size());
    return true;
}

// The journal's header: what was saved, from which archive.
struct JournalHeader {
    quint64 oldLength = 0;
    quint64 savedOffset = 0;
    quint64 savedLength = 0;
    ArchiveIdentity identity;
};

QByteArray encodeJournalHeader(const JournalHeader& header) {
    QByteArray out(kJournalMagic, sizeof kJournalMagic);
    for (const quint64 value :
         {header.oldLength, header.savedOffset, header.savedLength, header.identity.fingerprint,
          header.identity.device, header.identity.inode, header.identity.birth})
        AppendLe64(&out, value);
    return out;
}

// The journal saves the archive's bytes from savedOffset to its end. It is
// written under a temporary name and renamed into place once complete and
// flushed: a journal under its own name is always whole unless damaged.
bool writeJournal(const QString& archive, int archiveFd, quint64 savedOffset, quint64 oldLength,
                  Progress& progress, QString* error) {
    const QString journal = ArchiveJournalPath(archive);
    FileHelpers::TemporaryFile file(journal);
    const bool written = [&] {
        JournalHeader header;
        header.oldLength = oldLength;
        header.savedOffset = savedOffset;
        header.savedLength = oldLength - savedOffset;
        if (!file.open(error) || !identityOf(archiveFd, savedOffset, &header.identity, error))
            return false;
        const QByteArray encoded = encodeJournalHeader(header);
        quint32 crc = crcOf(kCrcStart, encoded.constData(), encoded.size());
        BufferedOutput out(0, [&file](quint64 offset, const char* data, qint64 size, QString* e) {
            return writeAt(file.handle(), offset, data, size, e);
        });
        if (!out.write(encoded, error))
            return false;
        QByteArray block;
        for (quint64 pos = savedOffset; pos < oldLength;) {
            block.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, oldLength - pos)));
            if (!ReadZipBytesAt(archiveFd, pos, block.data(), block.size(), error) ||
                !out.write(block, error))
                return false;
            crc = crcOf(crc, block.constData(), block.size());
            pos += static_cast<quint64>(block.size());
            progress.add(block.size());
        }
        QByteArray trailer;
        AppendLe32(&trailer, crc);
        trailer.append(kJournalEnd, sizeof kJournalEnd);
        return out.write(trailer, error) && out.flush(error) && file.commit(error);
    }();
    if (!written)
        return Fail(error, QStringLiteral("cannot write the journal %1: %2").arg(journal, *error));
    return true;
}

// Reads the header and checks that the journal is as long as it says and
// ends with its marker. False for anything else: not a journal, or a damaged
// one.
bool readJournalHeader(int fd, JournalHeader* header, quint32* storedCrc) {
    struct stat info;
    if (fstat(fd, &info) != 0 ||
        static_cast<quint64>(info.st_size) < kJournalHeaderSize + kJournalTrailerSize)
        return false;
    const auto journalSize = static_cast<quint64>(info.st_size);
    char bytes[kJournalHeaderSize];
    char trailer[kJournalTrailerSize];
    QString ignored;
    if (!ReadZipBytesAt(fd, 0, bytes, kJournalHeaderSize, &ignored) ||
        std::memcmp(bytes, kJournalMagic, sizeof kJournalMagic) != 0)
        return false;
    header->oldLength = ReadLe64(bytes + 8);
    header->savedOffset = ReadLe64(bytes + 16);
    header->savedLength = ReadLe64(bytes + 24);
    header->identity.fingerprint = ReadLe64(bytes + 32);
    header->identity.device = ReadLe64(bytes + 40);
    header->identity.inode = ReadLe64(bytes + 48);
    header->identity.birth = ReadLe64(bytes + 56);
    if (header->savedOffset > header->oldLength ||
        header->oldLength - header->savedOffset != header->savedLength ||
        journalSize - kJournalHeaderSize - kJournalTrailerSize != header->savedLength)
        return false;
    if (!ReadZipBytesAt(fd, journalSize - kJournalTrailerSize, trailer, kJournalTrailerSize,
                        &ignored) ||
        std::memcmp(trailer + 4, kJournalEnd, sizeof kJournalEnd) != 0)
        return false;
    *storedCrc = ReadLe32(trailer);
    return true;
}

// The whole journal checks out against its CRC-32, before a byte of it goes
// back.
bool journalChecksumHolds(int fd, const JournalHeader& header, quint32 stored, QString* error) {
    const QByteArray encoded = encodeJournalHeader(header);
    quint32 crc = crcOf(kCrcStart, encoded.constData(), encoded.size());
    QByteArray block;
    for (quint64 pos = 0; pos < header.savedLength;) {
        block.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, header.savedLength - pos)));
        if (!ReadZipBytesAt(fd, kJournalHeaderSize + pos, block.data(), block.size(), error))
            return false;
        crc = crcOf(crc, block.constData(), block.size());
        pos += static_cast<quint64>(block.size());
    }
    return crc == stored;
}

// Puts the saved bytes back and cuts the archive to its old length.
bool replayJournal(int journalFd, const JournalHeader& header, UniqueFd& target, QString* error) {
    QByteArray block;
    for (quint64 pos = 0; pos < header.savedLength;) {
        block.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, header.savedLength - pos)));
        if (!ReadZipBytesAt(journalFd, kJournalHeaderSize + pos, block.data(), block.size(),
                            error) ||
            !writeAt(target.get(), header.savedOffset + pos, block.constData(), block.size(),
                     error))
            return false;
        pos += static_cast<quint64>(block.size());
    }
    if (ftruncate(target.get(), static_cast<off_t>(header.oldLength)) != 0)
        return Fail(error, systemError());
    if (!syncFile(target.get(), error))
        return false;
    if (!target.close())
        return Fail(error, systemError());
    return true;
}

// Renames a journal that must never be replayed to a name of its own beside
// it ("<journal>.damaged-<time>", "<journal>.foreign-<time>"), so it neither
// blocks later edits nor is lost.
bool setJournalAside(const QString& journal, const QString& kind, QString* setAside,
                     QString* error) {
    const QString stem =
        QStringLiteral("%1.%2-%3")
            .arg(journal, kind,
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")));
    for (int attempt = 1; attempt < 100; ++attempt) {
        const QString candidate =
            attempt == 1 ? stem : QStringLiteral("%1-%2").arg(stem).arg(attempt);
        if (renameat2(AT_FDCWD, nativePath(journal).constData(), AT_FDCWD,
                      nativePath(candidate).constData(), RENAME_NOREPLACE) == 0) {
            *setAside = candidate;
            return FileHelpers::SyncDirectory(QFileInfo(journal).absolutePath(), error);
        }
        if (errno != EEXIST)
            break;
    }
    return Fail(error,
                QStringLiteral("cannot set the journal %1 aside: %2").arg(journal, systemError()));
}

bool matchesTree(const QString& name, const QString& directory) {
    return name == directory || (name.size() > directory.size() && name.startsWith(directory) &&
                                 name.at(directory.size()) == QLatin1Char('/'));
}

// One entry of the central directory being planned: an entry of the archive
// (existing >= 0) or a file to add (source >= 0).
struct PlannedEntry {
    QString name;
    qsizetype existing = -1;
    qsizetype source = -1;
};

// Opens the archive and reads its central directory; false with the cause.
bool openDirectory(const QString& archive, int flags, UniqueFd* fd, ZipDirectory* directory,
                   QString* error) {
    *fd = OpenUniqueFd(archive, flags);
    if (!fd->isOpen())
        return Fail(error, QStringLiteral("cannot open %1: %2").arg(archive, systemError()));
    QString cause;
    if (!ReadZipDirectory(fd->get(), directory, &cause))
        return Fail(error, QStringLiteral("%1: %2").arg(archive, cause));
    return true;
}

// Opens a file to add, so that one that cannot be read fails the edit before
// the archive is touched.
bool openSource(const QString& path, const struct stat& archiveInfo, SourceFile* source,
                QString* error) {
    source->path = path;
    source->fd = OpenUniqueFd(path, O_RDONLY);
    struct stat info;
    if (!source->fd.isOpen() || fstat(source->fd.get(), &info) != 0)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(path, systemError()));
    if (!S_ISREG(info.st_mode))
        return Fail(error, QStringLiteral("%1 is not a regular file").arg(path));
    if (info.st_dev == archiveInfo.st_dev && info.st_ino == archiveInfo.st_ino)
        return Fail(error, QStringLiteral("cannot add the archive to itself"));
    source->size = info.st_size;
    source->mtime = info.st_mtime;
    return true;
}

// Plans the new central directory, checking every change before anything is
// written.
bool planChanges(const QString& archive, const ZipDirectory& directory,
                 const struct stat& archiveInfo, const QList<ArchiveChange>& changes,
                 QList<PlannedEntry>* plan, std::vector<SourceFile>* sources, QString* error,
                 bool takeMade = false) {
    plan->reserve(directory.entries.size() + changes.size());
    for (qsizetype i = 0; i < directory.entries.size(); ++i) {
        const ZipCentralEntry& entry = directory.entries[i];
        plan->append({DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8), i, -1});
    }
    for (const ArchiveChange& change : changes) {
        const QString member = CanonicalMemberName(change.member);
        if (change.kind == ArchiveChangeKind::Put) {
            if (!IsSafeMemberName(member) || member.toUtf8().size() > kZipMax16)
                return Fail(error,
                            QStringLiteral("unusable member name \"%1\"").arg(change.member));
            SourceFile source;
            if (change.made) {
                if (!takeMade)
                    return Fail(
                        error, QStringLiteral("%1 is made only for a copy").arg(change.sourceFile));
                source.path = change.sourceFile;
                source.size = change.made->sizeHint;
                source.made = change.made.get();
            } else if (!openSource(change.sourceFile, archiveInfo, &source, error)) {
                return false;
            }
            plan->removeIf([&member](const PlannedEntry& e) { return e.name == member; });
            plan->append({member, -1, static_cast<qsizetype>(sources->size())});
            sources->push_back(std::move(source));
            continue;
        }
        const bool tree = change.kind == ArchiveChangeKind::RemoveTree;
        const qsizetype removed = plan->removeIf([&](const PlannedEntry& e) {
            return tree ? matchesTree(e.name, member) : e.name == member;
        });
        if (member.isEmpty() || removed == 0)
            return Fail(
                error,
                QStringLiteral("%1: no member \"%2\" to remove").arg(archive, change.member));
    }
    return true;
}

// Asks the test seam at a step of the commit: false (with *killed for a Kill)
// when it stops there.
bool passStep(const char* name, bool* killed, QString* error) {
    const FaultAction fault = faultAt(name);
    *killed = fault == FaultAction::Kill;
    if (fault != FaultAction::None)
        *error = QStringLiteral("stopped at %1 (test fault)").arg(QLatin1String(name));
    return fault == FaultAction::None;
}

// Writes the new entries and the new central directory from start on, then
// cuts the archive there and flushes it. The journal is in place.
bool writeEdit(UniqueFd& fd, const ZipDirectory& directory, quint64 start,
               const QList<PlannedEntry>& plan, std::vector<SourceFile>& sources,
               Progress& progress, bool* killed, QString* error) {
    if (!passStep("journal-written", killed, error))
        return false;
    BufferedOutput out(start, [&fd](quint64 offset, const char* data, qint64 size, QString* e) {
        return writeAt(fd.get(), offset, data, size, e);
    });
    QList<ZipCentralEntry> entries;
    entries.reserve(plan.size());
    for (const PlannedEntry& planned : plan) {
        if (planned.existing >= 0) {
            entries.append(directory.entries[planned.existing]);
            continue;
        }
        ZipCentralEntry entry;
        if (!writeFileEntry(out, fd.get(), planned.name,
                            sources[static_cast<size_t>(planned.source)], progress, &entry, error))
            return false;
        entries.append(entry);
    }
    if (!out.flush(error) || !passStep("entries-written", killed, error))
        return false;
    if (!writeDirectory(out, entries, error) ||
        !out.write(ZipCommentTail(directory.comment), error) || !out.flush(error) ||
        !passStep("directory-written", killed, error))
        return false;
    if (ftruncate(fd.get(), static_cast<off_t>(out.position())) != 0)
        return Fail(error,
                    QStringLiteral("cannot set the archive's length: %1").arg(systemError()));
    if (!passStep("truncated", killed, error) || !syncFile(fd.get(), error) ||
        !passStep("synced", killed, error))
        return false;
    if (!fd.close())
        return Fail(error, QStringLiteral("cannot write the archive: %1").arg(systemError()));
    return true;
}

bool applyChanges(const QString& archive, const QList<ArchiveChange>& changes, QString* error,
                  const ArchiveProgress& callback) {
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDWR, &fd, &directory, error))
        return false;
    if (directory.prefixBias != 0)
        return Fail(error, QStringLiteral("%1: %2 bytes in front of the archive are not "
                                          "counted by its offsets")
                               .arg(archive)
                               .arg(directory.prefixBias));
    struct stat archiveInfo;
    if (fstat(fd.get(), &archiveInfo) != 0)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(archive, systemError()));
    QList<PlannedEntry> plan;
    std::vector<SourceFile> sources;
    if (!planChanges(archive, directory, archiveInfo, changes, &plan, &sources, error))
        return false;
    if (changes.isEmpty())
        return true;

    // With no entry left the archive shrinks to its end record.
    const quint64 start = plan.isEmpty() ? 0 : directory.directoryOffset;
    const quint64 oldLength = directory.fileSize;
    qint64 total = static_cast<qint64>(oldLength - start);
    for (const PlannedEntry& e : plan) {
        if (e.source >= 0)
            total += sources[static_cast<size_t>(e.source)].size;
    }
    Progress progress(callback, total);
    if (!writeJournal(archive, fd.get(), start, oldLength, progress, error))
        return false;

    // From here on a failure rolls the archive back from the journal.
    bool killed = false;
    if (!writeEdit(fd, directory, start, plan, sources, progress, &killed, error)) {
        if (killed)
            return false;
        fd.close();
        QString rollback;
        if (!RecoverArchive(archive, &rollback))
            *error = QStringLiteral("%1; rolling back failed too: %2").arg(*error, rollback);
        *error = QStringLiteral("%1: %2").arg(archive, *error);
        return false;
    }

    // The commit point: without the journal the edit stands.
    const QString journal = ArchiveJournalPath(archive);
    if (!removeFile(journal, error))
        return false;
    if (faultAt("committed") == FaultAction::Kill)
        return Fail(error, QStringLiteral("stopped at committed (test fault)"));
    if (!FileHelpers::SyncDirectory(QFileInfo(journal).absolutePath(), error))
        return false;
    progress.finish();
    return true;
}

// After a journal was set aside: true when the archive reads (or is not
// there), else false with why, naming the journal's new place.
bool archiveReadsAfterSetAside(const QString& archive, const ArchiveRecovery& recovery,
                               QString* error) {
    if (!fileExists(archive))
        return true;
    UniqueFd fd;
    ZipDirectory directory;
    QString cause;
    if (openDirectory(archive, O_RDONLY, &fd, &directory, &cause))
        return true;
    return Fail(error, QStringLiteral("the journal was %1 and set aside as %2; the archive "
                                      "may be part way through an edit: %3")
                           .arg(recovery.reason, recovery.setAside, cause));
}

} // namespace

QString ArchiveJournalPath(const QString& archive) {
    return archive + QStringLiteral(".journal");
}

bool ReadArchiveMembers(const QString& archive, QList<ArchiveMember>* members, QString* error) {
    members->clear();
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDONLY, &fd, &directory, error))
        return false;
    *members = ArchiveMembersOf(directory);
    return true;
}

QList<ArchiveMember> ArchiveMembersOf(const ZipDirectory& directory) {
    QList<ArchiveMember> members;
    members.reserve(directory.entries.size());
    for (const ZipCentralEntry& entry : directory.entries) {
        ArchiveMember member;
        member.utf8Flag = entry.flags & kZipFlagUtf8;
        member.name = DecodeMemberName(entry.rawName, member.utf8Flag);
        member.rawName = entry.rawName;
        member.isDirectory = entry.rawName.endsWith('/') || entry.rawName.endsWith('\\');
        member.method = entry.method;
        member.crc32 = entry.crc32;
        member.compressedSize = entry.compressedSize;
        member.uncompressedSize = entry.uncompressedSize;
        member.localHeaderOffset = entry.localHeaderOffset;
        members.append(member);
    }
    return members;
}

bool CheckArchiveDeviceReadable(const QString& archive, QString* error, bool namesAsShown) {
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDONLY, &fd, &directory, error))
        return false;
    QString cause;
    if (CheckDeviceReadable(directory, &cause, namesAsShown))
        return true;
    return Fail(error, QStringLiteral("%1: %2").arg(archive, cause));
}

bool FindZipPart(const QString& path, quint64* start, quint64* prefixBias, QString* error) {
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(path, O_RDONLY, &fd, &directory, error))
        return false;
    *start = ZipPartStart(directory);
    *prefixBias = directory.prefixBias;
    return true;
}

bool ApplyArchiveChanges(const QString& archive, const QList<ArchiveChange>& changes,
                         QString* error, const ArchiveProgress& progress) {
    QString local;
    if (!error)
        error = &local;
    QString recovery;
    if (!RecoverArchive(archive, &recovery))
        return Fail(error, QStringLiteral("an interrupted edit of %1 could not be rolled "
                                          "back: %2")
                               .arg(archive, recovery));
    return applyChanges(archive, changes, error, progress);
}

bool RecoverArchive(const QString& archive, QString* error, ArchiveRecovery* result) {
    QString local;
    if (!error)
        error = &local;
    ArchiveRecovery ignoredResult;
    ArchiveRecovery& recovery = result ? *result : ignoredResult;
    recovery = ArchiveRecovery();
    const QString journal = ArchiveJournalPath(archive);
    // A journal still under its temporary name was never complete: the
    // archive was not touched.
    FileHelpers::RemoveAbandonedTemporaries(journal);
    if (!removeFile(journal + QStringLiteral(".tmp"), error))
        return false;
    if (!fileExists(journal))
        return true;

    const UniqueFd fd = OpenUniqueFd(journal, O_RDONLY);
    if (!fd.isOpen())
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(journal, systemError()));
    const auto setAside = [&](const QString& kind, const QString& reason) {
        recovery.reason = reason;
        return setJournalAside(journal, kind, &recovery.setAside, error) &&
               archiveReadsAfterSetAside(archive, recovery, error);
    };
    JournalHeader header;
    quint32 storedCrc = 0;
    if (!readJournalHeader(fd.get(), &header, &storedCrc))
        return setAside(QStringLiteral("damaged"), QStringLiteral("incomplete or damaged"));

    // Whether it belongs to this archive comes first: a journal of another
    // file is never replayed, whatever its state.
    UniqueFd target = OpenUniqueFd(archive, O_RDWR);
    if (!target.isOpen() && errno == ENOENT)
        return setAside(QStringLiteral("foreign"), QStringLiteral("left by an archive that is "
                                                                  "gone"));
    struct stat archiveInfo;
    if (!target.isOpen() || fstat(target.get(), &archiveInfo) != 0)
        return Fail(
            error,
            QStringLiteral("cannot open %1 to roll it back: %2").arg(archive, systemError()));
    ArchiveIdentity found;
    QString cause;
    if (static_cast<quint64>(archiveInfo.st_size) < header.savedOffset ||
        !identityOf(target.get(), header.savedOffset, &found, &cause) ||
        !(found == header.identity))
        return setAside(QStringLiteral("foreign"),
                        QStringLiteral("written for another archive than this one"));
    if (!journalChecksumHolds(fd.get(), header, storedCrc, &cause))
        return setAside(QStringLiteral("damaged"), cause.isEmpty()
                                                       ? QStringLiteral("damaged (checksum)")
                                                       : QStringLiteral("unreadable: ") + cause);
    if (!replayJournal(fd.get(), header, target, &cause))
        return Fail(error, QStringLiteral("rolling back %1: %2").arg(archive, cause));
    recovery.rolledBack = true;
    return removeFile(journal, error) &&
           FileHelpers::SyncDirectory(QFileInfo(journal).absolutePath(), error);
}

bool SummariseZipArchive(const QString& path, ZipSummary* summary, QString* error,
                         QList<ArchiveMember>* read) {
    *summary = ZipSummary{};
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile() || info.size() == 0) {
        SetError(error, QStringLiteral("\"%1\" is not a file with data").arg(path));
        return false;
    }
    QList<ArchiveMember> members;
    if (!ReadArchiveMembers(path, &members, error))
        return false;
    summary->entries = members.size();
    for (const ArchiveMember& member : members)
        summary->uncompressedBytes += static_cast<qint64>(member.uncompressedSize);
    if (read)
        *read = std::move(members);
    return true;
}

bool IsReadableZipArchive(const QString& path) {
    ZipSummary summary;
    return SummariseZipArchive(path, &summary);
}

bool WriteEditedCompactArchive(const QString& archive, const QList<ArchiveChange>& changes,
                               const QList<QPair<QString, QByteArray>>& extraMembers,
                               const ByteSink& sink, QString* error,
                               const ArchiveProgress& callback,
                               const std::function<bool(const QString& name, bool directory)>& keep,
                               const std::function<bool()>& stopRequested,
                               const EntryStarts& entryStarts) {
    QString local;
    if (!error)
        error = &local;
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDONLY, &fd, &directory, error))
        return false;
    // The archive is only read here: it may be a source of its own members.
    struct stat noArchive {};
    noArchive.st_dev = static_cast<dev_t>(-1);
    noArchive.st_ino = static_cast<ino_t>(-1);
    QList<PlannedEntry> plan;
    std::vector<SourceFile> sources;
    if (!planChanges(archive, directory, noArchive, changes, &plan, &sources, error, true))
        return false;
    QSet<QString> replaced;
    for (const auto& extra : extraMembers)
        replaced.insert(CanonicalMemberName(extra.first));
    plan.removeIf([&](const PlannedEntry& planned) {
        if (replaced.contains(planned.name))
            return true;
        if (planned.existing < 0 || !keep)
            return false;
        const QByteArray& raw = directory.entries[planned.existing].rawName;
        return !keep(planned.name, raw.endsWith('/') || raw.endsWith('\\'));
    });
    qint64 kept = 0;
    qint64 total = 0;
    for (const PlannedEntry& planned : plan) {
        if (planned.existing >= 0) {
            const ZipCentralEntry& entry = directory.entries[planned.existing];
            kept += static_cast<qint64>(entry.extentEnd - entry.localHeaderOffset);
        } else {
            total += sources[static_cast<size_t>(planned.source)].size;
        }
    }
    // The reader refuses overlapping entries; a copy never holds more of the
    // old entries than the archive does.
    if (static_cast<quint64>(kept) > directory.directoryOffset)
        return Fail(error,
                    QStringLiteral("%1: its entries claim more bytes than it holds").arg(archive));
    total += kept;
    for (const auto& extra : extraMembers)
        total += extra.second.size();
    Progress progress(callback, total);

    BufferedOutput out(0, [&sink](quint64, const char* data, qint64 size, QString* e) {
        if (sink(data, size))
            return true;
        *e = QStringLiteral("the copy could not be written");
        return false;
    });
    const auto stopped = [&] {
        if (!stopRequested || !stopRequested())
            return false;
        SetError(error, QStringLiteral("stopped"));
        return true;
    };
    QList<ZipCentralEntry> written;
    written.reserve(plan.size() + extraMembers.size());
    WindowReader reader(fd.get(), directory.directoryOffset);
    for (const PlannedEntry& planned : plan) {
        if (stopped())
            return false;
        if (planned.existing < 0) {
            SourceFile& source = sources[static_cast<size_t>(planned.source)];
            const MadeSource* made = source.made;
            const auto release = qScopeGuard([&] {
                if (made) {
                    source.fd.close();
                    made->release();
                }
            });
            if (made) {
                QString path;
                if (!made->make(&path, error) || !openSource(path, noArchive, &source, error))
                    return false;
            }
            ZipCentralEntry entry;
            if (!writeFileEntryAhead(out, planned.name, source, progress, &entry, error,
                                     entryStarts))
                return false;
            written.append(entry);
            continue;
        }
        const ZipCentralEntry& original = directory.entries[planned.existing];
        const quint64 newOffset = out.position();
        ZipCentralEntry entry = original;
        entry.record = ZipCentralRecord(original, newOffset);
        entry.localHeaderOffset = newOffset;
        if (entryStarts)
            entryStarts(entry);
        if (!reader.copy(original.localHeaderOffset, original.extentEnd, out, progress, error))
            return Fail(error, QStringLiteral("%1: %2").arg(archive, *error));
        written.append(entry);
    }
    for (const auto& extra : extraMembers) {
        ZipCentralEntry entry;
        if (!writeMemoryEntry(out, CanonicalMemberName(extra.first), extra.second, &entry, error,
                              entryStarts))
            return false;
        written.append(entry);
        progress.add(extra.second.size());
    }
    if (stopped() || !writeDirectory(out, written, error) || !out.flush(error))
        return false;
    progress.finish();
    return true;
}

bool WriteCompactArchive(const QString& archive,
                         const QList<QPair<QString, QByteArray>>& extraMembers,
                         const ByteSink& sink, QString* error, const ArchiveProgress& callback,
                         const std::function<bool(const QString& name, bool directory)>& keep) {
    return WriteEditedCompactArchive(archive, {}, extraMembers, sink, error, callback, keep);
}
