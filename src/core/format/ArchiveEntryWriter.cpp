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

// A member is deflated only when its sample shrinks to 95 % or less.
constexpr qint64 kDeflatePercent = 95;
constexpr int kDeflateLevel = 6;
// A member larger than one chunk is judged from slices spread evenly from
// its start to its end: a stored resource table at the start of an APK, or
// an image's compressible header, does not speak for the rest.
constexpr qint64 kSampleSlices = 8;
constexpr qint64 kSliceSize = kChunk / kSampleSlices;
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

using ReadAt = std::function<bool(qint64 offset, char* data, qint64 size, QString* error)>;

// The member's decision, from its slices (a member of one chunk or less is
// its own sample: head then holds it and headDeflated its deflated form).
struct Judgement {
    bool deflated = false;
    QByteArray head;
    QByteArray headDeflated;
};

bool judge(qint64 size, const ReadAt& read, Judgement* judgement, QString* error) {
    if (size <= kChunk) {
        judgement->head = QByteArray(size, Qt::Uninitialized);
        if (!read(0, judgement->head.data(), size, error) ||
            !deflateWhole(judgement->head.constData(), size, &judgement->headDeflated, error))
            return false;
        judgement->deflated = worthDeflating(size, judgement->headDeflated.size());
        return true;
    }
    QByteArray slice(kSliceSize, Qt::Uninitialized);
    QByteArray compressed;
    qint64 sampled = 0;
    qint64 shrunk = 0;
    for (qint64 i = 0; i < kSampleSlices; ++i) {
        const qint64 offset = (size - kSliceSize) * i / (kSampleSlices - 1);
        if (!read(offset, slice.data(), kSliceSize, error) ||
            !deflateWhole(slice.constData(), kSliceSize, &compressed, error))
            return false;
        sampled += kSliceSize;
        shrunk += compressed.size();
    }
    judgement->deflated = worthDeflating(sampled, shrunk);
    return true;
}

ReadAt fileReader(const SourceFile& source) {
    return [fd = source.fd.get()](qint64 offset, char* data, qint64 size, QString* error) {
        return ReadZipBytesAt(fd, static_cast<quint64>(offset), data, size, error);
    };
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

using Consume = std::function<bool(const char*, qint64)>;

// Streams a file's data, deflated as judged, to consume block by block from
// its start; crc gets the CRC-32 of the file's bytes. A failed reading or
// deflate leaves its cause in cause; a refusal by consume leaves it alone.
bool streamFile(SourceFile& source, const Judgement& judgement, const Consume& consume,
                Progress* progress, quint32* crc, QString* cause) {
    const qint64 size = source.size;
    if (size <= kChunk) {
        *crc = crcOf(kCrcStart, judgement.head.constData(), size);
        if (progress)
            progress->add(size);
        return judgement.deflated
                   ? consume(judgement.headDeflated.constData(), judgement.headDeflated.size())
                   : consume(judgement.head.constData(), size);
    }
    *crc = kCrcStart;
    Deflater deflater(kDeflateLevel);
    QByteArray block;
    for (qint64 pos = 0; pos < size;) {
        block.resize(qMin(kChunk, size - pos));
        if (!ReadZipBytesAt(source.fd.get(), static_cast<quint64>(pos), block.data(), block.size(),
                            cause))
            return false;
        *crc = crcOf(*crc, block.constData(), block.size());
        pos += block.size();
        const bool last = pos >= size;
        if (judgement.deflated
                ? !deflater.feed(block.constData(), block.size(), last, consume, cause)
                : !consume(block.constData(), block.size()))
            return false;
        if (progress)
            progress->add(block.size());
    }
    return true;
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
    Judgement judgement;
    const ReadAt fromMemory = [&data](qint64 offset, char* into, qint64 n, QString*) {
        std::memcpy(into, data.constData() + offset, static_cast<size_t>(n));
        return true;
    };
    if (!judge(data.size(), fromMemory, &judgement, error))
        return false;
    QByteArray compressed;
    if (judgement.deflated) {
        if (data.size() <= kChunk)
            compressed = judgement.headDeflated;
        else if (!deflateWhole(data.constData(), data.size(), &compressed, error))
            return false;
    }
    const QByteArray& stored = judgement.deflated ? compressed : data;
    entry->method = judgement.deflated ? 8 : 0;
    entry->crc32 = crcOf(kCrcStart, data.constData(), data.size());
    entry->uncompressedSize = size;
    entry->compressedSize = static_cast<quint64>(stored.size());
    entry->localHeaderOffset = out.position();
    if (starts)
        starts(*entry);
    return out.write(ZipLocalHeader(*entry, zip64), error) && out.write(stored, error);
}

bool writeFileEntry(BufferedOutput& out, const QString& name, SourceFile& source,
                    Progress& progress, ZipCentralEntry* entry, QString* error,
                    const BufferedOutput::Drain& patch, const EntryStarts& starts) {
    const qint64 size = source.size;
    const bool zip64 = static_cast<quint64>(size) >= 0xFFFF0000u;
    *entry = newEntry(name, source.dosDate, source.dosTime, zip64);
    const auto fileError = [&](const QString& cause) {
        return Fail(error, QStringLiteral("%1: %2").arg(source.path, cause));
    };
    Judgement judgement;
    QString cause;
    if (!judge(size, fileReader(source), &judgement, &cause))
        return fileError(cause);
    entry->method = judgement.deflated ? 8 : 0;
    entry->uncompressedSize = static_cast<quint64>(size);
    const auto tooLarge = [&](quint64 compressed) { return !zip64 && compressed >= kZipMax32; };
    const auto toOutput = [&out, error](const char* data, qint64 n) {
        return out.write(data, n, error);
    };

    if (patch) {
        // One reading: the header is completed once the data is out.
        entry->localHeaderOffset = out.position();
        if (!out.write(ZipLocalHeader(*entry, zip64), error))
            return false;
        const quint64 dataStart = out.position();
        quint32 crc = 0;
        cause.clear();
        if (!streamFile(source, judgement, toOutput, &progress, &crc, &cause))
            return cause.isEmpty() ? false : fileError(cause);
        entry->crc32 = crc;
        entry->compressedSize = out.position() - dataStart;
        if (tooLarge(entry->compressedSize))
            return fileError(QStringLiteral("the compressed member grew past 4 GB"));
        if (!out.overwrite(entry->localHeaderOffset, ZipLocalHeader(*entry, zip64), patch, error))
            return false;
        if (starts)
            starts(*entry);
        return true;
    }

    // An output that cannot be written back: a first reading measures the
    // CRC-32 and the compressed size, so that the header goes out complete.
    quint64 compressed = 0;
    quint32 crc = 0;
    const Consume count = [&compressed](const char*, qint64 n) {
        compressed += static_cast<quint64>(n);
        return true;
    };
    if (!streamFile(source, judgement, count, nullptr, &crc, &cause))
        return fileError(cause);
    if (tooLarge(compressed))
        return fileError(QStringLiteral("the compressed member grew past 4 GB"));
    entry->compressedSize = compressed;
    entry->crc32 = crc;
    entry->localHeaderOffset = out.position();
    if (starts)
        starts(*entry);
    if (!out.write(ZipLocalHeader(*entry, zip64), error))
        return false;
    const quint64 dataStart = out.position();
    quint32 again = 0;
    cause.clear();
    if (!streamFile(source, judgement, toOutput, &progress, &again, &cause))
        return cause.isEmpty() ? false : fileError(cause);
    // The file changed between the two readings: the header would lie.
    if (again != crc || out.position() - dataStart != compressed)
        return fileError(QStringLiteral("the file changed while it was added"));
    return true;
}

} // namespace archive_edit
