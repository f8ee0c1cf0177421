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
    // The member's time (MS-DOS): every member an edit writes gets the same
    // one (ArchivePlan's editTime), never the clock's or the file's.
    quint16 dosDate = 0;
    quint16 dosTime = 0;
    // Made when its member is written (opened then), released after.
    const MadeSource* made = nullptr;
};

bool writeMemoryEntry(BufferedOutput& out, const QString& name, const QByteArray& data,
                      ZipCentralEntry* entry, QString* error, const EntryStarts& starts);
// Writes a member from a file, stored or deflated as a sample spread through
// it compresses. With patch (rewrites bytes already written at an offset of
// the output) the file is read and deflated once and the local header
// completed after the data; starts is then told once the header is final.
// Without, the file is read twice (its CRC-32 and compressed size first) so
// that the header goes out complete, and starts is told before it.
bool writeFileEntry(BufferedOutput& out, const QString& name, SourceFile& source,
                    Progress& progress, ZipCentralEntry* entry, QString* error,
                    const BufferedOutput::Drain& patch, const EntryStarts& starts = {});

} // namespace archive_edit
