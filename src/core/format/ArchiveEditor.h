#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

// Edits of the working archive in place: an edit writes only what it adds
// (new entries, a new central directory) after the entries already there,
// and a journal beside the archive lets an interrupted edit be rolled back,
// so that a kill at any point leaves the archive as it was before or as it
// is after.

// One live entry of the central directory.
struct ArchiveMember {
    QString name; // canonical (DecodeMemberName)
    QByteArray rawName;
    bool utf8Flag = false;
    bool isDirectory = false;
    quint16 method = 0; // 0 stored, 8 deflated
    quint32 crc32 = 0;
    quint64 compressedSize = 0, uncompressedSize = 0, localHeaderOffset = 0;
};

// Reads the central directory (ZIP64 included), in its order. False with the
// cause (ReadZipDirectory) for a file that is not a ZIP, whose central
// directory does not agree with the local headers, or whose entries overlap.
// A stub in front is read past: offsets are positions in the file.
bool ReadArchiveMembers(const QString& archive, QList<ArchiveMember>* members, QString* error);
// The live entries of a directory already read, as members.
struct ZipDirectory;
QList<ArchiveMember> ArchiveMembersOf(const ZipDirectory& directory);

// What a readable ZIP holds: its member count and the sum of its members'
// uncompressed sizes. False when the file is not a non-empty regular file
// whose central directory reads and agrees with the local headers.
struct ZipSummary {
    qint64 entries = 0;
    qint64 uncompressedBytes = 0;
};
// members, when given, receives the live entries read for the summary.
bool SummariseZipArchive(const QString& path, ZipSummary* summary, QString* error = nullptr,
                         QList<ArchiveMember>* members = nullptr);
bool IsReadableZipArchive(const QString& path);

// Whether a device's recovery reads the archive: CheckDeviceReadable
// (ZipFormat.h) on its central directory. False with the cause: the archive,
// then the entry (index and printable name) and what is wrong.
bool CheckArchiveDeviceReadable(const QString& archive, QString* error = nullptr,
                                bool namesAsShown = false);

// Where the ZIP part of a file begins (ZipPartStart: the first entry's local
// header) and how many bytes of a stub in front its offsets do not count
// (ZipDirectory::prefixBias; 0 for an ordinary archive or a self-extractor
// whose offsets were adjusted). False with the cause when the file does not
// read as a ZIP. WriteCompactArchive copies such a file without its stub;
// ApplyArchiveChanges refuses a file with a bias.
bool FindZipPart(const QString& path, quint64* start, quint64* prefixBias,
                 QString* error = nullptr);

enum class ArchiveChangeKind { Put, Remove, RemoveTree };

// A Put's file made only when its member is written by a copy to a sink
// (WriteEditedCompactArchive): a signed APK, a library taken out of an APK.
// A copy thus holds one such file at a time. make() gives the file's path, or
// false with the cause; release() removes it once the member is written (or
// the copy failed).
struct MadeSource {
    std::function<bool(QString* path, QString* error)> make;
    std::function<void()> release;
    qint64 sizeHint = 0; // the expected size, for the progress
};

struct ArchiveChange {
    ArchiveChangeKind kind;
    // Canonical member name ("system/app/Foo.apk"); for RemoveTree a
    // directory ("system/app/Foo").
    QString member;
    // Put: the file on disk whose bytes become the member.
    QString sourceFile;
    // Put: made just before it is written instead (sourceFile is then only
    // a name for messages). Only a copy to a sink takes it.
    std::shared_ptr<const MadeSource> made = {};
};

using ArchiveProgress = std::function<void(qint64 done, qint64 total)>; // may be empty

// Applies the changes in order as one atomic commit, updating the archive in
// place:
//  Put        the file becomes the member; an older entry of that name leaves
//             the central directory (its bytes stay until a compact copy).
//             Stored when it does not compress, else deflated.
//  Remove     every entry whose canonical name is the member.
//  RemoveTree every entry named the directory or lying below it.
// A Remove or RemoveTree that matches nothing, a Put whose file cannot be
// read or whose name is unsafe fails the whole call before the archive is
// touched. An interrupted edit left by an earlier run is rolled back first.
bool ApplyArchiveChanges(const QString& archive, const QList<ArchiveChange>& changes,
                         QString* error = nullptr, const ArchiveProgress& progress = {});

// What RecoverArchive did with a journal it found.
struct ArchiveRecovery {
    bool rolledBack = false; // an interrupted edit was undone
    // Where a journal that must not be replayed was put
    // ("<journal>.damaged-<time>" or "<journal>.foreign-<time>"); empty when
    // none was. The caller tells the user.
    QString setAside;
    QString reason; // why it was set aside ("damaged (checksum)", ...)
};

// Rolls back an interrupted ApplyArchiveChanges from its journal, if there is
// one. A journal is replayed only onto the archive it was written for (same
// file, same bytes before the saved ones) and only when whole; any other is
// set aside under a name of its own and never blocks later edits. True when
// the archive is whole: nothing to do, rolled back, or a journal set aside
// while the archive reads as a ZIP. recovery, when given, says what was done.
bool RecoverArchive(const QString& archive, QString* error, ArchiveRecovery* recovery = nullptr);

// Where the journal of an archive is kept while an edit is under way.
QString ArchiveJournalPath(const QString& archive);

// Writes a compact copy of the archive to the sink: every live entry copied
// as it is (local header, data, data descriptor), the bytes of dropped or
// replaced entries left out, then the extra members (name -> bytes; each
// replaces a live entry of the same canonical name; stored or deflated as
// for Put), then a new central directory and the end records, stopping just
// before the comment-length field of the end record: the caller appends the
// comment length and the comment. A self-extracting archive is copied
// without the stub in front of its first entry.
using ByteSink = std::function<bool(const char* data, qint64 size)>;
// keep, when given, chooses which live entries are copied (by canonical
// name, and whether the entry is a directory entry).
bool WriteCompactArchive(const QString& archive,
                         const QList<QPair<QString, QByteArray>>& extraMembers,
                         const ByteSink& sink, QString* error, const ArchiveProgress& progress = {},
                         const std::function<bool(const QString& name, bool directory)>& keep = {});

// A sink whose bytes lie in a file from offset 0 on, so that a copy can
// write back into them. While held, the bytes given to the sink go to the
// file only; patch rewrites held bytes at an offset of the file; release
// hands the held bytes, as they now are, to whoever reads the output
// (digest, check) in order and ends the hold. Each answers false to stop.
struct SinkPatching {
    std::function<void()> hold;
    std::function<bool(quint64 offset, const char* data, qint64 size)> patch;
    std::function<bool()> release;
};

// WriteCompactArchive of the archive as ApplyArchiveChanges(changes) would
// leave it, without touching the archive: the same bytes, in one pass. The
// entries kept are copied as they are. A file put is read and deflated once
// when the sink can be patched (its local header held back and completed
// after its data), else read twice (its CRC-32 and compressed size first, so
// that no header is written back). stopRequested, when given, is asked
// between entries. entryStarts, when given, receives each entry's central
// record as it will be written (its offset in the copy) before any of its
// bytes reach the sink's readers.
struct ZipCentralEntry;
bool WriteEditedCompactArchive(
    const QString& archive, const QList<ArchiveChange>& changes,
    const QList<QPair<QString, QByteArray>>& extraMembers, const ByteSink& sink, QString* error,
    const ArchiveProgress& progress = {},
    const std::function<bool(const QString& name, bool directory)>& keep = {},
    const std::function<bool()>& stopRequested = {},
    const std::function<void(const ZipCentralEntry& entry)>& entryStarts = {},
    const SinkPatching* patching = nullptr);

// Each step of a commit is a fault point "archive:<step>" (core/base/TestHooks.h).
