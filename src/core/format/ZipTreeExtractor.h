#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

// Unpacks members of an archive into files, on several threads, each member
// streamed through a bounded buffer (memory does not grow with the members).

// One member to write: its index in the central directory and its path.
struct ZipTreeFile {
    quint64 index = 0;
    QString path;
};

struct ZipTreeExtraction {
    // Directory members: made (their parents too) before any file is
    // written, given their permissions and time after the last.
    QList<ZipTreeFile> directories;
    QList<ZipTreeFile> files;
    // Threads to use; 0: one per core.
    int threads = 0;
    // Told the percentage of bytes written (0 to 100) as it grows, from any
    // of the threads.
    std::function<void(int percent)> progress;
    // Asked between pieces of the data: true stops every thread soon, and
    // the extraction fails with the cause "stopped".
    std::function<bool()> stopRequested;
};

// Writes each file new (a file already at its path is an error), with the
// member's unix permissions when the archive was made on unix (a DOS
// read-only file without write permission) and its modification time, as
// 7-Zip gives them; a symbolic link's member becomes a regular file holding
// the link's text. Every member is checked as it is read (ReadZipMemberData).
// Files are not flushed: a caller that needs them on the disk does that.
// False with the cause of the first failure; what was written stays (the
// caller removes it).
bool ExtractZipTree(const QString& archive, const ZipTreeExtraction& extraction, QString* error);
