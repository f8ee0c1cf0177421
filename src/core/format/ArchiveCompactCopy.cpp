#include "core/format/ArchiveEditor.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/ArchiveEntryWriter.h"
#include "core/format/ArchiveOutput.h"
#include "core/format/ArchivePlan.h"
#include "core/format/Deflate.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"

#include <QDateTime>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace archive_edit;

namespace {

// Reads the entries of a compact copy through a 1 MiB window, so that small
// neighbouring entries come from one read.
class WindowReader {
public:
    WindowReader(int fd, quint64 limit) : m_fd(fd), m_limit(limit) {}

    bool copy(quint64 from, quint64 to, BufferedOutput& out, Progress& progress, QString* error) {
        while (from < to) {
            const quint64 windowEnd = m_start + static_cast<quint64>(m_window.size());
            if (from < m_start || from >= windowEnd) {
                m_start = from;
                m_window.resize(static_cast<qsizetype>(qMin<quint64>(kChunk, m_limit - from)));
                if (!ReadZipBytesAt(m_fd, from, m_window.data(), m_window.size(), error)) {
                    m_window.clear();
                    return false;
                }
                continue;
            }
            const qint64 length = static_cast<qint64>(qMin(to, windowEnd) - from);
            if (!out.write(m_window.constData() + (from - m_start), length, error))
                return false;
            progress.add(length);
            from += static_cast<quint64>(length);
        }
        return true;
    }

private:
    int m_fd;
    quint64 m_limit;
    quint64 m_start = 0;
    QByteArray m_window;
};

} // namespace

bool WriteEditedCompactArchive(const QString& archive, const QList<ArchiveChange>& changes,
                               const QList<QPair<QString, QByteArray>>& extraMembers,
                               const ByteSink& sink, QString* error,
                               const ArchiveProgress& callback,
                               const std::function<bool(const QString& name, bool directory)>& keep,
                               const std::function<bool()>& stopRequested,
                               const EntryStarts& entryStarts, const SinkPatching* patching) {
    QString local;
    if (!error)
        error = &local;
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDONLY, &fd, &directory, error))
        return false;
    // The archive is only read here: it may be a source of its own members.
    struct stat noArchive {};
    noArchive.st_dev = static_cast<dev_t>(-1);
    noArchive.st_ino = static_cast<ino_t>(-1);
    QList<PlannedEntry> plan;
    std::vector<SourceFile> sources;
    if (!planChanges(archive, directory, noArchive, changes, &plan, &sources, error, true))
        return false;
    QSet<QString> replaced;
    for (const auto& extra : extraMembers)
        replaced.insert(CanonicalMemberName(extra.first));
    plan.removeIf([&](const PlannedEntry& planned) {
        if (replaced.contains(planned.name))
            return true;
        if (planned.existing < 0 || !keep)
            return false;
        const QByteArray& raw = directory.entries[planned.existing].rawName;
        return !keep(planned.name, raw.endsWith('/') || raw.endsWith('\\'));
    });
    qint64 kept = 0;
    qint64 total = 0;
    for (const PlannedEntry& planned : plan) {
        if (planned.existing >= 0) {
            const ZipCentralEntry& entry = directory.entries[planned.existing];
            kept += static_cast<qint64>(entry.extentEnd - entry.localHeaderOffset);
        } else {
            total += sources[static_cast<size_t>(planned.source)].size;
        }
    }
    // The reader refuses overlapping entries; a copy never holds more of the
    // old entries than the archive does.
    if (static_cast<quint64>(kept) > directory.directoryOffset)
        return Fail(error,
                    QStringLiteral("%1: its entries claim more bytes than it holds").arg(archive));
    total += kept;
    for (const auto& extra : extraMembers)
        total += extra.second.size();
    Progress progress(callback, total);

    BufferedOutput out(0, [&sink](quint64, const char* data, qint64 size, QString* e) {
        if (sink(data, size))
            return true;
        *e = QStringLiteral("the copy could not be written");
        return false;
    });
    BufferedOutput::Drain patch;
    if (patching)
        patch = [patching](quint64 offset, const char* data, qint64 size, QString* e) {
            if (patching->patch(offset, data, size))
                return true;
            *e = QStringLiteral("the copy could not be written");
            return false;
        };
    const auto stopped = [&] {
        if (!stopRequested || !stopRequested())
            return false;
        SetError(error, QStringLiteral("stopped"));
        return true;
    };
    QList<ZipCentralEntry> written;
    written.reserve(plan.size() + extraMembers.size());
    WindowReader reader(fd.get(), directory.directoryOffset);
    for (const PlannedEntry& planned : plan) {
        if (stopped())
            return false;
        if (planned.existing < 0) {
            SourceFile& source = sources[static_cast<size_t>(planned.source)];
            const MadeSource* made = source.made;
            const auto release = qScopeGuard([&] {
                if (made) {
                    source.fd.close();
                    made->release();
                }
            });
            if (made) {
                QString path;
                if (!made->make(&path, error) || !openSource(path, noArchive, &source, error))
                    return false;
            }
            ZipCentralEntry entry;
            if (patching) {
                // The entry's bytes reach the readers only once its header
                // is complete.
                if (!out.flush(error))
                    return false;
                patching->hold();
                if (!writeFileEntry(out, planned.name, source, progress, &entry, error, patch,
                                    entryStarts) ||
                    !out.flush(error))
                    return false;
                if (!patching->release())
                    return Fail(error, QStringLiteral("the copy could not be written"));
            } else if (!writeFileEntry(out, planned.name, source, progress, &entry, error, {},
                                       entryStarts)) {
                return false;
            }
            written.append(entry);
            continue;
        }
        const ZipCentralEntry& original = directory.entries[planned.existing];
        const quint64 newOffset = out.position();
        ZipCentralEntry entry = original;
        entry.record = ZipCentralRecord(original, newOffset);
        entry.localHeaderOffset = newOffset;
        if (entryStarts)
            entryStarts(entry);
        if (!reader.copy(original.localHeaderOffset, original.extentEnd, out, progress, error))
            return Fail(error, QStringLiteral("%1: %2").arg(archive, *error));
        written.append(entry);
    }
    for (const auto& extra : extraMembers) {
        ZipCentralEntry entry;
        if (!writeMemoryEntry(out, CanonicalMemberName(extra.first), extra.second, &entry, error,
                              entryStarts))
            return false;
        written.append(entry);
        progress.add(extra.second.size());
    }
    if (stopped() || !writeDirectory(out, written, error) || !out.flush(error))
        return false;
    progress.finish();
    return true;
}

bool WriteCompactArchive(const QString& archive,
                         const QList<QPair<QString, QByteArray>>& extraMembers,
                         const ByteSink& sink, QString* error, const ArchiveProgress& callback,
                         const std::function<bool(const QString& name, bool directory)>& keep) {
    return WriteEditedCompactArchive(archive, {}, extraMembers, sink, error, callback, keep);
}
