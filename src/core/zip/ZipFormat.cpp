#include "core/zip/ZipFormat.h"

#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
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

quint16 get16(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<quint16>(u[0] | (u[1] << 8));
}
quint32 get32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<quint32>(u[0]) | (static_cast<quint32>(u[1]) << 8) |
           (static_cast<quint32>(u[2]) << 16) | (static_cast<quint32>(u[3]) << 24);
}
quint64 get64(const char* p) {
    return static_cast<quint64>(get32(p)) | (static_cast<quint64>(get32(p + 4)) << 32);
}

void put16(QByteArray* out, quint16 v) {
    out->append(static_cast<char>(v & 0xFF));
    out->append(static_cast<char>(v >> 8));
}
void put32(QByteArray* out, quint32 v) {
    put16(out, static_cast<quint16>(v & 0xFFFF));
    put16(out, static_cast<quint16>(v >> 16));
}
void put64(QByteArray* out, quint64 v) {
    put32(out, static_cast<quint32>(v & kZipMax32));
    put32(out, static_cast<quint32>(v >> 32));
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Reads local headers, which lie in increasing order for most archives,
// through a small window so that an archive of many small entries needs few
// system calls.
class HeaderReader {
public:
    HeaderReader(int fd, quint64 fileSize) : m_fd(fd), m_fileSize(fileSize) {}

    // Points *data at size bytes at offset, valid until the next call.
    bool read(quint64 offset, qint64 size, const char** data, QString* error) {
        const auto end = offset + static_cast<quint64>(size);
        if (end > m_fileSize) {
            *error = QStringLiteral("an entry at offset %1 runs past the end of the archive")
                         .arg(offset);
            return false;
        }
        if (offset < m_start || end > m_start + static_cast<quint64>(m_window.size())) {
            const qint64 length = static_cast<qint64>(
                qMin<quint64>(qMax<qint64>(size, kWindow), m_fileSize - offset));
            m_window.resize(length);
            m_start = offset;
            if (!ReadZipBytesAt(m_fd, offset, m_window.data(), length, error)) {
                m_window.clear();
                return false;
            }
        }
        *data = m_window.constData() + (offset - m_start);
        return true;
    }

private:
    static constexpr qint64 kWindow = 16 * 1024;
    int m_fd;
    quint64 m_fileSize;
    quint64 m_start = 0;
    QByteArray m_window;
};

// The fields of a ZIP64 extra field that a record's 32-bit values of
// 0xFFFFFFFF call for, in their fixed order; the rest of the extra data is
// returned in *others.
bool takeZip64Field(const QByteArray& extra, bool wantUncompressed, bool wantCompressed,
                    bool wantOffset, quint64* uncompressed, quint64* compressed, quint64* offset,
                    QByteArray* others, bool* hadZip64) {
    others->clear();
    *hadZip64 = false;
    qsizetype pos = 0;
    bool found = false;
    while (pos + 4 <= extra.size()) {
        const quint16 tag = get16(extra.constData() + pos);
        const quint16 length = get16(extra.constData() + pos + 2);
        if (pos + 4 + length > extra.size()) {
            // A malformed tail is kept as it is.
            others->append(extra.mid(pos));
            pos = extra.size();
            break;
        }
        if (tag == kZip64Tag && !found) {
            found = true;
            *hadZip64 = true;
            const char* field = extra.constData() + pos + 4;
            qsizetype used = 0;
            auto take = [&](bool want, quint64* value) {
                if (!want)
                    return true;
                if (used + 8 > length)
                    return false;
                *value = get64(field + used);
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
        if (get16(extra + pos) == kZip64Tag)
            return true;
        pos += 4 + get16(extra + pos + 2);
    }
    return false;
}

// Finds the end-of-central-directory record: the last signature whose
// comment reaches exactly to the end of the file.
bool findEndRecord(int fd, quint64 fileSize, quint64* endOffset, QString* error) {
    if (fileSize < static_cast<quint64>(kEndSize)) {
        *error = QStringLiteral("the file is too short to be a ZIP archive");
        return false;
    }
    const quint64 span = qMin<quint64>(fileSize, static_cast<quint64>(kEndSize) + 0xFFFF);
    QByteArray tail(static_cast<qsizetype>(span), '\0');
    if (!ReadZipBytesAt(fd, fileSize - span, tail.data(), tail.size(), error))
        return false;
    for (qsizetype pos = tail.size() - kEndSize; pos >= 0; --pos) {
        const char* p = tail.constData() + pos;
        if (get32(p) != kEndSignature)
            continue;
        if (pos + kEndSize + get16(p + 20) == tail.size()) {
            *endOffset = fileSize - span + static_cast<quint64>(pos);
            return true;
        }
    }
    *error = QStringLiteral("the file is not a ZIP archive (no end of central directory record)");
    return false;
}

bool parseCentralDirectory(const QByteArray& bytes, quint64 count, ZipDirectory* directory,
                           QString* error) {
    qsizetype pos = 0;
    for (quint64 i = 0; i < count; ++i) {
        if (pos + kCentralHeaderSize > bytes.size() ||
            get32(bytes.constData() + pos) != kCentralSignature) {
            *error = QStringLiteral("central directory record %1 is damaged").arg(i);
            return false;
        }
        const char* p = bytes.constData() + pos;
        const quint16 nameLength = get16(p + 28);
        const quint16 extraLength = get16(p + 30);
        const quint16 commentLength = get16(p + 32);
        const qsizetype recordSize = kCentralHeaderSize + nameLength + extraLength + commentLength;
        if (pos + recordSize > bytes.size()) {
            *error = QStringLiteral("central directory record %1 runs past the directory").arg(i);
            return false;
        }
        if (get16(p + 34) != 0) {
            *error = QStringLiteral("split (multi-disk) archives are not supported");
            return false;
        }
        ZipCentralEntry entry;
        entry.versionMadeBy = get16(p + 4);
        entry.versionNeeded = get16(p + 6);
        entry.flags = get16(p + 8);
        entry.method = get16(p + 10);
        entry.dosTime = get16(p + 12);
        entry.dosDate = get16(p + 14);
        entry.crc32 = get32(p + 16);
        const quint32 compressed32 = get32(p + 20);
        const quint32 uncompressed32 = get32(p + 24);
        entry.internalAttributes = get16(p + 36);
        entry.externalAttributes = get32(p + 38);
        const quint32 offset32 = get32(p + 42);
        entry.rawName = bytes.mid(pos + kCentralHeaderSize, nameLength);
        const QByteArray extra = bytes.mid(pos + kCentralHeaderSize + nameLength, extraLength);
        entry.comment =
            bytes.mid(pos + kCentralHeaderSize + nameLength + extraLength, commentLength);
        entry.record = bytes.mid(pos, recordSize);
        entry.compressedSize = compressed32;
        entry.uncompressedSize = uncompressed32;
        entry.localHeaderOffset = offset32;
        entry.sizesInZip64 = compressed32 == kZipMax32 || uncompressed32 == kZipMax32;
        bool hadZip64 = false;
        if (!takeZip64Field(extra, uncompressed32 == kZipMax32, compressed32 == kZipMax32,
                            offset32 == kZipMax32, &entry.uncompressedSize, &entry.compressedSize,
                            &entry.localHeaderOffset, &entry.extra, &hadZip64)) {
            *error = QStringLiteral("central directory record %1 lacks its ZIP64 values").arg(i);
            return false;
        }
        directory->entries.append(entry);
        pos += recordSize;
    }
    if (pos != bytes.size()) {
        *error = QStringLiteral("the central directory holds more than its %1 records").arg(count);
        return false;
    }
    return true;
}

// Checks an entry against its local header and finds where its bytes end.
bool checkLocalHeader(HeaderReader& reader, quint64 dataLimit, qsizetype index,
                      ZipCentralEntry* entry, QString* error) {
    const char* p = nullptr;
    if (entry->localHeaderOffset + kLocalHeaderSize > dataLimit ||
        !reader.read(entry->localHeaderOffset, kLocalHeaderSize, &p, error) ||
        get32(p) != kLocalSignature) {
        *error = QStringLiteral("entry %1 (%2): no local header at offset %3")
                     .arg(index)
                     .arg(QString::fromLatin1(entry->rawName))
                     .arg(entry->localHeaderOffset);
        return false;
    }
    const quint16 method = get16(p + 8);
    const quint16 nameLength = get16(p + 26);
    const quint16 extraLength = get16(p + 28);
    const quint64 headerEnd = entry->localHeaderOffset +
                              static_cast<quint64>(kLocalHeaderSize + nameLength + extraLength);
    const char* rest = nullptr;
    if (headerEnd > dataLimit || !reader.read(entry->localHeaderOffset + kLocalHeaderSize,
                                              nameLength + extraLength, &rest, error)) {
        *error = QStringLiteral("entry %1: its local header runs past the entries").arg(index);
        return false;
    }
    if (method != entry->method || nameLength != entry->rawName.size() ||
        std::memcmp(rest, entry->rawName.constData(), nameLength) != 0) {
        *error = QStringLiteral("entry %1 (%2): the central directory does not agree with the "
                                "local header")
                     .arg(index)
                     .arg(QString::fromLatin1(entry->rawName));
        return false;
    }
    quint64 end = headerEnd + entry->compressedSize;
    if (end < headerEnd || end > dataLimit) {
        *error = QStringLiteral("entry %1 (%2): its data runs past the entries")
                     .arg(index)
                     .arg(QString::fromLatin1(entry->rawName));
        return false;
    }
    if (entry->flags & kZipFlagDataDescriptor) {
        const bool zip64 = hasZip64Field(rest + nameLength, extraLength);
        const qint64 sizes = zip64 ? 16 : 8;
        qint64 length = 4 + sizes;
        const char* descriptor = nullptr;
        if (end + 4 <= dataLimit && reader.read(end, 4, &descriptor, error) &&
            get32(descriptor) == kDescriptorSignature)
            length += 4;
        if (end + static_cast<quint64>(length) > dataLimit) {
            *error =
                QStringLiteral("entry %1: its data descriptor runs past the entries").arg(index);
            return false;
        }
        end += static_cast<quint64>(length);
    }
    entry->extentEnd = end;
    return true;
}

} // namespace

// Reads exactly size bytes at offset; false (with the cause) on an error or
// when the file ends first.
bool ReadZipBytesAt(int fd, quint64 offset, char* data, qint64 size, QString* error) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, data + done, static_cast<size_t>(size - done),
                                static_cast<off_t>(offset + static_cast<quint64>(done)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot read the archive: %1").arg(systemError());
            return false;
        }
        if (n == 0) {
            *error = QStringLiteral("the archive ends unexpectedly at offset %1")
                         .arg(offset + static_cast<quint64>(done));
            return false;
        }
        done += n;
    }
    return true;
}

bool ReadZipDirectory(int fd, ZipDirectory* directory, QString* error) {
    *directory = ZipDirectory();
    struct stat info;
    if (fstat(fd, &info) != 0) {
        *error = QStringLiteral("cannot read the archive: %1").arg(systemError());
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = QStringLiteral("the archive is not a regular file");
        return false;
    }
    const auto fileSize = static_cast<quint64>(info.st_size);
    directory->fileSize = fileSize;
    quint64 endOffset = 0;
    if (!findEndRecord(fd, fileSize, &endOffset, error))
        return false;
    char end[kEndSize];
    if (!ReadZipBytesAt(fd, endOffset, end, kEndSize, error))
        return false;
    const quint16 commentLength = get16(end + 20);
    directory->comment.resize(commentLength);
    if (!ReadZipBytesAt(fd, endOffset + kEndSize, directory->comment.data(), commentLength, error))
        return false;
    if (get16(end + 4) != 0 || get16(end + 6) != 0 || get16(end + 8) != get16(end + 10)) {
        *error = QStringLiteral("split (multi-disk) archives are not supported");
        return false;
    }
    quint64 count = get16(end + 10);
    quint64 directorySize = get32(end + 12);
    quint64 directoryOffset = get32(end + 16);
    quint64 directoryEnd = endOffset;

    // A ZIP64 locator right before the end record leads to the ZIP64 end
    // record, whose values replace the 16- and 32-bit ones.
    if (endOffset >= static_cast<quint64>(kZip64LocatorSize)) {
        char locator[kZip64LocatorSize];
        if (!ReadZipBytesAt(fd, endOffset - kZip64LocatorSize, locator, kZip64LocatorSize, error))
            return false;
        if (get32(locator) == kZip64LocatorSignature) {
            const quint64 zip64End = get64(locator + 8);
            char record[kZip64EndSize];
            if (zip64End + kZip64EndSize > endOffset - kZip64LocatorSize ||
                !ReadZipBytesAt(fd, zip64End, record, kZip64EndSize, error) ||
                get32(record) != kZip64EndSignature) {
                *error = QStringLiteral("the ZIP64 end of central directory record is missing");
                return false;
            }
            if (get32(record + 16) != 0 || get32(record + 20) != 0 ||
                get64(record + 24) != get64(record + 32)) {
                *error = QStringLiteral("split (multi-disk) archives are not supported");
                return false;
            }
            count = get64(record + 32);
            directorySize = get64(record + 40);
            directoryOffset = get64(record + 48);
            directoryEnd = zip64End;
        }
    }
    if (directoryOffset > directoryEnd || directoryEnd - directoryOffset != directorySize) {
        *error = QStringLiteral("the central directory is not where the end record says "
                                "(offset %1, size %2)")
                     .arg(directoryOffset)
                     .arg(directorySize);
        return false;
    }
    // Every record takes at least 46 bytes: a count beyond that is damage.
    if (count > directorySize / kCentralHeaderSize) {
        *error = QStringLiteral("the end record counts %1 entries, more than the central "
                                "directory can hold")
                     .arg(count);
        return false;
    }
    QByteArray bytes(static_cast<qsizetype>(directorySize), '\0');
    if (!ReadZipBytesAt(fd, directoryOffset, bytes.data(), bytes.size(), error))
        return false;
    directory->directoryOffset = directoryOffset;
    if (!parseCentralDirectory(bytes, count, directory, error))
        return false;
    HeaderReader reader(fd, fileSize);
    for (qsizetype i = 0; i < directory->entries.size(); ++i) {
        if (!checkLocalHeader(reader, directoryOffset, i, &directory->entries[i], error))
            return false;
    }
    return true;
}

QByteArray ZipCentralRecord(const ZipCentralEntry& entry, quint64 offset) {
    if (!entry.record.isEmpty() && offset == entry.localHeaderOffset)
        return entry.record;
    const bool bigUncompressed = entry.sizesInZip64 || entry.uncompressedSize >= kZipMax32;
    const bool bigCompressed = entry.sizesInZip64 || entry.compressedSize >= kZipMax32;
    const bool bigOffset = offset >= kZipMax32;
    QByteArray zip64;
    if (bigUncompressed)
        put64(&zip64, entry.uncompressedSize);
    if (bigCompressed)
        put64(&zip64, entry.compressedSize);
    if (bigOffset)
        put64(&zip64, offset);
    QByteArray extra;
    if (!zip64.isEmpty()) {
        put16(&extra, kZip64Tag);
        put16(&extra, static_cast<quint16>(zip64.size()));
        extra.append(zip64);
    }
    extra.append(entry.extra);
    quint16 versionNeeded = entry.versionNeeded;
    if (!zip64.isEmpty())
        versionNeeded = qMax<quint16>(versionNeeded, 45);

    QByteArray out;
    out.reserve(kCentralHeaderSize + entry.rawName.size() + extra.size() + entry.comment.size());
    put32(&out, kCentralSignature);
    put16(&out, entry.versionMadeBy);
    put16(&out, versionNeeded);
    put16(&out, entry.flags);
    put16(&out, entry.method);
    put16(&out, entry.dosTime);
    put16(&out, entry.dosDate);
    put32(&out, entry.crc32);
    put32(&out, bigCompressed ? kZipMax32 : static_cast<quint32>(entry.compressedSize));
    put32(&out, bigUncompressed ? kZipMax32 : static_cast<quint32>(entry.uncompressedSize));
    put16(&out, static_cast<quint16>(entry.rawName.size()));
    put16(&out, static_cast<quint16>(extra.size()));
    put16(&out, static_cast<quint16>(entry.comment.size()));
    put16(&out, 0); // disk number
    put16(&out, entry.internalAttributes);
    put32(&out, entry.externalAttributes);
    put32(&out, bigOffset ? kZipMax32 : static_cast<quint32>(offset));
    out.append(entry.rawName);
    out.append(extra);
    out.append(entry.comment);
    return out;
}

QByteArray ZipLocalHeader(const ZipCentralEntry& entry, bool zip64) {
    QByteArray out;
    out.reserve(kLocalHeaderSize + entry.rawName.size() + 20);
    put32(&out, kLocalSignature);
    put16(&out, entry.versionNeeded);
    put16(&out, entry.flags);
    put16(&out, entry.method);
    put16(&out, entry.dosTime);
    put16(&out, entry.dosDate);
    put32(&out, entry.crc32);
    put32(&out, zip64 ? kZipMax32 : static_cast<quint32>(entry.compressedSize));
    put32(&out, zip64 ? kZipMax32 : static_cast<quint32>(entry.uncompressedSize));
    put16(&out, static_cast<quint16>(entry.rawName.size()));
    put16(&out, zip64 ? 20 : 0);
    out.append(entry.rawName);
    if (zip64) {
        put16(&out, kZip64Tag);
        put16(&out, 16);
        put64(&out, entry.uncompressedSize);
        put64(&out, entry.compressedSize);
    }
    return out;
}

QByteArray ZipEndRecords(quint64 entryCount, quint64 directoryOffset, quint64 directorySize) {
    QByteArray out;
    const bool zip64 =
        entryCount >= kZipMax16 || directoryOffset >= kZipMax32 || directorySize >= kZipMax32;
    if (zip64) {
        const quint64 zip64End = directoryOffset + directorySize;
        put32(&out, kZip64EndSignature);
        put64(&out, kZip64EndSize - 12); // size of the rest of the record
        put16(&out, (3 << 8) | 45);      // made by: Unix, 4.5
        put16(&out, 45);                 // needed: 4.5
        put32(&out, 0);                  // this disk
        put32(&out, 0);                  // disk of the central directory
        put64(&out, entryCount);
        put64(&out, entryCount);
        put64(&out, directorySize);
        put64(&out, directoryOffset);
        put32(&out, kZip64LocatorSignature);
        put32(&out, 0); // disk of the ZIP64 end record
        put64(&out, zip64End);
        put32(&out, 1); // total disks
    }
    put32(&out, kEndSignature);
    put16(&out, 0);
    put16(&out, 0);
    const auto count16 = entryCount >= kZipMax16 ? kZipMax16 : static_cast<quint16>(entryCount);
    put16(&out, count16);
    put16(&out, count16);
    put32(&out, directorySize >= kZipMax32 ? kZipMax32 : static_cast<quint32>(directorySize));
    put32(&out, directoryOffset >= kZipMax32 ? kZipMax32 : static_cast<quint32>(directoryOffset));
    return out;
}

QByteArray ZipCommentTail(const QByteArray& comment) {
    QByteArray out;
    const auto length = static_cast<quint16>(qMin<qsizetype>(comment.size(), kZipMax16));
    put16(&out, length);
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
