#pragma once

#include "core/base/UniqueFd.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/ArchiveOutput.h"
#include "core/format/ZipFormat.h"

#include <QByteArray>
#include <QString>

#include <functional>

// The members an edit or a copy adds, each as a local header and its data,
// stored or deflated as it compresses.
namespace archive_edit {

// Told each entry's central record as it will be written, before its bytes.
using EntryStarts = std::function<void(const ZipCentralEntry& entry)>;

// A file to be added, opened when the changes are checked so that a file
// that cannot be read fails the edit before the archive is touched.
struct SourceFile {
    QString path;
    UniqueFd fd;
    qint64 size = 0;
    qint64 mtime = 0;
    // Made when its member is written (opened then), released after.
    const MadeSource* made = nullptr;
};

bool writeMemoryEntry(BufferedOutput& out, const QString& name, const QByteArray& data,
                      ZipCentralEntry* entry, QString* error, const EntryStarts& starts);
bool writeFileEntry(BufferedOutput& out, int archiveFd, const QString& name, SourceFile& source,
                    Progress& progress, ZipCentralEntry* entry, QString* error);
bool writeFileEntryAhead(BufferedOutput& out, const QString& name, SourceFile& source,
                         Progress& progress, ZipCentralEntry* entry, QString* error,
                         const EntryStarts& starts);

} // namespace archive_edit
