#include "core/workspace/Workspace.h"

#include "core/AppState.h"
#include "core/zip/ArchiveEditor.h"
#include "core/package/ChangeLog.h"
#include "core/io/FileHelpers.h"
#include "core/Messages.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/package/SavePackage.h"
#include "core/package/TreeSync.h"
#include "core/package/WorkspaceRecord.h"

#include <QDir>
#include <QRegularExpression>

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
    RemoveInterruptedSave(op);
    // A log written when a run was killed.
    FileHelpers::RemoveFile(paths.changeLogFile() + QStringLiteral(".corvane-part"));
    // Old trees an open had set aside for removal.
    const QDir workspace(op.state.appDirectory());
    for (const QString& name :
         workspace.entryList({QStringLiteral("srctemp.old-*")}, QDir::Dirs | QDir::Hidden))
        FileHelpers::DeleteDirectoryTree(workspace.filePath(name));
}

ResumeOutcome ResumeWorkspace(const Operation& op) {
    AppState& state = op.state;
    const WorkspacePaths paths = state.paths();
    RemoveWorkspaceLeftovers(op);
    TakeUpChangeLogJournal(op);
    // An update of the working archive cut short is rolled back first: the
    // archive is then exactly as before it or as after it.
    QString cause;
    const bool archiveWhole = !FileHelpers::PathExists(paths.workingArchive()) ||
                              RecoverArchive(paths.workingArchive(), &cause);

    const QString tree = paths.extractedTree();
    const WorkspaceRecord record = WorkspaceRecord::read(paths.workspaceRecord());
    if (!FileHelpers::PathExists(tree)) {
        if (record.stage != WorkspaceRecord::Stage::Open)
            WorkspaceRecord::remove(paths.workspaceRecord());
        return ResumeOutcome::Nothing;
    }

    const bool belongTogether = archiveWhole && record.stage == WorkspaceRecord::Stage::Open &&
                                IsReadableZipArchive(paths.workingArchive()) &&
                                FinishInterruptedTreeSync(paths);
    if (!belongTogether) {
        op.reporter.warning(Msg::LastOpenDidNotFinish(record.package));
        FileHelpers::DeleteDirectoryTree(tree);
        EndTreeSync(paths);
        WorkspaceRecord::remove(paths.workspaceRecord());
        return ResumeOutcome::Cleared;
    }
    if (op.reporter.ask(Reporter::Question::ContinueLastOperation, Msg::ContinueLastOperation())) {
        state.setWorkingArchivePath(paths.workingArchive());
        return ResumeOutcome::Continued;
    }
    FileHelpers::DeleteDirectoryTree(tree);
    WorkspaceRecord::remove(paths.workspaceRecord());
    return ResumeOutcome::Declined;
}
