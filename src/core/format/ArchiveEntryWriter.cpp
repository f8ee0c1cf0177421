#include "core/format/ArchiveEntryWriter.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"

#include <QDateTime>
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

using namespace archive_edit;

namespace {

// A member is deflated only when its first MiB shrinks to 95 % or less.
constexpr qint64 kDeflatePercent = 95;
constexpr int kDeflateLevel = 6;
constexpr quint16 kVersionDefault = 20;
constexpr quint16 kVersionZip64 = 45;
constexpr quint16 kMadeByUnix = 3 << 8;
constexpr quint32 kRegularFile0644 = 0100644u << 16;
// Members added by a compact copy get a fixed time, so that copying the same
// archive twice gives the same bytes.
constexpr quint16 kExtraDosDate = ((2008 - 1980) << 9) | (1 << 5) | 1;
constexpr quint16 kExtraDosTime = 0;

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

} // namespace

namespace archive_edit {

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

} // namespace archive_edit
