#include "core/OpenPackage.h"

#include "core/AndroidVersionProbe.h"
#include "core/AppState.h"
#include "core/Archive.h"
#include "core/FaultPoints.h"
#include "core/FileHelpers.h"
#include "core/Messages.h"
#include "core/Operation.h"
#include "core/PackageTools.h"
#include "core/Reporter.h"
#include "core/WorkspaceRecord.h"

#include <QFileInfo>
#include <QStorageInfo>

#include <thread>

namespace {

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// The working archive is copied beside the extraction, on a thread of its
// own, under a temporary name.
class BackgroundCopy {
public:
    BackgroundCopy(QString from, QString to) : m_from(std::move(from)), m_to(std::move(to)) {
        m_thread = std::thread([this] { m_ok = FileHelpers::CopyFileTo(m_from, m_to, false); });
    }
    ~BackgroundCopy() { wait(); }
    bool wait() {
        if (m_thread.joinable())
            m_thread.join();
        return m_ok;
    }

private:
    QString m_from;
    QString m_to;
    bool m_ok = false;
    std::thread m_thread;
};

} // namespace

OpenOutcome OpenPackage(const Operation& op, const QString& package, const OpenPackageHooks& hooks,
                        QString* error) {
    AppState& state = op.state;
    Reporter& reporter = op.reporter;
    const WorkspacePaths paths = state.paths();
    const QString tree = paths.extractedTree();
    const auto treeChanged = [&] {
        if (hooks.treeChanged)
            hooks.treeChanged();
    };

    if (!FileHelpers::PathExists(package)) {
        reporter.message(Msg::FileDoesNotExist(package));
        setError(error, QStringLiteral("no such file"));
        return OpenOutcome::Refused;
    }
    // A file that is not a readable ZIP, or one with nothing in it, must not
    // cost the current work.
    ZipSummary summary;
    if (!SummariseZipArchive(package, &summary) || summary.entries == 0) {
        reporter.message(Msg::UnzipFailed());
        setError(error, summary.entries == 0 && IsReadableZipArchive(package)
                            ? QStringLiteral("the package is empty")
                            : QStringLiteral("not a readable ZIP archive"));
        return OpenOutcome::Refused;
    }
    const bool reopeningWorkingArchive = FileHelpers::IsSameFile(package, paths.workingArchive());

    // Room for the tree and the working archive, counted before anything is
    // deleted (the old tree's space is not counted as free).
    const QStorageInfo storage(state.appDirectory());
    const qint64 needed =
        summary.uncompressedBytes + (reopeningWorkingArchive ? 0 : QFileInfo(package).size());
    if (storage.isValid() && storage.bytesAvailable() < needed) {
        reporter.message(
            Msg::NotEnoughSpace(state.appDirectory(), needed, storage.bytesAvailable()));
        setError(error, QStringLiteral("not enough free space"));
        return OpenOutcome::Refused;
    }

    if (hooks.accepted)
        hooks.accepted();
    // From here on the tree no longer matches any working archive: no edit may
    // reach the old one, and a start after a crash must not offer it.
    state.setWorkingArchivePath(QString());
    WorkspaceRecord record;
    record.stage = WorkspaceRecord::Stage::Opening;
    record.package = QFileInfo(package).absoluteFilePath();
    if (!FileHelpers::PathExists(paths.zipTempDir()))
        FileHelpers::CreateDirectory(paths.zipTempDir());
    if (!record.write(paths.workspaceRecord())) {
        treeChanged();
        reporter.warning(Msg::CannotCreateTempDirectory());
        setError(error, QStringLiteral("cannot write the workspace record"));
        return OpenOutcome::Failed;
    }
    FaultPoint("open:recorded");
    FileHelpers::DeleteDirectoryTree(tree);
    FaultPoint("open:tree-deleted");

    const QString partial = paths.workingArchive() + QStringLiteral(".part");
    std::unique_ptr<BackgroundCopy> copy;
    if (!reopeningWorkingArchive) {
        FileHelpers::RemoveFile(partial);
        copy = std::make_unique<BackgroundCopy>(package, partial);
    }
    const auto dropCopy = [&] {
        if (copy) {
            copy->wait();
            FileHelpers::RemoveFile(partial);
        }
    };

    QString cause;
    if (!ExtractArchive(op.runner, paths, package, tree, &cause)) {
        dropCopy();
        treeChanged();
        reporter.message(Msg::UnzipFailed());
        setError(error, cause);
        return OpenOutcome::Failed;
    }
    if (!FileHelpers::PathExists(tree)) {
        dropCopy();
        treeChanged();
        reporter.warning(Msg::UnzipFailedHard());
        setError(error, QStringLiteral("7-Zip made no tree"));
        return OpenOutcome::Failed;
    }
    FaultPoint("open:extracted");
    if (copy) {
        // The complete copy replaces the old working archive in one rename.
        if (!copy->wait() || QFileInfo(partial).size() != QFileInfo(package).size() ||
            !FileHelpers::ReplaceFile(partial, paths.workingArchive())) {
            FileHelpers::RemoveFile(partial);
            treeChanged();
            reporter.warning(Msg::CannotCopyZip());
            setError(error, QStringLiteral("cannot copy the package to the working archive"));
            return OpenOutcome::Failed;
        }
    }

    FaultPoint("open:archive-in-place");
    const int version = ProbeAndroidVersion(reporter, tree + QStringLiteral("/system/build.prop"));
    if (version != 0)
        state.setAndroidMajorVersion(version);
    record.stage = WorkspaceRecord::Stage::Open;
    if (!record.write(paths.workspaceRecord())) {
        treeChanged();
        reporter.warning(Msg::CannotCopyZip());
        setError(error, QStringLiteral("cannot write the workspace record"));
        return OpenOutcome::Failed;
    }
    FaultPoint("open:recorded-open");
    state.setWorkingArchivePath(paths.workingArchive());
    treeChanged();
    reporter.message(Msg::UnzipSucceeded());
    return OpenOutcome::Opened;
}
