#pragma once

#include "core/base/UniqueFd.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/ArchiveEntryWriter.h"
#include "core/format/ZipFormat.h"

#include <QList>
#include <QString>

#include <sys/stat.h>
#include <vector>

// The plan of an edit: the new central directory's entries, each kept from
// the archive or added from a file, every change checked before anything is
// written.
namespace archive_edit {

// One entry of the central directory being planned: an entry of the archive
// (existing >= 0) or a file to add (source >= 0).
struct PlannedEntry {
    QString name;
    qsizetype existing = -1;
    qsizetype source = -1;
};

bool openDirectory(const QString& archive, int flags, UniqueFd* fd, ZipDirectory* directory,
                   QString* error);
bool openSource(const QString& path, const struct stat& archiveInfo, SourceFile* source,
                QString* error);
// The time of every member an edit of the archive writes.
void editTime(const ZipDirectory& directory, quint16* dosDate, quint16* dosTime);
bool planChanges(const QString& archive, const ZipDirectory& directory,
                 const struct stat& archiveInfo, const QList<ArchiveChange>& changes,
                 QList<PlannedEntry>* plan, std::vector<SourceFile>* sources, QString* error,
                 bool takeMade = false);

} // namespace archive_edit
