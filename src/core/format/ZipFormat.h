#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <QtGlobal>

// The records of a ZIP file (local headers, central directory, end records,
// ZIP64 included) and the one reader of a central directory, over any
// random-access source (a file, memory, a member of another archive), which
// checks it against the local headers.

class RandomAccessSource;

inline constexpr quint32 kZipMax32 = 0xFFFFFFFFu;
inline constexpr quint16 kZipMax16 = 0xFFFFu;
inline constexpr quint16 kZipFlagDataDescriptor = 0x0008;
inline constexpr quint16 kZipFlagUtf8 = 0x0800;

// One record of the central directory.
struct ZipCentralEntry {
    quint16 versionMadeBy = 0;
    quint16 versionNeeded = 0;
    quint16 flags = 0;
    quint16 method = 0;
    quint16 dosTime = 0;
    quint16 dosDate = 0;
    quint32 crc32 = 0;
    quint64 compressedSize = 0;
    quint64 uncompressedSize = 0;
    quint64 localHeaderOffset = 0;
    quint16 internalAttributes = 0;
    quint32 externalAttributes = 0;
    QByteArray rawName;
    QByteArray extra; // the record's extra fields, its ZIP64 field left out
    QByteArray comment;
    // The sizes were written as 0xFFFFFFFF with the real values in the ZIP64
    // field; kept that way when the record is written again.
    bool sizesInZip64 = false;
    // The record as it was read; written back unchanged while the entry stays
    // where it is. Empty for a new entry.
    QByteArray record;
    // End of the entry's bytes in the file: local header, data and data
    // descriptor.
    quint64 extentEnd = 0;
};

struct ZipDirectory {
    QList<ZipCentralEntry> entries;
    quint64 directoryOffset = 0; // where the central directory starts
    quint64 fileSize = 0;
    QByteArray comment; // the archive comment
    // Bytes in front of the ZIP part that its offsets do not count (a stub
    // put before an archive without adjusting it, as `cat stub x.zip` does).
    // Every offset above already has it added: they are positions in the file.
    quint64 prefixBias = 0;
};

// Reads the central directory of the open file and checks every entry
// against its local header (signature, name, method, bounds) and against the
// others (no entry's bytes inside another's). False with the cause, naming
// the entry (index and printable name) and what is wrong, for a file that is
// not a ZIP, a split archive, or a directory that does not agree with the
// entries. Memory stays bounded by what the file really holds: the directory
// is parsed through a window and the first bad record ends the reading.
//
// With ZipLocalHeaders::WhenRead the local headers are left to be checked
// one by one as members are read (CheckZipLocalHeader), for a reader that
// reads a few members of many entries (an APK's manifest and signatures):
// the directory is checked on its own (each entry's name and data lie before
// the directory, no two entries' bytes as far as the directory tells
// overlap), and each entry's extentEnd is the least its bytes can reach.
enum class ZipLocalHeaders { Checked, WhenRead };
bool ReadZipDirectory(const RandomAccessSource& source, ZipDirectory* directory, QString* error,
                      ZipLocalHeaders localHeaders = ZipLocalHeaders::Checked);

// The checks ReadZipDirectory makes of one entry's local header (signature,
// name, method, bounds, data descriptor), its bytes ending before the next
// entry's begin (or the directory): for a directory read with
// ZipLocalHeaders::WhenRead, before the entry is read. False with the cause.
bool CheckZipLocalHeader(const RandomAccessSource& source, const ZipDirectory& directory,
                         qsizetype index, QString* error);
// The same for an open file, which must be a regular file.
bool ReadZipDirectory(int fd, ZipDirectory* directory, QString* error);

// Where the ZIP part of the file begins: the first entry's local header
// (the central directory for an archive without entries). Bytes before it
// are a stub (a self-extractor) or garbage.
quint64 ZipPartStart(const ZipDirectory& directory);

// Whether the recovery of a device (Android's ZIP reader) reads every entry,
// as that reader judges: the archive begins with its first entry, holds at
// least one, every name is free of NUL bytes and well-formed UTF-8 (whatever
// its flag says), no two entries have the same name, and every entry is
// stored (0) or deflated (8). Overlapping entries and entries past the
// directory never get here: ReadZipDirectory refuses them.
// With namesAsShown a non-ASCII name without the UTF-8 flag is refused too:
// the device would read it as UTF-8, under another name than the one the
// program shows (code page 936).
// False with the first problem: the entry (index and printable name) and
// what is wrong.
bool CheckDeviceReadable(const ZipDirectory& directory, QString* error, bool namesAsShown = false);

// An entry's raw name for a message: UTF-8 when it is, control characters
// and bytes that are not UTF-8 as \xNN, cut after 200 characters.
QString PrintableZipName(const QByteArray& rawName);

// The central directory record of an entry that now starts at offset: the
// record as read when it has not moved, else built from the fields with a
// ZIP64 field where a value needs it.
QByteArray ZipCentralRecord(const ZipCentralEntry& entry, quint64 offset);

// The local header of a new entry. With zip64 the header holds a ZIP64 field
// for the sizes (and the 32-bit size fields say 0xFFFFFFFF).
QByteArray ZipLocalHeader(const ZipCentralEntry& entry, bool zip64);

// The end records after a central directory: ZIP64 end record and locator
// when a count, size or offset needs them, then the end-of-central-directory
// record up to, not including, its comment-length field.
QByteArray ZipEndRecords(quint64 entryCount, quint64 directoryOffset, quint64 directorySize);

// The two-byte comment length and the comment that complete the end record.
QByteArray ZipCommentTail(const QByteArray& comment);

// A Unix time as MS-DOS date and time (local time, two-second steps), clamped
// to the years 1980-2107.
void ZipDosDateTime(qint64 secondsSinceEpoch, quint16* dosDate, quint16* dosTime);

// Reads exactly size bytes at offset of the open file; false (with the cause)
// on an error or when the file ends first.
bool ReadZipBytesAt(int fd, quint64 offset, char* data, qint64 size, QString* error);
