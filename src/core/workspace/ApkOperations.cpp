#include "core/workspace/ApkOperations.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/format/BuildProp.h"
#include "core/package/ApkLibraries.h"
#include "core/package/ApkNameRule.h"
#include "core/package/ApkRules.h"
#include "core/package/ApkScan.h"
#include "core/package/LibraryPlacement.h"
#include "core/package/PackageTools.h"
#include "core/package/SystemImage.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ChangeLog.h"
#include "core/workspace/TreeSync.h"
#include "core/workspace/WorkingImage.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// More than any build.prop holds: the rest is not read.
constexpr qint64 kLargestTreeBuildProp = 4 * 1024 * 1024;

QString partitionRoot(const AppState& state, Partition partition) {
    return state.paths().extractedTree() + QLatin1Char('/') + PartitionDirectoryName(partition);
}

Result failed(const QString& message, const QString& cause) {
    return Result::failed(Notice::failure(message), cause);
}

// Whether a name fits the tree's file system (written through a temporary
// file, whose name is longer).
Result nameFits(const QString& directory, const QString& name) {
    const qint64 limit = FileHelpers::MaxTargetNameBytes(directory);
    if (name.toUtf8().size() <= limit)
        return Result::done();
    return failed(Msg::NameTooLong(name, limit),
                  QStringLiteral("the name \"%1\" is longer than the %2 bytes the tree takes")
                      .arg(name)
                      .arg(limit));
}

// The odex companions of an APK of the tree that exist (IsOdexCompanion):
// beside it and, in the folder layout, below its oat/ folder.
QStringList odexCompanionsInTree(const AppState& state, const QString& apkPath) {
    const QString directory = QFileInfo(apkPath).path();
    QStringList candidates;
    for (const QString& name : FileHelpers::ListDirectory(directory))
        candidates << directory + QLatin1Char('/') + name;
    const QString oat = directory + QStringLiteral("/oat");
    if (state.usesDirectoryLayout() && FileHelpers::IsDirectory(oat)) {
        for (const QString& isa : FileHelpers::ListDirectory(oat)) {
            const QString isaDirectory = oat + QLatin1Char('/') + isa;
            if (!FileHelpers::IsDirectory(isaDirectory))
                continue;
            for (const QString& name : FileHelpers::ListDirectory(isaDirectory))
                candidates << isaDirectory + QLatin1Char('/') + name;
        }
    }
    QStringList companions;
    for (const QString& candidate :
         OdexCompanions(apkPath, candidates, state.usesDirectoryLayout())) {
        if (QFileInfo(candidate).isFile())
            companions << candidate;
    }
    return companions;
}

// One file to place: into the archive under `member`, into the tree at `target`.
struct Placement {
    QString source;
    QString target;
    QString member;
};

// One library file to place as targetDirectory/name. A name already planned
// or in the tree asks before it replaces; No ends the add.
Result planLibrary(Reporter& reporter, const QString& entry, const QString& name,
                   const QString& targetDirectory, const QString& memberDirectory,
                   QList<Placement>& placements) {
    const Result fits = nameFits(targetDirectory, name);
    if (!fits.succeeded())
        return fits;
    const QString target = targetDirectory + QLatin1Char('/') + name;
    bool planned = false;
    for (const Placement& placement : placements)
        planned = planned || placement.target == target;
    if ((planned || FileHelpers::PathExists(target)) &&
        !reporter.ask(Reporter::Question::OverwriteLibrary, Msg::OverwriteQuestion(name)))
        return Result::declined();
    // A later library of the same name wins, in the archive and the tree.
    placements.erase(std::remove_if(placements.begin(), placements.end(),
                                    [&](const Placement& p) { return p.target == target; }),
                     placements.end());
    placements.append({entry, target, memberDirectory + QLatin1Char('/') + name});
    return Result::done();
}

// The native libraries of an unpacked APK, flattened into the partition's lib
// directory, depth first in listing order. A name met twice (one library for
// two ABIs) or already in the tree asks before it replaces; No ends the add.
Result PlanLibraries(Reporter& reporter, const QString& source, const QString& targetDirectory,
                     const QString& memberDirectory, QList<Placement>& placements) {
    for (const QString& name : FileHelpers::ListDirectory(source)) {
        const QString entry = source + QLatin1Char('/') + name;
        // A link in an unpacked APK could reach any file of this machine: a
        // library is never one, so links are skipped.
        if (QFileInfo(entry).isSymLink())
            continue;
        if (FileHelpers::IsDirectory(entry)) {
            const Result planned =
                PlanLibraries(reporter, entry, targetDirectory, memberDirectory, placements);
            if (!planned.succeeded())
                return planned;
            continue;
        }
        const Result planned =
            planLibrary(reporter, entry, name, targetDirectory, memberDirectory, placements);
        if (!planned.succeeded())
            return planned;
    }
    return Result::done();
}

// The native libraries of an unpacked APK (its lib/<abi>/ files; links
// skipped as above) placed by the device's ABIs: the chosen 32-bit ABI's into
// <partition>/lib, the 64-bit one's into <partition>/lib64, the rest left out
// and told. Only a library already in the tree asks.
Result PlanAbiLibraries(Reporter& reporter, const QString& source, const QString& root,
                        const QString& partitionName, const QStringList& deviceAbis,
                        QStringList* leftOutAbis, QList<Placement>& placements) {
    QList<AbiLibrary> libraries;
    for (const QString& abi : FileHelpers::ListDirectory(source)) {
        const QString folder = source + QLatin1Char('/') + abi;
        if (QFileInfo(folder).isSymLink() || !FileHelpers::IsDirectory(folder))
            continue;
        for (const QString& name : FileHelpers::ListDirectory(folder)) {
            const QFileInfo entry(folder + QLatin1Char('/') + name);
            if (!entry.isSymLink() && entry.isFile())
                libraries.append({abi, name});
        }
    }
    const LibraryPlacement placement = PlaceLibraries(libraries, deviceAbis);
    if (leftOutAbis)
        *leftOutAbis = placement.leftOutAbis;
    for (const PlacedLibrary& placed : placement.placed) {
        const QString entry = source + QLatin1Char('/') + placed.library.abi + QLatin1Char('/') +
                              placed.library.fileName;
        const Result planned = planLibrary(
            reporter, entry, placed.library.fileName, root + QLatin1Char('/') + placed.directory,
            partitionName + QLatin1Char('/') + placed.directory, placements);
        if (!planned.succeeded())
            return planned;
    }
    return Result::done();
}

// The checks of the file to add, before anything changes.
Result acceptSource(const Operation& op, const QString& sourcePath, const QString& name) {
    if (!op.state.hasPackage())
        return failed(Msg::NoPackageOpen(), QStringLiteral("no package is open"));
    if (!FileHelpers::PathExists(sourcePath))
        return failed(Msg::FileDoesNotExist(sourcePath),
                      QStringLiteral("\"%1\" does not exist").arg(sourcePath));
    if (!IsValidApkName(name))
        return failed(Msg::ApkNamedIllegally(name),
                      QStringLiteral("\"%1\" is not a legal APK name").arg(name));
    const Result fits = nameFits(op.state.appDirectory(), name);
    if (!fits.succeeded())
        return fits;
    if (!HasApkExtension(name) &&
        !op.reporter.ask(Reporter::Question::NotAnApk, Msg::NotApkContinue(name)))
        return Result::declined();
    return Result::done();
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

// System page: the APK's native libraries are taken out into the unpack
// folder and the APK is signed with the platform key (or the options' pair)
// into the signing folder; `file` becomes the signed copy.
Result unpackAndSign(const Operation& op, const QString& sourcePath, const QString& name,
                     const AddApkOptions& options, QString* file) {
    const WorkspacePaths paths = op.state.paths();
    const QString unpackDirectory = paths.unpackDir();
    if (!FileHelpers::DeleteDirectoryTree(unpackDirectory))
        return failed(
            Msg::DeleteDirectoryFailed(unpackDirectory),
            QStringLiteral("cannot clear the unpack directory \"%1\"").arg(unpackDirectory));
    // Only the native libraries are taken out, with the program's own reader.
    // A name the tree cannot take is refused before any is written.
    QString unpackCause;
    QList<ApkLibrary> libraries;
    // The window takes every file below lib/ and flattens it; placing by the
    // device's ABIs takes the native libraries only.
    const ApkLibraryScope scope =
        options.deviceAbis ? ApkLibraryScope::NativeLibraries : ApkLibraryScope::EveryFileBelowLib;
    if (!ListApkLibraries(sourcePath, &libraries, &unpackCause, scope))
        return failed(Msg::UnzipApkFailed(name), unpackCause);
    for (const ApkLibrary& library : libraries) {
        const Result fits = nameFits(paths.extractedTree(), library.fileName);
        if (!fits.succeeded())
            return fits;
    }
    const bool unpacked = op.runner.runInBackground(QStringLiteral("Decompressing files"), [&] {
        return ExtractApkLibraries(sourcePath, libraries, unpackDirectory, &unpackCause);
    });
    if (!unpacked)
        return failed(Msg::UnzipApkFailed(name), unpackCause);
    if (!FileHelpers::PathExists(paths.apkTempDir()))
        FileHelpers::CreateDirectory(paths.apkTempDir());
    *file = paths.apkTempDir() + QLatin1Char('/') + name;
    const Result signedCopy = SignArchive(op.runner, paths, sourcePath, *file,
                                          {options.platformCertificate, options.platformKey});
    if (signedCopy.succeeded() && FileHelpers::PathExists(*file))
        return Result::done();
    const QString cause = signedCopy.failed()
                              ? signedCopy.cause()
                              : QStringLiteral("the signing tool left no signed copy");
    return failed(Msg::SignApkFailed(name, cause), cause);
}

// Where the APK goes: replacing one of that name where it lies flat, or in a
// directory of its own in the directory layout. Empty when the user declines
// to overwrite.
QString placeApk(const Operation& op, const QString& appDirectory, const QString& name) {
    const QString flatTarget = FlatApkPath(appDirectory, name);
    if (FileHelpers::PathExists(flatTarget)) {
        if (op.reporter.ask(Reporter::Question::OverwriteApk, Msg::OverwriteQuestion(name)))
            return flatTarget;
        return QString();
    }
    const QString placed = OwnFolderApkPath(appDirectory, name);
    // A name that begins with ".apk" has no folder name: it stays flat.
    if (!op.state.usesDirectoryLayout() || placed.isEmpty())
        return flatTarget;
    if (FileHelpers::PathExists(placed) &&
        !op.reporter.ask(Reporter::Question::OverwriteApk, Msg::OverwriteQuestion(placed)))
        return QString();
    return placed;
}

// The archive first, in one commit with every library; then the tree, and the
// change is logged.
Result commitPlacements(const Operation& op, const QList<Placement>& placements,
                        const QStringList& stale, const QString& name, const QString& sourcePath,
                        const QString& appDirectory) {
    const WorkspacePaths paths = op.state.paths();
    QList<ArchiveChange> changes;
    QList<TreeSyncEntry> sync;
    for (const Placement& placement : placements) {
        changes.append({ArchiveChangeKind::Put, placement.member, placement.source});
        sync.append({placement.target, placement.member, false});
    }
    for (const QString& path : stale) {
        const QString member = MemberNameOfTreePath(paths.extractedTree(), path);
        changes.append({ArchiveChangeKind::Remove, member, QString()});
        sync.append({path, member, false});
    }
    QString cause;
    if (!BeginTreeSync(paths, sync, &cause) ||
        !UpdateWorkingArchive(op.runner, op.state.workingArchivePath(), changes, &cause)) {
        EndTreeSync(paths);
        return failed(Msg::AddToPackageFailed(name), cause);
    }
    FaultPoint("add:archive-committed");
    for (const Placement& placement : placements) {
        const QString directory = QFileInfo(placement.target).absolutePath();
        if (!FileHelpers::PathExists(directory))
            QDir().mkpath(directory);
        if (!FileHelpers::CopyFileReplacing(placement.source, placement.target, &cause)) {
            // The workspace keeps the edit pending; the next start finishes
            // the tree from the archive.
            return failed(Msg::CopyFailed(), QStringLiteral("cannot copy \"%1\" into the tree: %2")
                                                 .arg(placement.target, cause));
        }
        FaultPoint("add:tree-file-copied");
    }
    for (const QString& path : stale) {
        if (!FileHelpers::RemoveFile(path))
            return failed(Msg::AddToPackageFailed(name),
                          QStringLiteral("cannot remove \"%1\" from the tree").arg(path));
    }
    EndTreeSync(paths);
    RecordChange(op, ChangeLogAddLine(QDateTime::currentDateTime(), sourcePath, appDirectory));
    return Result::done();
}

// The partition's app directory, made when missing.
Result makeAppDirectory(const QString& root, const QString& appDirectory) {
    // An existing directory is no error; only its absence afterwards is.
    if (!FileHelpers::PathExists(root))
        FileHelpers::CreateDirectory(root);
    FileHelpers::CreateDirectory(appDirectory);
    if (!FileHelpers::PathExists(appDirectory))
        return failed(Msg::DirectoryDoesNotExist(appDirectory),
                      QStringLiteral("cannot make the directory \"%1\"").arg(appDirectory));
    return Result::done();
}

// The placements of an add: the APK, and on the system page its libraries.
Result planAdd(const Operation& op, Partition partition, const QString& file,
               const QString& appDirectory, const QString& name, const AddApkOptions& options,
               QList<Placement>& placements) {
    const WorkspacePaths paths = op.state.paths();
    const QString placed = placeApk(op, appDirectory, name);
    if (placed.isEmpty())
        return Result::declined();
    placements.append({file, placed, MemberNameOfTreePath(paths.extractedTree(), placed)});
    if (partition != Partition::System)
        return Result::done();
    // With the device's ABIs unknown the libraries are flattened as the
    // window does.
    if (options.deviceAbis && !options.deviceAbis->isEmpty())
        return PlanAbiLibraries(op.reporter, paths.unpackDir() + QStringLiteral("/lib"),
                                partitionRoot(op.state, partition),
                                PartitionDirectoryName(partition), *options.deviceAbis,
                                options.leftOutAbis, placements);
    return PlanLibraries(op.reporter, paths.unpackDir() + QStringLiteral("/lib"),
                         partitionRoot(op.state, partition) + QStringLiteral("/lib"),
                         PartitionDirectoryName(partition) + QStringLiteral("/lib"), placements);
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

Result CheckSystemPartitionEditable(const AppState& state) {
    const SystemImageForm form = SystemImageFormOfTree(state.paths().extractedTree());
    if (form == SystemImageForm::Files)
        return Result::done();
    const QString name = SystemImageFormName(form);
    // The open kept why the image could not be taken (incremental, damaged).
    const WorkingImageState image =
        WorkingImageState::read(state.paths().workingSystemImageState());
    const QString cause = image.refusal.isEmpty() ? Msg::SystemPartitionImageCause(name)
                                                  : Msg::SystemPartitionImageCause(name) +
                                                        QStringLiteral(": ") + image.refusal;
    return failed(Msg::SystemPartitionIsImage(name), cause);
}

Result AddApk(const Operation& op, Partition partition, const QString& sourcePath) {
    return AddApk(op, partition, sourcePath, AddApkOptions());
}

Result AddApk(const Operation& op, Partition partition, const QString& sourcePath,
              const AddApkOptions& options) {
    if (options.leftOutAbis)
        options.leftOutAbis->clear();
    if (partition == Partition::System) {
        const Result editable = CheckSystemPartitionEditable(op.state);
        if (!editable.succeeded())
            return editable;
    }
    const QString name = FileNamePart(sourcePath);
    const Result accepted = acceptSource(op, sourcePath, name);
    if (!accepted.succeeded())
        return accepted;

    const QString root = partitionRoot(op.state, partition);
    if (options.appFolder != QLatin1String("app") &&
        (partition != Partition::System || options.appFolder != QLatin1String("priv-app")))
        return failed(Msg::DirectoryDoesNotExist(root + QLatin1Char('/') + options.appFolder),
                      QStringLiteral("an APK goes to app, or priv-app on the system partition, "
                                     "not to \"%1\"")
                          .arg(options.appFolder));
    const QString appDirectory = root + QLatin1Char('/') + options.appFolder;
    const Result made = makeAppDirectory(root, appDirectory);
    if (!made.succeeded())
        return made;

    const WorkspacePaths paths = op.state.paths();
    const AddScratch scratch(paths);
    QString file = sourcePath;
    if (partition == Partition::System) {
        const Result prepared = unpackAndSign(op, sourcePath, name, options, &file);
        if (!prepared.succeeded())
            return prepared;
    }
    QList<Placement> placements;
    const Result planned = planAdd(op, partition, file, appDirectory, name, options, placements);
    if (!planned.succeeded())
        return planned;
    FaultPoint("add:prepared");
    // An APK replaced takes its odex with it: the device would run the old code.
    const QString apkTarget = placements.first().target;
    const QStringList stale = FileHelpers::PathExists(apkTarget)
                                  ? odexCompanionsInTree(op.state, apkTarget)
                                  : QStringList();
    return commitPlacements(op, placements, stale, name, sourcePath, appDirectory);
}

Result AddApkForDevice(const Operation& op, Partition partition, const QString& sourcePath) {
    if (partition != Partition::System)
        return AddApk(op, partition, sourcePath);
    // The tree's build.prop: the user may have edited it since the open.
    QFile buildProp(op.state.paths().extractedTree() + QStringLiteral("/system/build.prop"));
    QStringList deviceAbis;
    if (buildProp.open(QIODevice::ReadOnly))
        deviceAbis = DeviceAbisOfBuildProp(ParseBuildProp(buildProp.read(kLargestTreeBuildProp)));
    if (deviceAbis.isEmpty())
        return AddApk(op, partition, sourcePath);
    AddApkOptions options;
    options.deviceAbis = deviceAbis;
    QStringList leftOut;
    options.leftOutAbis = &leftOut;
    const Result added = AddApk(op, partition, sourcePath, options);
    if (!added.succeeded() || leftOut.isEmpty())
        return added;
    return Result::done(
        Notice::success(Msg::LibrariesLeftOut(FileNamePart(sourcePath), leftOut, deviceAbis)));
}

Result DeleteApk(const Operation& op, Partition partition, const QString& apkPath) {
    const AppState& state = op.state;
    const WorkspacePaths paths = state.paths();
    const QString root = partitionRoot(state, partition);
    const QString message = Msg::DeleteApkFailed(apkPath);
    if (partition == Partition::System) {
        const Result editable = CheckSystemPartitionEditable(state);
        if (!editable.succeeded())
            return editable;
    }
    const qsizetype slash = apkPath.lastIndexOf(QLatin1Char('/'));
    // An APK outside the page's partition has no member of its own: refuse
    // before anything changes.
    if (slash < 0 || !apkPath.startsWith(root + QLatin1Char('/')))
        return failed(message, QStringLiteral("\"%1\" is not in the partition").arg(apkPath));
    const QString directory = apkPath.left(slash);
    const QString fileName = apkPath.mid(slash + 1);

    if (state.usesDirectoryLayout() && !fileName.contains(QLatin1String(".apk")))
        return failed(message, QStringLiteral("\"%1\" is not an APK name").arg(fileName));
    QStringList appDirectories{root + QStringLiteral("/app")};
    if (partition == Partition::System)
        appDirectories << root + QStringLiteral("/priv-app");
    const bool inOwnDirectory =
        !OwnFolderOfApk(apkPath, appDirectories, state.usesDirectoryLayout()).isEmpty();
    const QString treePath = inOwnDirectory ? directory : apkPath;
    const QString member = MemberNameOfTreePath(paths.extractedTree(), treePath);
    QList<ArchiveChange> changes{
        {inOwnDirectory ? ArchiveChangeKind::RemoveTree : ArchiveChangeKind::Remove, member,
         QString()}};
    QList<TreeSyncEntry> sync{{treePath, member, inOwnDirectory}};
    // Its odex goes too (one in its own folder goes with the folder).
    const QStringList stale = inOwnDirectory ? QStringList() : odexCompanionsInTree(state, apkPath);
    for (const QString& path : stale) {
        const QString odexMember = MemberNameOfTreePath(paths.extractedTree(), path);
        changes.append({ArchiveChangeKind::Remove, odexMember, QString()});
        sync.append({path, odexMember, false});
    }

    QString cause;
    if (!BeginTreeSync(paths, sync, &cause) ||
        !UpdateWorkingArchive(op.runner, state.workingArchivePath(), changes, &cause)) {
        EndTreeSync(paths);
        return failed(message, cause);
    }
    FaultPoint("delete:archive-committed");
    const bool removed = inOwnDirectory ? FileHelpers::DeleteDirectoryTree(treePath)
                                        : FileHelpers::RemoveFile(treePath);
    if (!removed)
        return failed(message, QStringLiteral("cannot remove \"%1\" from the tree").arg(treePath));
    for (const QString& path : stale) {
        if (!FileHelpers::RemoveFile(path))
            return failed(message, QStringLiteral("cannot remove \"%1\" from the tree").arg(path));
    }
    EndTreeSync(paths);
    return Result::done();
}

DeleteApksResult DeleteApks(const Operation& op, Partition partition, const QStringList& apkPaths) {
    DeleteApksResult result{Result::done(), 0};
    for (const QString& path : apkPaths) {
        result.result = DeleteApk(op, partition, path);
        if (!result.result.succeeded())
            break;
        RecordChange(op, ChangeLogDeleteLine(QDateTime::currentDateTime(), path));
        ++result.deleted;
    }
    return result;
}
