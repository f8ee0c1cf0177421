#include "core/format/ZipFormat.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/RandomAccessSource.h"

#include <QDateTime>
#include <QHash>
#include <QStringDecoder>

#include <algorithm>
#include <limits>
#include <vector>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr quint32 kLocalSignature = 0x04034b50;
constexpr quint32 kCentralSignature = 0x02014b50;
constexpr quint32 kEndSignature = 0x06054b50;
constexpr quint32 kZip64EndSignature = 0x06064b50;
constexpr quint32 kZip64LocatorSignature = 0x07064b50;
constexpr quint32 kDescriptorSignature = 0x08074b50;
constexpr quint16 kZip64Tag = 0x0001;
constexpr qint64 kLocalHeaderSize = 30;
constexpr qint64 kCentralHeaderSize = 46;
constexpr qint64 kEndSize = 22;
constexpr qint64 kZip64EndSize = 56;
constexpr qint64 kZip64LocatorSize = 20;

// True when length bytes at offset end at or before limit; no sum can wrap.
bool fitsWithin(quint64 offset, quint64 length, quint64 limit) {
    return offset <= limit && length <= limit - offset;
}

QString entryLabel(qsizetype index, const QByteArray& rawName) {
    return QStringLiteral("entry %1 (%2)").arg(index).arg(PrintableZipName(rawName));
}

// Reads a region of the file (the central directory, the local headers)
// through a window (64 KiB unless told, larger for a larger read), so that
// neighbouring records come from one read and memory stays bounded whatever
// the records claim. Nothing past the limit is ever read.
class WindowReader {
public:
    WindowReader(const RandomAccessSource& source, quint64 limit, qint64 window = 64 * 1024)
        : m_source(source), m_limit(limit), m_windowSize(window) {}

    // Points *data at size bytes at offset, valid until the next call; false
    // (with the cause) when they pass the limit or cannot be read.
    bool read(quint64 offset, qint64 size, const char** data, QString* error) {
        if (size < 0 || !fitsWithin(offset, static_cast<quint64>(size), m_limit))
            return Fail(error, QStringLiteral("%1 bytes at offset %2 run past %3")
                                   .arg(size)
                                   .arg(offset)
                                   .arg(m_limit));
        const quint64 end = offset + static_cast<quint64>(size);
        if (offset < m_start || end > m_start + static_cast<quint64>(m_window.size())) {
            const auto length = static_cast<qsizetype>(qMin<quint64>(
                static_cast<quint64>(qMax<qint64>(size, m_windowSize)), m_limit - offset));
            m_window.resize(length);
            m_start = offset;
            if (!m_source.readAt(offset, m_window.data(), length, error)) {
                m_window.clear();
                return false;
            }
        }
        *data = m_window.constData() + (offset - m_start);
        return true;
    }

private:
    const RandomAccessSource& m_source;
    quint64 m_limit;
    qint64 m_windowSize;
    quint64 m_start = 0;
    QByteArray m_window;
};

// The fields of a ZIP64 extra field that a record's 32-bit values of
// 0xFFFFFFFF call for, in their fixed order; the rest of the extra data is
// returned in *others.
bool takeZip64Field(const QByteArray& extra, bool wantUncompressed, bool wantCompressed,
                    bool wantOffset, quint64* uncompressed, quint64* compressed, quint64* offset,
                    QByteArray* others) {
    others->clear();
    qsizetype pos = 0;
    bool found = false;
    while (pos + 4 <= extra.size()) {
        const quint16 tag = ReadLe16(extra.constData() + pos);
        const quint16 length = ReadLe16(extra.constData() + pos + 2);
        if (pos + 4 + length > extra.size())
            break; // a malformed tail is kept as it is
        if (tag == kZip64Tag && !found) {
            found = true;
            const char* field = extra.constData() + pos + 4;
            qsizetype used = 0;
            auto take = [&](bool want, quint64* value) {
                if (!want)
                    return true;
                if (used + 8 > length)
                    return false;
                *value = ReadLe64(field + used);
                used += 8;
                return true;
            };
            if (!take(wantUncompressed, uncompressed) || !take(wantCompressed, compressed) ||
                !take(wantOffset, offset))
                return false;
        } else {
            others->append(extra.mid(pos, 4 + length));
        }
        pos += 4 + length;
    }
    if (pos < extra.size())
        others->append(extra.mid(pos));
    return found || (!wantUncompressed && !wantCompressed && !wantOffset);
}

bool hasZip64Field(const char* extra, qint64 length) {
    qint64 pos = 0;
    while (pos + 4 <= length) {
        if (ReadLe16(extra + pos) == kZip64Tag)
            return true;
        pos += 4 + ReadLe16(extra + pos + 2);
    }
    return false;
}

// The source with its last bytes held, so that the end records and, in a
// small archive (an APK), the central directory come from one read of the
// tail instead of one each (a read through a view of a member costs a system
// call per stored block).
class TailSource : public RandomAccessSource {
public:
    explicit TailSource(const RandomAccessSource& whole)
        : m_whole(whole), m_size(whole.size()), m_start(m_size) {}
    quint64 size() const override { return m_size; }

    // Holds the last length bytes (at most the whole source).
    bool hold(quint64 length, QString* error) {
        length = qMin(length, m_size);
        if (length <= static_cast<quint64>(m_tail.size()))
            return true;
        m_tail.resize(static_cast<qsizetype>(length));
        m_start = m_size - length;
        if (m_whole.readAt(m_start, m_tail.data(), m_tail.size(), error))
            return true;
        m_tail.clear();
        m_start = m_size;
        return false;
    }
    const QByteArray& tail() const { return m_tail; }
    quint64 tailStart() const { return m_start; }

    bool readAt(quint64 offset, char* data, qint64 size, QString* error) const override {
        if (size >= 0 && offset >= m_start && offset <= m_size &&
            static_cast<quint64>(size) <= m_size - offset) {
            if (size > 0)
                std::memcpy(data, m_tail.constData() + (offset - m_start),
                            static_cast<size_t>(size));
            return true;
        }
        return m_whole.readAt(offset, data, size, error);
    }

private:
    const RandomAccessSource& m_whole;
    quint64 m_size;
    quint64 m_start;
    QByteArray m_tail;
};

// Finds the end-of-central-directory record: the last signature whose
// comment reaches exactly to the end of the file. A short tail is looked at
// first (an archive seldom has a long comment), then the longest a comment
// allows.
bool findEndRecord(TailSource& source, quint64 fileSize, quint64* endOffset, QString* error) {
    if (fileSize < static_cast<quint64>(kEndSize))
        return Fail(error, QStringLiteral("the file is too short to be a ZIP archive"));
    for (const quint64 wanted : {quint64(8 * 1024), static_cast<quint64>(kEndSize) + 0xFFFF}) {
        const quint64 span = qMin<quint64>(fileSize, wanted);
        if (span < static_cast<quint64>(source.tail().size()))
            break; // the whole file was looked at
        if (!source.hold(span, error))
            return false;
        const QByteArray& tail = source.tail();
        for (qsizetype pos = tail.size() - kEndSize; pos >= 0; --pos) {
            const char* p = tail.constData() + pos;
            if (ReadLe32(p) != kEndSignature)
                continue;
            if (pos + kEndSize + ReadLe16(p + 20) == tail.size()) {
                *endOffset = source.tailStart() + static_cast<quint64>(pos);
                return true;
            }
        }
        if (span == fileSize)
            break;
    }
    return Fail(error, QStringLiteral("the file is not a ZIP archive (no end of central "
                                      "directory record)"));
}

// What the end records say about the central directory.
struct EndRecords {
    quint64 count = 0;
    quint64 directorySize = 0;
    quint64 statedOffset = 0; // the directory's offset as written
    quint64 directoryEnd = 0; // where the directory really ends in the file
    quint64 zip64Bias = 0;    // how far the ZIP64 end record lies from where it is said to
};

// The ZIP64 end record the locator before the end record leads to, whose
// values replace the 16- and 32-bit ones. Found where the locator says, or,
// when a stub was put in front unadjusted, right before the locator.
bool readZip64End(const RandomAccessSource& source, quint64 endOffset, EndRecords* records,
                  QString* error) {
    if (endOffset < static_cast<quint64>(kZip64LocatorSize + kZip64EndSize))
        return true;
    char locator[kZip64LocatorSize];
    if (!source.readAt(endOffset - kZip64LocatorSize, locator, kZip64LocatorSize, error))
        return false;
    if (ReadLe32(locator) != kZip64LocatorSignature)
        return true;
    const quint64 limit = endOffset - kZip64LocatorSize;
    const quint64 stated = ReadLe64(locator + 8);
    const quint64 adjacent = limit - kZip64EndSize;
    char record[kZip64EndSize];
    const auto recordAt = [&](quint64 offset) {
        QString ignored;
        return fitsWithin(offset, kZip64EndSize, limit) &&
               source.readAt(offset, record, kZip64EndSize, &ignored) &&
               ReadLe32(record) == kZip64EndSignature;
    };
    quint64 position = stated;
    if (!recordAt(stated)) {
        if (stated > adjacent || !recordAt(adjacent))
            return Fail(error,
                        QStringLiteral("the ZIP64 end of central directory record is missing"));
        position = adjacent;
        records->zip64Bias = adjacent - stated;
    }
    if (ReadLe32(record + 16) != 0 || ReadLe32(record + 20) != 0 ||
        ReadLe64(record + 24) != ReadLe64(record + 32))
        return Fail(error, QStringLiteral("split (multi-disk) archives are not supported"));
    records->count = ReadLe64(record + 32);
    records->directorySize = ReadLe64(record + 40);
    records->statedOffset = ReadLe64(record + 48);
    records->directoryEnd = position;
    return true;
}

bool readEndRecords(TailSource& source, quint64 fileSize, EndRecords* records, QByteArray* comment,
                    QString* error) {
    quint64 endOffset = 0;
    if (!findEndRecord(source, fileSize, &endOffset, error))
        return false;
    char end[kEndSize];
    if (!source.readAt(endOffset, end, kEndSize, error))
        return false;
    const quint16 commentLength = ReadLe16(end + 20);
    comment->resize(commentLength);
    if (!source.readAt(endOffset + kEndSize, comment->data(), commentLength, error))
        return false;
    if (ReadLe16(end + 4) != 0 || ReadLe16(end + 6) != 0 || ReadLe16(end + 8) != ReadLe16(end + 10))
        return Fail(error, QStringLiteral("split (multi-disk) archives are not supported"));
    records->count = ReadLe16(end + 10);
    records->directorySize = ReadLe32(end + 12);
    records->statedOffset = ReadLe32(end + 16);
    records->directoryEnd = endOffset;
    return readZip64End(source, endOffset, records, error);
}

// Where the central directory starts, and the bias of a stub put in front
// without adjusting the offsets: the directory ends where the end records
// begin, so it starts its size before; what the end record says falls short
// of that by the stub's length.
bool locateDirectory(const EndRecords& records, quint64* directoryOffset, quint64* bias,
                     QString* error) {
    if (records.directorySize > records.directoryEnd ||
        records.statedOffset > records.directoryEnd - records.directorySize)
        return Fail(error, QStringLiteral("the central directory is not where the end record "
                                          "says (offset %1, size %2)")
                               .arg(records.statedOffset)
                               .arg(records.directorySize));
    *directoryOffset = records.directoryEnd - records.directorySize;
    *bias = *directoryOffset - records.statedOffset;
    if (records.zip64Bias != 0 && records.zip64Bias != *bias)
        return Fail(error, QStringLiteral("the ZIP64 end records do not agree on where the "
                                          "central directory is"));
    // Every record takes at least 46 bytes: a count beyond that is damage.
    if (records.count > records.directorySize / kCentralHeaderSize)
        return Fail(error, QStringLiteral("the end record counts %1 entries, more than the "
                                          "central directory can hold")
                               .arg(records.count));
    return true;
}

// One record of the central directory at *pos, which moves past it.
bool parseCentralRecord(WindowReader& reader, quint64* pos, quint64 index, quint64 bias,
                        ZipCentralEntry* entry, QString* error) {
    const char* p = nullptr;
    QString cause;
    if (!reader.read(*pos, kCentralHeaderSize, &p, &cause) || ReadLe32(p) != kCentralSignature)
        return Fail(error, QStringLiteral("central directory record %1 is damaged").arg(index));
    const qint64 recordSize =
        kCentralHeaderSize + ReadLe16(p + 28) + ReadLe16(p + 30) + ReadLe16(p + 32);
    if (!reader.read(*pos, recordSize, &p, &cause))
        return Fail(
            error,
            QStringLiteral("central directory record %1 runs past the directory").arg(index));
    const quint16 nameLength = ReadLe16(p + 28);
    const quint16 extraLength = ReadLe16(p + 30);
    const quint16 commentLength = ReadLe16(p + 32);
    entry->rawName = QByteArray(p + kCentralHeaderSize, nameLength);
    if (ReadLe16(p + 34) != 0)
        return Fail(error, QStringLiteral("split (multi-disk) archives are not supported"));
    entry->versionMadeBy = ReadLe16(p + 4);
    entry->versionNeeded = ReadLe16(p + 6);
    entry->flags = ReadLe16(p + 8);
    entry->method = ReadLe16(p + 10);
    entry->dosTime = ReadLe16(p + 12);
    entry->dosDate = ReadLe16(p + 14);
    entry->crc32 = ReadLe32(p + 16);
    const quint32 compressed32 = ReadLe32(p + 20);
    const quint32 uncompressed32 = ReadLe32(p + 24);
    entry->internalAttributes = ReadLe16(p + 36);
    entry->externalAttributes = ReadLe32(p + 38);
    const quint32 offset32 = ReadLe32(p + 42);
    const QByteArray extra(p + kCentralHeaderSize + nameLength, extraLength);
    entry->comment = QByteArray(p + kCentralHeaderSize + nameLength + extraLength, commentLength);
    entry->record = QByteArray(p, recordSize);
    entry->compressedSize = compressed32;
    entry->uncompressedSize = uncompressed32;
    entry->localHeaderOffset = offset32;
    entry->sizesInZip64 = compressed32 == kZipMax32 || uncompressed32 == kZipMax32;
    if (!takeZip64Field(extra, uncompressed32 == kZipMax32, compressed32 == kZipMax32,
                        offset32 == kZipMax32, &entry->uncompressedSize, &entry->compressedSize,
                        &entry->localHeaderOffset, &entry->extra))
        return Fail(error, QStringLiteral("%1: its central directory record lacks its ZIP64 "
                                          "values")
                               .arg(entryLabel(static_cast<qsizetype>(index), entry->rawName)));
    if (entry->localHeaderOffset > std::numeric_limits<quint64>::max() - bias)
        return Fail(error, QStringLiteral("%1: its local header offset %2 is out of range")
                               .arg(entryLabel(static_cast<qsizetype>(index), entry->rawName))
                               .arg(entry->localHeaderOffset));
    entry->localHeaderOffset += bias;
    if (bias != 0)
        entry->record.clear(); // its offset is off by the bias: written anew
    *pos += static_cast<quint64>(recordSize);
    return true;
}

// Reads the records one by one through a window: the first bad one ends it.
bool readCentralDirectory(const RandomAccessSource& source, quint64 count, quint64 directorySize,
                          quint64 bias, ZipDirectory* directory, QString* error) {
    const quint64 end = directory->directoryOffset + directorySize;
    WindowReader reader(source, end);
    quint64 pos = directory->directoryOffset;
    directory->entries.reserve(static_cast<qsizetype>(qMin<quint64>(count, 4096)));
    for (quint64 i = 0; i < count; ++i) {
        ZipCentralEntry entry;
        if (!parseCentralRecord(reader, &pos, i, bias, &entry, error))
            return false;
        directory->entries.append(std::move(entry));
    }
    if (pos != end)
        return Fail(error, QStringLiteral("the central directory holds more than its %1 "
                                          "records")
                               .arg(count));
    return true;
}

// How long the data descriptor after an entry's data is, from what is there:
// an optional signature, the CRC-32, then both sizes in 4 or 8 bytes each. The
// form whose values agree with the central directory wins; without one, the
// sizes are 8 bytes when the local header has a ZIP64 field or a size needs
// them (as Java's writer decides).
qint64 descriptorLength(WindowReader& reader, quint64 at, quint64 limit,
                        const ZipCentralEntry& entry, bool localZip64) {
    const char* p = nullptr;
    QString ignored;
    const qint64 available = static_cast<qint64>(qMin<quint64>(24, limit - at));
    const bool signature =
        available >= 4 && reader.read(at, 4, &p, &ignored) && ReadLe32(p) == kDescriptorSignature;
    const qint64 skip = signature ? 4 : 0;
    const auto matches = [&](bool wide) {
        const qint64 length = skip + (wide ? 20 : 12);
        if (length > available || !reader.read(at, length, &p, &ignored))
            return false;
        const char* values = p + skip;
        if (ReadLe32(values) != entry.crc32)
            return false;
        if (wide)
            return ReadLe64(values + 4) == entry.compressedSize &&
                   ReadLe64(values + 12) == entry.uncompressedSize;
        return ReadLe32(values + 4) == entry.compressedSize &&
               ReadLe32(values + 8) == entry.uncompressedSize;
    };
    // Where the right form ends, the next record (or the directory) begins.
    const auto followedByRecord = [&](bool wide) {
        const quint64 next = at + static_cast<quint64>(skip + (wide ? 20 : 12));
        if (next > limit)
            return false;
        return next == limit || (limit - next >= 2 && reader.read(next, 2, &p, &ignored) &&
                                 p[0] == 'P' && p[1] == 'K');
    };
    const bool big = entry.compressedSize >= kZipMax32 || entry.uncompressedSize >= kZipMax32;
    const bool narrowMatches = !big && matches(false);
    const bool wideMatches = matches(true);
    bool wide = localZip64 || big;
    if (narrowMatches && wideMatches) {
        // An empty member: its values are zeros in either form.
        const bool wideFits = followedByRecord(true);
        if (wideFits != followedByRecord(false))
            wide = wideFits;
    } else if (narrowMatches || wideMatches) {
        wide = wideMatches;
    }
    return skip + (wide ? 20 : 12);
}

// Checks an entry against its local header and finds where its bytes end.
bool checkLocalHeader(WindowReader& reader, quint64 dataLimit, qsizetype index,
                      ZipCentralEntry* entry, QString* error) {
    const QString label = entryLabel(index, entry->rawName);
    const quint64 offset = entry->localHeaderOffset;
    const char* p = nullptr;
    QString cause;
    if (!fitsWithin(offset, kLocalHeaderSize, dataLimit))
        return Fail(error, QStringLiteral("%1: its local header offset %2 lies past the "
                                          "entries")
                               .arg(label)
                               .arg(offset));
    if (!reader.read(offset, kLocalHeaderSize, &p, &cause) || ReadLe32(p) != kLocalSignature)
        return Fail(error,
                    QStringLiteral("%1: no local header at offset %2").arg(label).arg(offset));
    const quint16 method = ReadLe16(p + 8);
    const quint16 nameLength = ReadLe16(p + 26);
    const quint16 extraLength = ReadLe16(p + 28);
    const quint64 headerEnd = offset + kLocalHeaderSize;
    const char* rest = nullptr;
    if (!fitsWithin(headerEnd, nameLength + extraLength, dataLimit) ||
        !reader.read(headerEnd, nameLength + extraLength, &rest, &cause))
        return Fail(error, QStringLiteral("%1: its local header runs past the entries").arg(label));
    if (method != entry->method || nameLength != entry->rawName.size() ||
        std::memcmp(rest, entry->rawName.constData(), nameLength) != 0)
        return Fail(error, QStringLiteral("%1: the central directory does not agree with the "
                                          "local header")
                               .arg(label));
    const bool localZip64 = hasZip64Field(rest + nameLength, extraLength);
    const quint64 dataStart = headerEnd + nameLength + extraLength;
    if (!fitsWithin(dataStart, entry->compressedSize, dataLimit))
        return Fail(error, QStringLiteral("%1: its data runs past the entries").arg(label));
    quint64 end = dataStart + entry->compressedSize;
    if (entry->flags & kZipFlagDataDescriptor) {
        const qint64 length = descriptorLength(reader, end, dataLimit, *entry, localZip64);
        if (!fitsWithin(end, static_cast<quint64>(length), dataLimit))
            return Fail(error,
                        QStringLiteral("%1: its data descriptor runs past the entries").arg(label));
        end += static_cast<quint64>(length);
    }
    entry->extentEnd = end;
    return true;
}

// No entry's bytes (local header, data, descriptor) lie inside another's: a
// copy would otherwise hold the shared bytes once per entry.
bool checkNoOverlap(const QList<ZipCentralEntry>& entries, QString* error) {
    std::vector<qsizetype> order(static_cast<size_t>(entries.size()));
    for (qsizetype i = 0; i < entries.size(); ++i)
        order[static_cast<size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&entries](qsizetype a, qsizetype b) {
        return entries[a].localHeaderOffset < entries[b].localHeaderOffset;
    });
    for (size_t k = 1; k < order.size(); ++k) {
        const ZipCentralEntry& previous = entries[order[k - 1]];
        const ZipCentralEntry& entry = entries[order[k]];
        if (entry.localHeaderOffset < previous.extentEnd)
            return Fail(error, QStringLiteral("%1: its bytes overlap those of %2")
                                   .arg(entryLabel(order[k], entry.rawName),
                                        entryLabel(order[k - 1], previous.rawName)));
    }
    return true;
}

// The UTF-8 form Android's ZIP reader accepts: no NUL, lead bytes followed by
// as many continuation bytes as they announce (it does not look further).
bool isDeviceReadableName(const QByteArray& name) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.constData());
    const auto length = static_cast<size_t>(name.size());
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = bytes[i];
        if (byte == 0)
            return false;
        if ((byte & 0x80) == 0)
            continue;
        if ((byte & 0xC0) == 0x80 || (byte & 0xFE) == 0xFE)
            return false;
        for (auto lead = static_cast<unsigned char>((byte & 0x7F) << 1); lead & 0x80;
             lead = static_cast<unsigned char>((lead & 0x7F) << 1)) {
            if (++i >= length || (bytes[i] & 0xC0) != 0x80)
                return false;
        }
    }
    return true;
}

bool isAscii(const QByteArray& name) {
    return std::all_of(name.cbegin(), name.cend(),
                       [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

} // namespace

QString PrintableZipName(const QByteArray& rawName) {
    constexpr qsizetype kMaxCharacters = 200;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(rawName);
    QString out;
    const auto escape = [&out](unsigned char byte) {
        out += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    };
    if (!decoder.hasError()) {
        for (const QChar c : decoded) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                escape(static_cast<unsigned char>(c.unicode()));
            else
                out += c;
        }
    } else {
        for (const char c : rawName) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte >= 0x7F)
                escape(byte);
            else
                out += QLatin1Char(c);
        }
    }
    if (out.size() > kMaxCharacters)
        out = out.left(kMaxCharacters) + QStringLiteral("...");
    return out;
}

quint64 ZipPartStart(const ZipDirectory& directory) {
    quint64 start = directory.directoryOffset;
    for (const ZipCentralEntry& entry : directory.entries)
        start = qMin(start, entry.localHeaderOffset);
    return start;
}

bool CheckDeviceReadable(const ZipDirectory& directory, QString* error, bool namesAsShown) {
    if (directory.entries.isEmpty())
        return Fail(error, QStringLiteral("the archive holds no entries"));
    const quint64 start = ZipPartStart(directory);
    if (start != 0)
        return Fail(error, QStringLiteral("%1 bytes lie in front of the first entry").arg(start));
    QHash<QByteArray, qsizetype> seen;
    seen.reserve(directory.entries.size());
    for (qsizetype i = 0; i < directory.entries.size(); ++i) {
        const ZipCentralEntry& entry = directory.entries[i];
        const QString label = entryLabel(i, entry.rawName);
        if (entry.rawName.contains('\0'))
            return Fail(error, QStringLiteral("%1: its name holds a NUL byte").arg(label));
        if (!isDeviceReadableName(entry.rawName))
            return Fail(error, QStringLiteral("%1: its name is not UTF-8").arg(label));
        if (namesAsShown && !(entry.flags & kZipFlagUtf8) && !isAscii(entry.rawName))
            return Fail(error, QStringLiteral("%1: its name is not ASCII and has no UTF-8 "
                                              "flag")
                                   .arg(label));
        if (entry.method != 0 && entry.method != 8)
            return Fail(error, QStringLiteral("%1: compression method %2 (only stored and "
                                              "deflated can be read)")
                                   .arg(label)
                                   .arg(entry.method));
        const auto earlier = seen.constFind(entry.rawName);
        if (earlier != seen.cend())
            return Fail(
                error,
                QStringLiteral("%1: the same name as entry %2").arg(label).arg(earlier.value()));
        seen.insert(entry.rawName, i);
    }
    return true;
}

bool ReadZipBytesAt(int fd, quint64 offset, char* data, qint64 size, QString* error) {
    return FdSource(fd, 0).readAt(offset, data, size, error);
}

bool ReadZipDirectory(int fd, ZipDirectory* directory, QString* error) {
    *directory = ZipDirectory();
    FdSource source(fd, 0);
    return FdSource::open(fd, &source, error) && ReadZipDirectory(source, directory, error);
}

bool ReadZipDirectory(const RandomAccessSource& source, ZipDirectory* directory, QString* error,
                      ZipLocalHeaders localHeaders) {
    *directory = ZipDirectory();
    directory->fileSize = source.size();
    EndRecords records;
    TailSource cached(source);
    if (!readEndRecords(cached, directory->fileSize, &records, &directory->comment, error) ||
        !locateDirectory(records, &directory->directoryOffset, &directory->prefixBias, error) ||
        !readCentralDirectory(cached, records.count, records.directorySize, directory->prefixBias,
                              directory, error))
        return false;
    if (localHeaders == ZipLocalHeaders::WhenRead) {
        // What the directory alone tells: the local header (of at least the
        // same name) and the data lie before the directory.
        for (qsizetype i = 0; i < directory->entries.size(); ++i) {
            ZipCentralEntry& entry = directory->entries[i];
            const quint64 least = kLocalHeaderSize + static_cast<quint64>(entry.rawName.size());
            if (!fitsWithin(entry.localHeaderOffset, least, directory->directoryOffset))
                return Fail(error, QStringLiteral("%1: its local header offset %2 lies past the "
                                                  "entries")
                                       .arg(entryLabel(i, entry.rawName))
                                       .arg(entry.localHeaderOffset));
            if (!fitsWithin(entry.localHeaderOffset + least, entry.compressedSize,
                            directory->directoryOffset))
                return Fail(error, QStringLiteral("%1: its data runs past the entries")
                                       .arg(entryLabel(i, entry.rawName)));
            entry.extentEnd = entry.localHeaderOffset + least + entry.compressedSize;
        }
        return checkNoOverlap(directory->entries, error);
    }
    // Local headers lie a member's data apart: a small window reads little
    // more than each header (the members of a package are mostly large).
    WindowReader reader(source, directory->directoryOffset, 4 * 1024);
    for (qsizetype i = 0; i < directory->entries.size(); ++i) {
        if (!checkLocalHeader(reader, directory->directoryOffset, i, &directory->entries[i], error))
            return false;
    }
    return checkNoOverlap(directory->entries, error);
}

bool CheckZipLocalHeader(const RandomAccessSource& source, const ZipDirectory& directory,
                         qsizetype index, QString* error) {
    if (index < 0 || index >= directory.entries.size())
        return Fail(error, QStringLiteral("entry %1 is not in the central directory").arg(index));
    ZipCentralEntry entry = directory.entries[index];
    // The entry's bytes end where the next entry's (in file order) begin.
    quint64 limit = directory.directoryOffset;
    for (const ZipCentralEntry& other : directory.entries) {
        if (other.localHeaderOffset > entry.localHeaderOffset)
            limit = qMin(limit, other.localHeaderOffset);
    }
    // Enough for the header and its name in one read, most often its extra
    // fields too.
    WindowReader reader(source, limit, kLocalHeaderSize + entry.rawName.size() + 64);
    return checkLocalHeader(reader, limit, index, &entry, error);
}

QByteArray ZipCentralRecord(const ZipCentralEntry& entry, quint64 offset) {
    if (!entry.record.isEmpty() && offset == entry.localHeaderOffset)
        return entry.record;
    const bool bigUncompressed = entry.sizesInZip64 || entry.uncompressedSize >= kZipMax32;
    const bool bigCompressed = entry.sizesInZip64 || entry.compressedSize >= kZipMax32;
    const bool bigOffset = offset >= kZipMax32;
    QByteArray zip64;
    if (bigUncompressed)
        AppendLe64(&zip64, entry.uncompressedSize);
    if (bigCompressed)
        AppendLe64(&zip64, entry.compressedSize);
    if (bigOffset)
        AppendLe64(&zip64, offset);
    QByteArray extra;
    if (!zip64.isEmpty()) {
        AppendLe16(&extra, kZip64Tag);
        AppendLe16(&extra, static_cast<quint16>(zip64.size()));
        extra.append(zip64);
    }
    extra.append(entry.extra);
    quint16 versionNeeded = entry.versionNeeded;
    if (!zip64.isEmpty())
        versionNeeded = qMax<quint16>(versionNeeded, 45);

    QByteArray out;
    out.reserve(kCentralHeaderSize + entry.rawName.size() + extra.size() + entry.comment.size());
    AppendLe32(&out, kCentralSignature);
    AppendLe16(&out, entry.versionMadeBy);
    AppendLe16(&out, versionNeeded);
    AppendLe16(&out, entry.flags);
    AppendLe16(&out, entry.method);
    AppendLe16(&out, entry.dosTime);
    AppendLe16(&out, entry.dosDate);
    AppendLe32(&out, entry.crc32);
    AppendLe32(&out, bigCompressed ? kZipMax32 : static_cast<quint32>(entry.compressedSize));
    AppendLe32(&out, bigUncompressed ? kZipMax32 : static_cast<quint32>(entry.uncompressedSize));
    AppendLe16(&out, static_cast<quint16>(entry.rawName.size()));
    AppendLe16(&out, static_cast<quint16>(extra.size()));
    AppendLe16(&out, static_cast<quint16>(entry.comment.size()));
    AppendLe16(&out, 0); // disk number
    AppendLe16(&out, entry.internalAttributes);
    AppendLe32(&out, entry.externalAttributes);
    AppendLe32(&out, bigOffset ? kZipMax32 : static_cast<quint32>(offset));
    out.append(entry.rawName);
    out.append(extra);
    out.append(entry.comment);
    return out;
}

QByteArray ZipLocalHeader(const ZipCentralEntry& entry, bool zip64) {
    QByteArray out;
    out.reserve(kLocalHeaderSize + entry.rawName.size() + 20);
    AppendLe32(&out, kLocalSignature);
    AppendLe16(&out, entry.versionNeeded);
    AppendLe16(&out, entry.flags);
    AppendLe16(&out, entry.method);
    AppendLe16(&out, entry.dosTime);
    AppendLe16(&out, entry.dosDate);
    AppendLe32(&out, entry.crc32);
    AppendLe32(&out, zip64 ? kZipMax32 : static_cast<quint32>(entry.compressedSize));
    AppendLe32(&out, zip64 ? kZipMax32 : static_cast<quint32>(entry.uncompressedSize));
    AppendLe16(&out, static_cast<quint16>(entry.rawName.size()));
    AppendLe16(&out, zip64 ? 20 : 0);
    out.append(entry.rawName);
    if (zip64) {
        AppendLe16(&out, kZip64Tag);
        AppendLe16(&out, 16);
        AppendLe64(&out, entry.uncompressedSize);
        AppendLe64(&out, entry.compressedSize);
    }
    return out;
}

QByteArray ZipEndRecords(quint64 entryCount, quint64 directoryOffset, quint64 directorySize) {
    QByteArray out;
    const bool zip64 =
        entryCount >= kZipMax16 || directoryOffset >= kZipMax32 || directorySize >= kZipMax32;
    if (zip64) {
        const quint64 zip64End = directoryOffset + directorySize;
        AppendLe32(&out, kZip64EndSignature);
        AppendLe64(&out, kZip64EndSize - 12); // size of the rest of the record
        AppendLe16(&out, (3 << 8) | 45);      // made by: Unix, 4.5
        AppendLe16(&out, 45);                 // needed: 4.5
        AppendLe32(&out, 0);                  // this disk
        AppendLe32(&out, 0);                  // disk of the central directory
        AppendLe64(&out, entryCount);
        AppendLe64(&out, entryCount);
        AppendLe64(&out, directorySize);
        AppendLe64(&out, directoryOffset);
        AppendLe32(&out, kZip64LocatorSignature);
        AppendLe32(&out, 0); // disk of the ZIP64 end record
        AppendLe64(&out, zip64End);
        AppendLe32(&out, 1); // total disks
    }
    AppendLe32(&out, kEndSignature);
    AppendLe16(&out, 0);
    AppendLe16(&out, 0);
    const auto count16 = entryCount >= kZipMax16 ? kZipMax16 : static_cast<quint16>(entryCount);
    AppendLe16(&out, count16);
    AppendLe16(&out, count16);
    AppendLe32(&out, directorySize >= kZipMax32 ? kZipMax32 : static_cast<quint32>(directorySize));
    AppendLe32(&out,
               directoryOffset >= kZipMax32 ? kZipMax32 : static_cast<quint32>(directoryOffset));
    return out;
}

QByteArray ZipCommentTail(const QByteArray& comment) {
    QByteArray out;
    const auto length = static_cast<quint16>(qMin<qsizetype>(comment.size(), kZipMax16));
    AppendLe16(&out, length);
    out.append(comment.left(length));
    return out;
}

void ZipDosDateTime(qint64 secondsSinceEpoch, quint16* dosDate, quint16* dosTime) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch);
    const QDate date = local.date();
    const QTime time = local.time();
    if (date.year() < 1980) {
        *dosDate = (1 << 5) | 1;
        *dosTime = 0;
        return;
    }
    if (date.year() > 2107) {
        *dosDate = static_cast<quint16>((127 << 9) | (12 << 5) | 31);
        *dosTime = static_cast<quint16>((23 << 11) | (59 << 5) | 29);
        return;
    }
    *dosDate = static_cast<quint16>(((date.year() - 1980) << 9) | (date.month() << 5) | date.day());
    *dosTime =
        static_cast<quint16>((time.hour() << 11) | (time.minute() << 5) | (time.second() / 2));
}
