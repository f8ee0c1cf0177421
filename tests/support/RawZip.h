#pragma once

#include <QByteArray>
#include <QList>

#include <zlib.h>

// Builds small ZIP archives byte by byte, for what ordinary writers refuse to
// make: duplicate names, non-canonical spellings, names in a legacy code page
// without the UTF-8 flag, chosen attributes, times and extra fields. Entries
// are stored unless deflated is set.

struct RawZipEntry {
    QByteArray name;
    QByteArray data;
    quint16 flags = 0; // 0x0800: the name is UTF-8
    // The central directory's external attributes; kDefaultAttributes: a
    // unix regular file 0644 (a folder 0755 for a name ending in '/').
    static constexpr quint32 kDefaultAttributes = 0xFFFFFFFF;
    quint32 externalAttributes = kDefaultAttributes;
    quint16 versionMadeBy = 0x0314; // made by Unix, 2.0
    quint16 dosTime = 0;
    quint16 dosDate = 0x5021;  // 2020-01-01
    QByteArray centralExtra{}; // extra fields of the central directory's record
    bool deflated = false;     // else stored
};

namespace rawzip {

inline void put16(QByteArray* out, quint32 v) {
    out->append(static_cast<char>(v & 0xFF));
    out->append(static_cast<char>((v >> 8) & 0xFF));
}

inline void put32(QByteArray* out, quint32 v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

// Raw deflate (no zlib header) of data, at the default level.
inline QByteArray deflateRaw(const QByteArray& data) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, static_cast<uLong>(data.size()))),
                   Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

} // namespace rawzip

inline QByteArray BuildRawZip(const QList<RawZipEntry>& entries, const QByteArray& comment = {}) {
    using rawzip::put16;
    using rawzip::put32;
    QByteArray file;
    QByteArray directory;
    for (const RawZipEntry& entry : entries) {
        const auto crc =
            static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.constData()),
                                       static_cast<uInt>(entry.data.size())));
        const auto size = static_cast<quint32>(entry.data.size());
        const QByteArray stored = entry.deflated ? rawzip::deflateRaw(entry.data) : entry.data;
        const auto storedSize = static_cast<quint32>(stored.size());
        const quint32 method = entry.deflated ? 8 : 0;
        const auto nameLength = static_cast<quint32>(entry.name.size());
        const auto offset = static_cast<quint32>(file.size());
        put32(&file, 0x04034b50);
        put16(&file, entry.deflated ? 20 : 10);
        put16(&file, entry.flags);
        put16(&file, method);
        put16(&file, entry.dosTime);
        put16(&file, entry.dosDate);
        put32(&file, crc);
        put32(&file, storedSize);
        put32(&file, size);
        put16(&file, nameLength);
        put16(&file, 0);
        file.append(entry.name);
        file.append(stored);

        put32(&directory, 0x02014b50);
        put16(&directory, entry.versionMadeBy);
        put16(&directory, entry.deflated ? 20 : 10);
        put16(&directory, entry.flags);
        put16(&directory, method);
        put16(&directory, entry.dosTime);
        put16(&directory, entry.dosDate);
        put32(&directory, crc);
        put32(&directory, storedSize);
        put32(&directory, size);
        put16(&directory, nameLength);
        put16(&directory, static_cast<quint32>(entry.centralExtra.size()));
        put16(&directory, 0); // comment
        put16(&directory, 0); // disk
        put16(&directory, 0); // internal attributes
        put32(&directory, entry.externalAttributes != RawZipEntry::kDefaultAttributes
                              ? entry.externalAttributes
                          : entry.name.endsWith('/') ? (040755u << 16) | 0x10
                                                     : 0100644u << 16);
        put32(&directory, offset);
        directory.append(entry.name);
        directory.append(entry.centralExtra);
    }
    const auto directoryOffset = static_cast<quint32>(file.size());
    file.append(directory);
    put32(&file, 0x06054b50);
    put16(&file, 0);
    put16(&file, 0);
    put16(&file, static_cast<quint32>(entries.size()));
    put16(&file, static_cast<quint32>(entries.size()));
    put32(&file, static_cast<quint32>(directory.size()));
    put32(&file, directoryOffset);
    put16(&file, static_cast<quint32>(comment.size()));
    file.append(comment);
    return file;
}

// An archive of one deflated member whose headers give declaredSize (and the
// CRC-32 of that many zero bytes) while its stream inflates to inflatedSize
// zero bytes: the smallest inflate bomb.
inline QByteArray BuildInflateBomb(const QByteArray& name, quint32 declaredSize,
                                   qint64 inflatedSize) {
    using rawzip::put16;
    using rawzip::put32;
    z_stream z{};
    deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    const QByteArray zeros(64 * 1024, '\0');
    QByteArray stream;
    char buffer[64 * 1024];
    for (qint64 left = inflatedSize; left >= 0; left -= zeros.size()) {
        const bool last = left <= zeros.size();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.constData()));
        z.avail_in = static_cast<uInt>(qMin<qint64>(left, zeros.size()));
        int rc;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            stream.append(buffer, static_cast<qsizetype>(sizeof buffer - z.avail_out));
        } while (z.avail_out == 0 || (last && rc != Z_STREAM_END));
        if (last)
            break;
    }
    deflateEnd(&z);
    const QByteArray declared(static_cast<qsizetype>(declaredSize), '\0');
    const auto crc = static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef*>(declared.constData()), declaredSize));
    const auto compressed = static_cast<quint32>(stream.size());
    const auto header = [&](QByteArray* out, bool central) {
        put32(out, central ? 0x02014b50 : 0x04034b50);
        if (central)
            put16(out, 0x0314);
        put16(out, 20);
        put16(out, 0);
        put16(out, 8); // deflated
        put16(out, 0);
        put16(out, 0x5021);
        put32(out, crc);
        put32(out, compressed);
        put32(out, declaredSize);
        put16(out, static_cast<quint32>(name.size()));
        put16(out, 0);
        if (central) {
            put16(out, 0);
            put16(out, 0);
            put16(out, 0);
            put32(out, 0100644u << 16);
            put32(out, 0);
        }
        out->append(name);
    };
    QByteArray file;
    header(&file, false);
    file.append(stream);
    const auto directoryOffset = static_cast<quint32>(file.size());
    header(&file, true);
    const auto directorySize = static_cast<quint32>(file.size()) - directoryOffset;
    put32(&file, 0x06054b50);
    put32(&file, 0);
    put16(&file, 1);
    put16(&file, 1);
    put32(&file, directorySize);
    put32(&file, directoryOffset);
    put16(&file, 0);
    return file;
}
