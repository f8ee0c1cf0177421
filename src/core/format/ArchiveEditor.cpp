#include "core/format/ArchiveEditor.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/ArchiveEntryWriter.h"
#include "core/format/ArchiveJournal.h"
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

// The fault point of a commit's step: "archive:<step>".
FaultAction faultAt(const char* step) {
    char name[64] = "archive:";
    qstrncpy(name + 8, step, sizeof(name) - 8);
    return FaultPoint(name);
}

// Asks the test seam at a step of the commit: false (with *killed for a Kill)
// when it stops there.
bool passStep(const char* name, bool* killed, QString* error) {
    const FaultAction fault = faultAt(name);
    *killed = fault == FaultAction::Kill;
    if (fault != FaultAction::None)
        *error = QStringLiteral("stopped at %1 (test fault)").arg(QLatin1String(name));
    return fault == FaultAction::None;
}

// Writes the new entries and the new central directory from start on, then
// cuts the archive there and flushes it. The journal is in place.
bool writeEdit(UniqueFd& fd, const ZipDirectory& directory, quint64 start,
               const QList<PlannedEntry>& plan, std::vector<SourceFile>& sources,
               Progress& progress, bool* killed, QString* error) {
    if (!passStep("journal-written", killed, error))
        return false;
    BufferedOutput out(start, [&fd](quint64 offset, const char* data, qint64 size, QString* e) {
        return writeAt(fd.get(), offset, data, size, e);
    });
    const BufferedOutput::Drain patch = [&fd](quint64 offset, const char* data, qint64 size,
                                              QString* e) {
        return writeAt(fd.get(), offset, data, size, e);
    };
    QList<ZipCentralEntry> entries;
    entries.reserve(plan.size());
    for (const PlannedEntry& planned : plan) {
        if (planned.existing >= 0) {
            entries.append(directory.entries[planned.existing]);
            continue;
        }
        ZipCentralEntry entry;
        if (!writeFileEntry(out, planned.name, sources[static_cast<size_t>(planned.source)],
                            progress, &entry, error, patch))
            return false;
        entries.append(entry);
    }
    if (!out.flush(error) || !passStep("entries-written", killed, error))
        return false;
    if (!writeDirectory(out, entries, error) ||
        !out.write(ZipCommentTail(directory.comment), error) || !out.flush(error) ||
        !passStep("directory-written", killed, error))
        return false;
    if (ftruncate(fd.get(), static_cast<off_t>(out.position())) != 0)
        return Fail(error,
                    QStringLiteral("cannot set the archive's length: %1").arg(systemError()));
    if (!passStep("truncated", killed, error) || !syncFile(fd.get(), error) ||
        !passStep("synced", killed, error))
        return false;
    if (!fd.close())
        return Fail(error, QStringLiteral("cannot write the archive: %1").arg(systemError()));
    return true;
}

bool applyChanges(const QString& archive, const QList<ArchiveChange>& changes, QString* error,
                  const ArchiveProgress& callback) {
    UniqueFd fd;
    ZipDirectory directory;
    if (!openDirectory(archive, O_RDWR, &fd, &directory, error))
        return false;
    if (directory.prefixBias != 0)
        return Fail(error, QStringLiteral("%1: %2 bytes in front of the archive are not "
                                          "counted by its offsets")
                               .arg(archive)
                               .arg(directory.prefixBias));
    struct stat archiveInfo;
    if (fstat(fd.get(), &archiveInfo) != 0)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(archive, systemError()));
    QList<PlannedEntry> plan;
    std::vector<SourceFile> sources;
    if (!planChanges(archive, directory, archiveInfo, changes, &plan, &sources, error))
        return false;
    if (changes.isEmpty())
        return true;

    // With no entry left the archive shrinks to its end record.
    const quint64 start = plan.isEmpty() ? 0 : directory.directoryOffset;
    const quint64 oldLength = directory.fileSize;
    qint64 total = static_cast<qint64>(oldLength - start);
    for (const PlannedEntry& e : plan) {
        if (e.source >= 0)
            total += sources[static_cast<size_t>(e.source)].size;
    }
    Progress progress(callback, total);
    if (!writeJournal(archive, fd.get(), start, oldLength, progress, error))
        return false;

    // From here on a failure rolls the archive back from the journal.
    bool killed = false;
    if (!writeEdit(fd, directory, start, plan, sources, progress, &killed, error)) {
        if (killed)
            return false;
        fd.close();
        QString rollback;
        if (!RecoverArchive(archive, &rollback))
            *error = QStringLiteral("%1; rolling back failed too: %2").arg(*error, rollback);
        *error = QStringLiteral("%1: %2").arg(archive, *error);
        return false;
    }

    // The commit point: without the journal the edit stands.
    const QString journal = ArchiveJournalPath(archive);
    if (!removeFile(journal, error))
        return false;
    if (faultAt("committed") == FaultAction::Kill)
        return Fail(error, QStringLiteral("stopped at committed (test fault)"));
    if (!FileHelpers::SyncDirectory(QFileInfo(journal).absolutePath(), error))
        return false;
    progress.finish();
    return true;
}

// After a journal was set aside: true when the archive reads (or is not
// there), else false with why, naming the journal's new place.
bool archiveReadsAfterSetAside(const QString& archive, const ArchiveRecovery& recovery,
                               QString* error) {
    if (!fileExists(archive))
        return true;
    UniqueFd fd;
    ZipDirectory directory;
    QString cause;
    if (openDirectory(archive, O_RDONLY, &fd, &directory, &cause))
        return true;
    return Fail(error, QStringLiteral("the journal was %1 and set aside as %2; the archive "
                                      "may be part way through an edit: %3")
                           .arg(recovery.reason, recovery.setAside, cause));
}

} // namespace

bool ApplyArchiveChanges(const QString& archive, const QList<ArchiveChange>& changes,
                         QString* error, const ArchiveProgress& progress) {
    QString local;
    if (!error)
        error = &local;
    QString recovery;
    if (!RecoverArchive(archive, &recovery))
        return Fail(error, QStringLiteral("an interrupted edit of %1 could not be rolled "
                                          "back: %2")
                               .arg(archive, recovery));
    return applyChanges(archive, changes, error, progress);
}

bool RecoverArchive(const QString& archive, QString* error, ArchiveRecovery* result) {
    QString local;
    if (!error)
        error = &local;
    ArchiveRecovery ignoredResult;
    ArchiveRecovery& recovery = result ? *result : ignoredResult;
    recovery = ArchiveRecovery();
    const QString journal = ArchiveJournalPath(archive);
    // A journal still under its temporary name was never complete: the
    // archive was not touched.
    FileHelpers::RemoveAbandonedTemporaries(journal);
    if (!removeFile(journal + QStringLiteral(".tmp"), error))
        return false;
    if (!fileExists(journal))
        return true;

    const UniqueFd fd = OpenUniqueFd(journal, O_RDONLY);
    if (!fd.isOpen())
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(journal, systemError()));
    const auto setAside = [&](const QString& kind, const QString& reason) {
        recovery.reason = reason;
        return setJournalAside(journal, kind, &recovery.setAside, error) &&
               archiveReadsAfterSetAside(archive, recovery, error);
    };
    JournalHeader header;
    quint32 storedCrc = 0;
    if (!readJournalHeader(fd.get(), &header, &storedCrc))
        return setAside(QStringLiteral("damaged"), QStringLiteral("incomplete or damaged"));

    // Whether it belongs to this archive comes first: a journal of another
    // file is never replayed, whatever its state.
    UniqueFd target = OpenUniqueFd(archive, O_RDWR);
    if (!target.isOpen() && errno == ENOENT)
        return setAside(QStringLiteral("foreign"), QStringLiteral("left by an archive that is "
                                                                  "gone"));
    struct stat archiveInfo;
    if (!target.isOpen() || fstat(target.get(), &archiveInfo) != 0)
        return Fail(
            error,
            QStringLiteral("cannot open %1 to roll it back: %2").arg(archive, systemError()));
    ArchiveIdentity found;
    QString cause;
    if (static_cast<quint64>(archiveInfo.st_size) < header.savedOffset ||
        !identityOf(target.get(), header.savedOffset, &found, &cause) ||
        !(found == header.identity))
        return setAside(QStringLiteral("foreign"),
                        QStringLiteral("written for another archive than this one"));
    if (!journalChecksumHolds(fd.get(), header, storedCrc, &cause))
        return setAside(QStringLiteral("damaged"), cause.isEmpty()
                                                       ? QStringLiteral("damaged (checksum)")
                                                       : QStringLiteral("unreadable: ") + cause);
    if (!replayJournal(fd.get(), header, target, &cause))
        return Fail(error, QStringLiteral("rolling back %1: %2").arg(archive, cause));
    recovery.rolledBack = true;
    return removeFile(journal, error) &&
           FileHelpers::SyncDirectory(QFileInfo(journal).absolutePath(), error);
}
