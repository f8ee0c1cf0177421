#include "core/workspace/Workspace.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/format/ArchiveEditor.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ChangeLog.h"
#include "core/workspace/SavePackage.h"
#include "core/workspace/TreeSync.h"
#include "core/workspace/WorkspaceRecord.h"

#include <QDir>
#include <QRegularExpression>

namespace {

// How many differences a message names before it only counts them.
constexpr int kDifferencesNamed = 5;

// An update of the working archive cut short is rolled back: the archive is
// then exactly as before it or as after it. A record of it that must not be
// used is set aside, and the user told. True when the archive is whole.
bool recoverWorkingArchive(const Operation& op, const WorkspacePaths& paths) {
    if (!FileHelpers::PathExists(paths.workingArchive()))
        return true;
    QString cause;
    ArchiveRecovery recovery;
    const bool whole = RecoverArchive(paths.workingArchive(), &cause, &recovery);
    if (!recovery.setAside.isEmpty())
        op.reporter.warning(Msg::ArchiveJournalSetAside(ArchiveJournalPath(paths.workingArchive()),
                                                        recovery.reason, recovery.setAside));
    return whole;
}

// The record of what the tree belongs to; a damaged one is set aside (the
// user is told) and counts as none.
WorkspaceRecord readWorkspaceRecord(const Operation& op, const WorkspacePaths& paths) {
    const QString file = paths.workspaceRecord();
    WorkspaceRecord record = WorkspaceRecord::read(file);
    if (record.damaged) {
        op.reporter.warning(Msg::WorkspaceFileSetAside(
            file, QStringLiteral("not a record of this program"), SetAsideDamagedFile(file)));
        record = WorkspaceRecord();
    }
    return record;
}

// Finishes an edit of the tree interrupted after its archive commit. False
// with the cause when it cannot be finished (its record stays).
bool finishTreeEdit(const Operation& op, const WorkspacePaths& paths, QString* cause) {
    const TreeSyncRecovery recovery = FinishTreeSyncRecord(paths);
    switch (recovery.outcome) {
    case TreeSyncRecovery::Outcome::Nothing:
    case TreeSyncRecovery::Outcome::Finished:
        return true;
    case TreeSyncRecovery::Outcome::SetAside:
        // What it named is not known: the comparison with the archive that
        // follows decides.
        op.reporter.warning(
            Msg::WorkspaceFileSetAside(paths.zipTempDir() + QStringLiteral("/tree.pending"),
                                       recovery.cause, recovery.setAsideAs));
        return true;
    case TreeSyncRecovery::Outcome::Failed:
        break;
    }
    *cause = recovery.cause;
    return false;
}

// Makes the tree match its archive, which decides, telling the user what
// differed. False with the cause when that cannot be done.
bool bringTreeInStep(const Operation& op, const WorkspacePaths& paths, QString* cause) {
    TreeDifferences differences;
    if (!CompareTreeWithArchive(paths.extractedTree(), paths.workingArchive(), &differences, cause))
        return false;
    if (differences.count() == 0)
        return true;
    if (!RebuildTreeFromArchive(paths.extractedTree(), paths.workingArchive(), differences, cause))
        return false;
    op.reporter.warning(Msg::TreeRestoredFromArchive(differences.described(kDifferencesNamed),
                                                     differences.count()));
    return true;
}

// Removes the tree and what belongs to it. The record goes first, so that a
// tree that is only partly removed is never offered again; the tree's edit
// record goes only with the whole tree, whose work it was.
void clearTree(const WorkspacePaths& paths) {
    WorkspaceRecord::remove(paths.workspaceRecord());
    if (FileHelpers::DeleteDirectoryTree(paths.extractedTree()))
        FileHelpers::RemoveFile(paths.zipTempDir() + QStringLiteral("/tree.pending"));
}

} // namespace

void RemoveWorkspaceLeftovers(const Operation& op) {
    const WorkspacePaths paths = op.state.paths();
    // The copy of a package being opened, and the temporary archives of an
    // update ("temp.zip.XXXXXX").
    static const QRegularExpression temporaryArchive(
        QStringLiteral("^temp\\.zip\\.(part|old-[0-9]+|[A-Za-z0-9]{6})$"));
    for (const QString& name : FileHelpers::ListDirectory(paths.zipTempDir())) {
        if (temporaryArchive.match(name).hasMatch())
            FileHelpers::RemoveFile(paths.zipTempDir() + QLatin1Char('/') + name);
    }
    // Files being written when a run was killed (records, extractions).
    FileHelpers::RemoveAbandonedTemporariesIn(paths.zipTempDir());
    RemoveSaveLeftovers(paths);
    // A log written when a run was killed (also under the fixed name that
    // earlier versions used).
    FileHelpers::RemoveFile(paths.changeLogFile() + FileHelpers::TemporarySuffix());
    FileHelpers::RemoveAbandonedTemporaries(paths.changeLogFile());
    // The signed copies and the unpacked contents of APKs being added: an add
    // is finished or undone once its archive commit is, so whatever is left
    // there belongs to no work.
    FileHelpers::DeleteDirectoryTree(paths.apkTempDir());
    FileHelpers::DeleteDirectoryTree(paths.unpackDir());
    // Old trees an open had set aside for removal.
    const QDir workspace(op.state.appDirectory());
    for (const QString& name :
         workspace.entryList({QStringLiteral("srctemp.old-*")}, QDir::Dirs | QDir::Hidden))
        FileHelpers::DeleteDirectoryTree(workspace.filePath(name));
}

ResumeResult ResumeWorkspace(const Operation& op) {
    AppState& state = op.state;
    const WorkspacePaths paths = state.paths();
    RemoveWorkspaceLeftovers(op);
    TakeUpChangeLogJournal(op);
    // The start goes on after what these steps tell: their messages are shown
    // as they happen.
    const bool archiveWhole = recoverWorkingArchive(op, paths);
    const WorkspaceRecord record = readWorkspaceRecord(op, paths);

    if (!FileHelpers::PathExists(paths.extractedTree())) {
        // Without a tree an edit record has nothing left to finish.
        FileHelpers::RemoveFile(paths.zipTempDir() + QStringLiteral("/tree.pending"));
        if (record.stage != WorkspaceRecord::Stage::Open)
            WorkspaceRecord::remove(paths.workspaceRecord());
        return {Result::done(), ResumeOutcome::Nothing};
    }

    // Only a tree of a completely opened package, whose archive reads, is
    // taken up; then it is made to match that archive.
    if (!archiveWhole || record.stage != WorkspaceRecord::Stage::Open ||
        !IsReadableZipArchive(paths.workingArchive())) {
        clearTree(paths);
        return {Result::done(Notice::warning(Msg::LastOpenDidNotFinish(record.package))),
                ResumeOutcome::Cleared};
    }
    QString cause;
    if (!finishTreeEdit(op, paths, &cause) || !bringTreeInStep(op, paths, &cause)) {
        clearTree(paths);
        return {Result::failed(
                    Notice::failure(Msg::TreeNotRestored(cause), Notice::Box::Application), cause),
                ResumeOutcome::Cleared};
    }
    if (op.reporter.ask(Reporter::Question::ContinueLastOperation,
                        Msg::ContinueLastOperation(record.package, record.opened))) {
        state.setWorkingArchivePath(paths.workingArchive());
        // Whether the kept work was saved is not known: it is asked about
        // before it is replaced.
        state.setUnsavedEdits(true);
        return {Result::done(), ResumeOutcome::Continued};
    }
    clearTree(paths);
    return {Result::declined(), ResumeOutcome::Declined};
}
