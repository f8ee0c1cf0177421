#pragma once

#include <QChar>
#include <QList>
#include <QString>

// Updates of the working archive (a ZIP file), made in-process.
//
// Letters:
//  'a' with a path in archive P: the file becomes member P/name (replacing one
//      of that name); with an empty P, member name at the root.
//  'u' with P: member P/name is replaced from the file on disk, added if
//      missing; with an empty P, member name at the root.
//  'd': the member named by `file` is deleted; a missing member leaves the
//      archive as it is.
// In-archive paths may be written with '\' or '/'; members use '/', with no
// leading or trailing separator.
//
// Every update is atomic: the new archive is written beside the old one and
// renamed over it, so a failure leaves the previous archive whole. Members
// that are not touched keep their data, method, time and attributes.

struct ArchiveOperation {
    QChar letter;
    QString file;
    QString pathInArchive;
};

// Applies one operation. False when the archive could not be changed as
// asked: empty archive path, not a readable ZIP, a file to add that cannot be
// read, or a new archive that cannot be written.
bool RunArchiver(QChar letter, const QString& file, const QString& archive,
                 const QString& pathInArchive);

// Applies several operations in one rewrite of the archive, in order (a later
// operation on a member wins); all or nothing: if any operation cannot be
// prepared (a file that cannot be read, an unknown letter) nothing changes.
bool RunArchiverBatch(const QString& archive, const QList<ArchiveOperation>& operations);

// The member name an operation works on ("system/app/Foo.apk"); empty when
// the file argument names no file.
QString ArchiveMemberName(QChar letter, const QString& file, const QString& pathInArchive);

// The file can be opened as a ZIP archive and read: a non-empty file whose
// central directory is readable and agrees with the members' local headers.
bool IsReadableZipArchive(const QString& path);

// What a readable ZIP holds: its member count and the sum of its members'
// uncompressed sizes. False when the file is not a readable ZIP.
struct ZipSummary {
    qint64 entries = 0;
    qint64 uncompressedBytes = 0;
};
bool SummariseZipArchive(const QString& path, ZipSummary* summary);
