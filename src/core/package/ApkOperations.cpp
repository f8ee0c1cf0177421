#include "core/package/ApkOperations.h"

#include "core/AppState.h"
#include "core/Messages.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/io/ErrorText.h"
#include "core/io/FaultPoints.h"
#include "core/io/FileHelpers.h"
#include "core/io/PackageTools.h"
#include "core/io/ToolRunner.h"
#include "core/package/ApkNameRule.h"
#include "core/package/ApkScan.h"
#include "core/package/ChangeLog.h"
#include "core/package/TreeSync.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString partitionRoot(const AppState& state, Partition partition) {
    return state.paths().extractedTree() + QLatin1Char('/') + PartitionDirectoryName(partition);
}

// Whether a name fits the tree's file system (written through a temporary
// file, whose name is longer); reported with its message when it does not.
bool nameFits(Reporter& reporter, const QString& directory, const QString& name, QString* error) {
    const qint64 limit = FileHelpers::MaxTargetNameBytes(directory);
    if (name.toUtf8().size() <= limit)
        return true;
    reporter.message(Msg::NameTooLong(name, limit));
    SetError(error, QStringLiteral("the name \"%1\" is longer than the %2 bytes the tree takes")
                        .arg(name)
                        .arg(limit));
    return false;
}

// One file to place: into the archive under `member`, into the tree at `target`.
struct Placement {
    QString source;
    QString target;
    QString member;
};

// The native libraries of an unpacked APK, flattened into the partition's lib
// directory, depth first in listing order. A name met twice (one library for
// two ABIs) or already in the tree asks before it replaces; No ends the add.
bool PlanLibraries(Reporter& reporter, const QString& source, const QString& targetDirectory,
                   const QString& memberDirectory, QList<Placement>& placements, QString* error) {
    for (const QString& name : FileHelpers::ListDirectory(source)) {
        const QString entry = source + QLatin1Char('/') + name;
        // A link in an unpacked APK could reach any file of this machine: a
        // library is never one, so links are skipped.
        if (QFileInfo(entry).isSymLink())
            continue;
        if (FileHelpers::IsDirectory(entry)) {
            if (!PlanLibraries(reporter, entry, targetDirectory, memberDirectory, placements,
                               error))
                return false;
            continue;
        }
        if (!nameFits(reporter, targetDirectory, name, error))
            return false;
        const QString target = targetDirectory + QLatin1Char('/') + name;
        bool planned = false;
        for (const Placement& placement : placements)
            planned = planned || placement.target == target;
        if ((planned || FileHelpers::PathExists(target)) &&
            !reporter.ask(Reporter::Question::OverwriteLibrary, Msg::OverwriteQuestion(name))) {
            SetError(error, QStringLiteral("declined to overwrite a library"));
            return false;
        }
        // A later library of the same name wins, in the archive and the tree.
        placements.erase(std::remove_if(placements.begin(), placements.end(),
                                        [&](const Placement& p) { return p.target == target; }),
                         placements.end());
        placements.append({entry, target, memberDirectory + QLatin1Char('/') + name});
    }
    return true;
}

// The checks of the file to add, before anything changes.
bool acceptSource(const Operation& op, const QString& sourcePath, const QString& name,
                  QString* error) {
    Reporter& reporter = op.reporter;
    if (!op.state.hasPackage()) {
        reporter.message(Msg::NoPackageOpen());
        SetError(error, QStringLiteral("no package is open"));
        return false;
    }
    if (!FileHelpers::PathExists(sourcePath)) {
        reporter.message(Msg::FileDoesNotExist(sourcePath));
        SetError(error, QStringLiteral("no such file"));
        return false;
    }
    if (!IsValidApkName(name)) {
        reporter.message(Msg::ApkNamedIllegally(name));
        SetError(error, QStringLiteral("illegal APK name"));
        return false;
    }
    if (!nameFits(reporter, op.state.appDirectory(), name, error))
        return false;
    if (!HasApkExtension(name) &&
        !reporter.ask(Reporter::Question::NotAnApk, Msg::NotApkContinue(name))) {
        SetError(error, QStringLiteral("declined: not an APK file"));
        return false;
    }
    return true;
}

// The unpack and signing folders of an add, removed when it ends, whatever
// the outcome: a partial unpack on a full disk must not keep the disk full.
class AddScratch {
public:
    explicit AddScratch(const WorkspacePaths& paths) : m_paths(paths) {}
    ~AddScratch() {
        FileHelpers::DeleteDirectoryTree(m_paths.unpackDir());
        FileHelpers::DeleteDirectoryTree(m_paths.apkTempDir());
    }

private:
    const WorkspacePaths& m_paths;
};

// System page: the APK is unpacked for its native libraries and signed with
// the platform key into the signing folder; `file` becomes the signed copy.
bool unpackAndSign(const Operation& op, const QString& sourcePath, const QString& name,
                   QString* file, QString* error) {
    const WorkspacePaths paths = op.state.paths();
    Reporter& reporter = op.reporter;
    const QString unpackDirectory = paths.unpackDir();
    if (!FileHelpers::DeleteDirectoryTree(unpackDirectory)) {
        reporter.message(Msg::DeleteDirectoryFailed(unpackDirectory));
        SetError(error, QStringLiteral("cannot clear the unpack directory"));
        return false;
    }
    QString cause;
    if (!ExtractArchive(op.runner, paths, sourcePath, unpackDirectory, &cause)) {
        reporter.message(Msg::UnzipApkFailed(name));
        SetError(error, cause);
        return false;
    }
    if (!FileHelpers::PathExists(paths.apkTempDir()))
        FileHelpers::CreateDirectory(paths.apkTempDir());
    *file = paths.apkTempDir() + QLatin1Char('/') + name;
    if (!SignArchive(op.runner, paths, sourcePath, *file, SigningKey::Platform, &cause) ||
        !FileHelpers::PathExists(*file)) {
        if (cause.isEmpty())
            cause = QStringLiteral("the signing tool left no signed copy");
        reporter.message(Msg::SignApkFailed(name, cause));
        SetError(error, cause);
        return false;
    }
    return true;
}

// Where the APK goes: replacing one of that name where it lies flat, or in a
// directory of its own in the directory layout. Empty when the user declines
// to overwrite.
QString placeApk(const Operation& op, const QString& appDirectory, const QString& name,
                 QString* error) {
    const QString flatTarget = appDirectory + QLatin1Char('/') + name;
    if (FileHelpers::PathExists(flatTarget)) {
        if (op.reporter.ask(Reporter::Question::OverwriteApk, Msg::OverwriteQuestion(name)))
            return flatTarget;
        SetError(error, QStringLiteral("declined to overwrite"));
        return QString();
    }
    if (!op.state.usesDirectoryLayout())
        return flatTarget;
    const qsizetype extension = name.indexOf(QLatin1String(".apk"));
    const QString baseName = extension < 0 ? name : name.left(extension);
    // A name that begins with ".apk" has no folder name: it stays flat.
    if (baseName.isEmpty())
        return flatTarget;
    const QString placed = appDirectory + QLatin1Char('/') + baseName + QLatin1Char('/') + name;
    if (FileHelpers::PathExists(placed) &&
        !op.reporter.ask(Reporter::Question::OverwriteApk, Msg::OverwriteQuestion(placed))) {
        SetError(error, QStringLiteral("declined to overwrite"));
        return QString();
    }
    return placed;
}

// The archive first, in one commit with every library; then the tree, and the
// change is logged.
bool commitPlacements(const Operation& op, const QList<Placement>& placements, const QString& name,
                      const QString& sourcePath, const QString& appDirectory, QString* error) {
    const WorkspacePaths paths = op.state.paths();
    QList<ArchiveChange> changes;
    QList<TreeSyncEntry> sync;
    for (const Placement& placement : placements) {
        changes.append({ArchiveChangeKind::Put, placement.member, placement.source});
        sync.append({placement.target, placement.member, false});
    }
    QString cause;
    if (!BeginTreeSync(paths, sync, &cause) ||
        !UpdateWorkingArchive(op.runner, op.state.workingArchivePath(), changes, &cause)) {
        EndTreeSync(paths);
        op.reporter.message(Msg::AddToPackageFailed(name));
        SetError(error, cause);
        return false;
    }
    FaultPoint("add:archive-committed");
    for (const Placement& placement : placements) {
        const QString directory = QFileInfo(placement.target).absolutePath();
        if (!FileHelpers::PathExists(directory))
            QDir().mkpath(directory);
        if (!FileHelpers::CopyFileReplacing(placement.source, placement.target, &cause)) {
            // The workspace keeps the edit pending; the next start finishes
            // the tree from the archive.
            op.reporter.message(Msg::CopyFailed());
            SetError(error, QStringLiteral("cannot copy \"%1\" into the tree: %2")
                                .arg(placement.target, cause));
            return false;
        }
        FaultPoint("add:tree-file-copied");
    }
    EndTreeSync(paths);
    RecordChange(op, ChangeLogAddLine(QDateTime::currentDateTime(), sourcePath, appDirectory));
    return true;
}

} // namespace

QStringList ListPartitionApks(const QString& root, Partition partition, int androidMajorVersion) {
    QStringList found;
    if (root.isEmpty())
        return found;
    const QString pattern = ApkScanPattern(androidMajorVersion);
    ScanApkDirectory(root + QStringLiteral("/app"), pattern, found);
    if (partition == Partition::System)
        ScanApkDirectory(root + QStringLiteral("/priv-app"), pattern, found);
    return found;
}

bool AddApk(const Operation& op, Partition partition, const QString& sourcePath, QString* error) {
    const QString name = FileNamePart(sourcePath);
    if (!acceptSource(op, sourcePath, name, error))
        return false;

    const WorkspacePaths paths = op.state.paths();
    const QString root = partitionRoot(op.state, partition);
    const QString appDirectory = root + QStringLiteral("/app");
    const bool system = partition == Partition::System;
    // An existing directory is no error; only its absence afterwards is.
    if (!FileHelpers::PathExists(root))
        FileHelpers::CreateDirectory(root);
    FileHelpers::CreateDirectory(appDirectory);
    if (!FileHelpers::PathExists(appDirectory)) {
        op.reporter.message(Msg::DirectoryDoesNotExist(appDirectory));
        SetError(error, QStringLiteral("no app directory"));
        return false;
    }

    const AddScratch scratch(paths);
    QString file = sourcePath;
    if (system && !unpackAndSign(op, sourcePath, name, &file, error))
        return false;
    const QString placed = placeApk(op, appDirectory, name, error);
    if (placed.isEmpty())
        return false;
    QList<Placement> placements{
        {file, placed, MemberNameOfTreePath(paths.extractedTree(), placed)}};
    if (system) {
        QString cause;
        if (!PlanLibraries(op.reporter, paths.unpackDir() + QStringLiteral("/lib"),
                           root + QStringLiteral("/lib"),
                           PartitionDirectoryName(partition) + QStringLiteral("/lib"), placements,
                           &cause)) {
            SetError(error, cause);
            return false;
        }
    }
    FaultPoint("add:prepared");
    return commitPlacements(op, placements, name, sourcePath, appDirectory, error);
}

bool DeleteApk(const Operation& op, Partition partition, const QString& apkPath, QString* error) {
    const AppState& state = op.state;
    const WorkspacePaths paths = state.paths();
    const QString root = partitionRoot(state, partition);
    const qsizetype slash = apkPath.lastIndexOf(QLatin1Char('/'));
    // An APK outside the page's partition has no member of its own: refuse
    // before anything changes.
    if (slash < 0 || !apkPath.startsWith(root + QLatin1Char('/'))) {
        SetError(error, QStringLiteral("\"%1\" is not in the partition").arg(apkPath));
        return false;
    }
    const QString directory = apkPath.left(slash);
    const QString fileName = apkPath.mid(slash + 1);

    bool inOwnDirectory = false;
    if (state.usesDirectoryLayout()) {
        const qsizetype extension = fileName.indexOf(QLatin1String(".apk"));
        if (extension < 0) {
            SetError(error, QStringLiteral("not an APK name"));
            return false;
        }
        const QString baseName = fileName.left(extension);
        inOwnDirectory = directory == root + QStringLiteral("/app/") + baseName ||
                         (partition == Partition::System &&
                          directory == root + QStringLiteral("/priv-app/") + baseName);
    }
    const QString treePath = inOwnDirectory ? directory : apkPath;
    const QString member = MemberNameOfTreePath(paths.extractedTree(), treePath);
    const ArchiveChange change{inOwnDirectory ? ArchiveChangeKind::RemoveTree
                                              : ArchiveChangeKind::Remove,
                               member, QString()};

    QString cause;
    if (!BeginTreeSync(paths, {{treePath, member, inOwnDirectory}}, &cause) ||
        !UpdateWorkingArchive(op.runner, state.workingArchivePath(), {change}, &cause)) {
        EndTreeSync(paths);
        SetError(error, cause);
        return false;
    }
    FaultPoint("delete:archive-committed");
    const bool removed = inOwnDirectory ? FileHelpers::DeleteDirectoryTree(treePath)
                                        : FileHelpers::RemoveFile(treePath);
    if (!removed) {
        SetError(error, QStringLiteral("cannot remove \"%1\" from the tree").arg(treePath));
        return false;
    }
    EndTreeSync(paths);
    return true;
}

int DeleteApks(const Operation& op, Partition partition, const QStringList& apkPaths) {
    int deleted = 0;
    for (const QString& path : apkPaths) {
        if (!DeleteApk(op, partition, path)) {
            op.reporter.message(Msg::DeleteApkFailed(path));
            break;
        }
        RecordChange(op, ChangeLogDeleteLine(QDateTime::currentDateTime(), path));
        ++deleted;
    }
    return deleted;
}
