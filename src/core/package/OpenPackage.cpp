#include "core/package/OpenPackage.h"

#include "core/package/AndroidVersionProbe.h"
#include "core/AppState.h"
#include "core/zip/ArchiveEditor.h"
#include "core/io/ErrorText.h"
#include "core/io/FaultPoints.h"
#include "core/io/FileHelpers.h"
#include "core/zip/MemberNames.h"
#include "core/Messages.h"
#include "core/Operation.h"
#include "core/io/PackageTools.h"
#include "core/Reporter.h"
#include "core/package/TreeSync.h"
#include "core/package/WorkspaceRecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>

#include <thread>

namespace {

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

// The old tree and working archive are renamed aside at once and deleted on
// a thread of their own while the new package is unpacked: removing a large
// tree costs about as much as writing it, and a large file is not freed for
// nothing either. What a killed run had set aside goes with them.
class BackgroundRemoval {
public:
    BackgroundRemoval(const WorkspacePaths& paths, bool keepWorkingArchive) {
        const QString suffix = QStringLiteral(".old-%1").arg(QCoreApplication::applicationPid());
        const QDir workspace(paths.appDirectory());
        QStringList trees;
        for (const QString& name :
             workspace.entryList({QStringLiteral("srctemp.old-*")}, QDir::Dirs | QDir::Hidden))
            trees << workspace.filePath(name);
        const QString tree = paths.extractedTree();
        if (FileHelpers::IsDirectory(tree)) {
            const QString aside = tree + suffix;
            if (!FileHelpers::IsDirectory(aside) && QDir().rename(tree, aside))
                trees << aside;
            else
                FileHelpers::DeleteDirectoryTree(tree);
        }
        QStringList files;
        const QDir zipTemp(paths.zipTempDir());
        for (const QString& name :
             zipTemp.entryList({QStringLiteral("temp.zip.old-*")}, QDir::Files | QDir::Hidden))
            files << zipTemp.filePath(name);
        const QString archive = paths.workingArchive();
        if (!keepWorkingArchive && QFileInfo(archive).isFile() &&
            FileHelpers::MoveFileTo(archive, archive + suffix))
            files << archive + suffix;
        if (!trees.isEmpty() || !files.isEmpty())
            m_thread = std::thread([trees, files] {
                for (const QString& file : files)
                    FileHelpers::RemoveFile(file);
                for (const QString& directory : trees)
                    FileHelpers::DeleteDirectoryTree(directory);
            });
    }
    ~BackgroundRemoval() {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

// 7-Zip names a member without ZIP's UTF-8 flag in a code page of its own
// and takes '\\' for part of a name. The program names every member one way
// (MemberNames.h), in the tree and in the archive, so that a listed APK can be
// found and deleted: such members are written again under the program's name
// and what 7-Zip made of them is removed.
bool ReconcileTreeNames(const QString& package, const QList<ArchiveMember>& members,
                        const QString& tree, QString* error) {
    QSet<QString> files;
    QSet<QString> directories;
    QList<qsizetype> odd;
    for (qsizetype i = 0; i < members.size(); ++i) {
        const ArchiveMember& member = members[i];
        if (!IsSafeMemberName(member.name))
            continue;
        // Every directory above a member is one the tree may hold.
        for (qsizetype slash = member.name.indexOf(QLatin1Char('/')); slash > 0;
             slash = member.name.indexOf(QLatin1Char('/'), slash + 1))
            directories.insert(member.name.left(slash));
        if (member.isDirectory) {
            directories.insert(member.name);
            continue;
        }
        files.insert(member.name);
        bool ascii = true;
        for (const char byte : member.rawName)
            ascii = ascii && static_cast<unsigned char>(byte) < 0x80;
        if ((!member.utf8Flag && !ascii) || member.rawName.contains('\\'))
            odd.append(i);
    }
    if (odd.isEmpty())
        return true;

    // What 7-Zip wrote under names of its own goes first: a file of that name
    // may stand where the program's directory must be.
    QStringList strays;
    QDirIterator it(tree, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!files.contains(QDir(tree).relativeFilePath(path)))
            strays << path;
    }
    for (const QString& path : strays)
        FileHelpers::RemoveFile(path);
    QStringList emptyDirectories;
    QDirIterator dirs(tree, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                      QDirIterator::Subdirectories);
    while (dirs.hasNext()) {
        const QString path = dirs.next();
        if (!directories.contains(QDir(tree).relativeFilePath(path)))
            emptyDirectories.prepend(path); // deepest first
    }
    for (const QString& path : emptyDirectories)
        QDir().rmdir(path); // only when empty

    QList<QPair<quint64, QString>> extractions;
    for (const qsizetype i : odd)
        extractions.append({static_cast<quint64>(i), tree + QLatin1Char('/') + members[i].name});
    return ExtractMembers(package, extractions, error);
}

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
        SetError(error, QStringLiteral("no such file"));
        return OpenOutcome::Refused;
    }
    // A file that is not a readable ZIP, or one with nothing in it, must not
    // cost the current work.
    ZipSummary summary;
    QList<ArchiveMember> members;
    const bool readable = SummariseZipArchive(package, &summary, nullptr, &members);
    if (!readable || summary.entries == 0) {
        reporter.message(Msg::UnzipFailed());
        SetError(error, readable ? QStringLiteral("the package is empty")
                                 : QStringLiteral("not a readable ZIP archive"));
        return OpenOutcome::Refused;
    }
    const bool reopeningWorkingArchive = FileHelpers::IsSameFile(package, paths.workingArchive());

    // Room for the tree and the working archive, counted before anything is
    // deleted. What the open frees counts as free: the old working archive
    // and the tree that matches it (as big as its members unpacked).
    const qint64 available = FileHelpers::AvailableBytes(state.appDirectory());
    const qint64 needed =
        summary.uncompressedBytes + (reopeningWorkingArchive ? 0 : QFileInfo(package).size());
    qint64 freed = 0;
    ZipSummary old;
    if (!reopeningWorkingArchive &&
        WorkspaceRecord::read(paths.workspaceRecord()).stage == WorkspaceRecord::Stage::Open &&
        SummariseZipArchive(paths.workingArchive(), &old))
        freed = QFileInfo(paths.workingArchive()).size() + old.uncompressedBytes;
    if (available >= 0 && available + freed < needed) {
        reporter.message(Msg::NotEnoughSpace(state.appDirectory(), needed - freed, available));
        SetError(error, QStringLiteral("not enough free space"));
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
        SetError(error, QStringLiteral("cannot write the workspace record"));
        return OpenOutcome::Failed;
    }
    FaultPoint("open:recorded");
    // The old working archive no longer matches any tree: it goes with the
    // old tree (unless it is the package being opened).
    const BackgroundRemoval oldWork(paths, reopeningWorkingArchive);
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
        SetError(error, cause);
        return OpenOutcome::Failed;
    }
    if (!FileHelpers::PathExists(tree)) {
        dropCopy();
        treeChanged();
        reporter.warning(Msg::UnzipFailedHard());
        SetError(error, QStringLiteral("7-Zip made no tree"));
        return OpenOutcome::Failed;
    }
    if (!ReconcileTreeNames(package, members, tree, &cause)) {
        dropCopy();
        treeChanged();
        reporter.message(Msg::UnzipFailed());
        SetError(error, cause);
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
            SetError(error, QStringLiteral("cannot copy the package to the working archive"));
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
        SetError(error, QStringLiteral("cannot write the workspace record"));
        return OpenOutcome::Failed;
    }
    FaultPoint("open:recorded-open");
    state.setWorkingArchivePath(paths.workingArchive());
    treeChanged();
    reporter.message(Msg::UnzipSucceeded());
    return OpenOutcome::Opened;
}
