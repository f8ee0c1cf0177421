#include "core/package/EditPlan.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/PrintableText.h"
#include "core/base/ToolRunner.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/format/AndroidVersionProbe.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/BuildProp.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/ApkInsight.h"
#include "core/package/ApkNameRule.h"
#include "core/package/ApkRules.h"
#include "core/package/LibraryPlacement.h"
#include "core/package/OnePassAdd.h"
#include "core/package/PackageInsight.h"
#include "core/package/PackageLayout.h"
#include "core/package/PartitionImage.h"
#include "core/package/SystemImage.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <optional>

namespace {

Result failure(const QString& text, const QString& cause = QString()) {
    return Result::failed(Notice::failure(text), cause);
}

// The package as the plan reads it, once.
struct PackageSnapshot {
    QStringList files; // member names of the files, in order
    QByteArray buildProp;
    bool hasBuildProp = false; // a member of exactly that name
    // Other spellings of it ("system\\build.prop"): other files to a device.
    QStringList buildPropTwins;
    int androidMajor = 4;
};

bool readSnapshot(const QString& package, PackageSnapshot* snapshot, QString* error) {
    QList<ArchiveMember> members;
    if (!ReadArchiveMembers(package, &members, error) ||
        !ReadPackageBuildProp(package, &snapshot->buildProp, error))
        return false;
    for (const ArchiveMember& member : members) {
        if (member.isDirectory)
            continue;
        snapshot->files << member.name;
        if (member.rawName == kBuildPropMember)
            snapshot->hasBuildProp = true;
        else if (member.name == QLatin1String(kBuildPropMember))
            snapshot->buildPropTwins << QString::fromUtf8(member.rawName);
    }
    // As the window takes it: 1 to 5, else 4.
    const int version = ProbeAndroidVersionText(snapshot->buildProp);
    snapshot->androidMajor = version != 0 ? version : 4;
    return true;
}

// An image of a slot that a device boots (boot.img, recovery.img) begins
// with the Android boot header's magic.
bool lacksBootMagic(const QString& slot, const QString& source) {
    if (slot != QLatin1String("boot.img") && slot != QLatin1String("recovery.img"))
        return false;
    QFile file(source);
    return !file.open(QIODevice::ReadOnly) || file.read(8) != QByteArrayLiteral("ANDROID!");
}

// The SDK level of the package's build.prop; -1 when it does not say.
int packageSdkLevel(const QByteArray& buildProp) {
    bool ok = false;
    const int level = BuildPropValue(buildProp, QStringLiteral("ro.build.version.sdk"))
                          .value_or(QString())
                          .toInt(&ok);
    return ok ? level : -1;
}

// Every input is a regular file, told before anything is opened: a FIFO
// would block the open, a device might never end.
Result checkInputsAreRegular(const EditRequest& request) {
    const auto notRegular = [](const QString& path) {
        return QStringLiteral("\"%1\" is not a regular file").arg(path);
    };
    if (!FileHelpers::IsRegularOrMissing(request.package))
        return failure(QStringLiteral("cannot open \"%1\": %2")
                           .arg(request.packageName, notRegular(request.packageName)));
    for (const QString& key : {request.certificate, request.privateKey}) {
        if (!FileHelpers::IsRegularOrMissing(key))
            return failure(
                QStringLiteral("cannot save \"%1\": %2").arg(request.outputName, notRegular(key)));
    }
    for (const PackageEdit& edit : request.edits) {
        const bool file =
            edit.kind == PackageEdit::Kind::AddSystem || edit.kind == PackageEdit::Kind::AddPriv ||
            edit.kind == PackageEdit::Kind::AddData || edit.kind == PackageEdit::Kind::Replace;
        if (file && !FileHelpers::IsRegularOrMissing(edit.argument))
            return failure(QStringLiteral("%1: %2").arg(edit.label, notRegular(edit.argument)));
    }
    return Result::done();
}

// Turns the edits, in order, into the one pass's changes and the plan's
// lines, over the package's members as the edits so far leave them.
class Planner {
public:
    Planner(const EditRequest& request, Reporter& reporter, PackageSnapshot& package,
            EditPlan* plan)
        : m_request(request), m_reporter(reporter), m_package(package), m_plan(plan),
          m_onePass(plan->onePass), m_files(package.files) {
        const SystemImageForm systemForm = SystemImageFormOf(package.files);
        m_imageCause = Msg::SystemPartitionImageCause(SystemImageFormName(systemForm));
        m_systemIsImage = systemForm != SystemImageForm::Files;
        m_directoryLayout = UsesDirectoryLayout(package.androidMajor);
        m_addContext.output = request.output;
        m_addContext.directoryLayout = m_directoryLayout;
        m_addContext.platformKey = request.platformKey;
    }

    Result plan(const PackageEdit& edit) {
        if (m_systemIsImage) {
            switch (edit.kind) {
            case PackageEdit::Kind::Delete:
                return planImageDelete(edit);
            case PackageEdit::Kind::SetProp:
            case PackageEdit::Kind::UnsetProp:
                return planImageProperty(edit);
            case PackageEdit::Kind::AddSystem:
            case PackageEdit::Kind::AddPriv:
                return planImageAdd(edit);
            default:
                break;
            }
        }
        switch (edit.kind) {
        case PackageEdit::Kind::Delete:
            return planDelete(edit);
        case PackageEdit::Kind::Replace:
            return planReplace(edit);
        case PackageEdit::Kind::SetProp:
        case PackageEdit::Kind::UnsetProp:
            return planProperty(edit);
        case PackageEdit::Kind::AddSystem:
        case PackageEdit::Kind::AddPriv:
        case PackageEdit::Kind::AddData:
            return planAdd(edit);
        }
        return Result::done();
    }

private:
    static Result failed(const PackageEdit& edit, const QString& why) {
        return failure(QStringLiteral("%1: %2").arg(edit.label, why), why);
    }

    // An add as PlanOnePassAdd planned it: a refusal or a question answered
    // no is the edit's failure; libraries left out are a warning.
    std::optional<Result> refusedAdd(const PackageEdit& edit, const OnePassApkAdd& add,
                                     const Result& planned, const QStringList& leftOut) {
        if (planned.outcome() == Result::Outcome::Declined)
            return failed(edit, QStringLiteral("not added (a question was answered no)"));
        if (planned.failed())
            return failed(edit,
                          planned.cause().isEmpty() ? planned.notice().text : planned.cause());
        if (!leftOut.isEmpty())
            m_plan->warnings << QStringLiteral("%1: native libraries for %2 left out (the "
                                               "device's ABIs: %3)")
                                    .arg(FileNamePart(add.source), leftOut.join(QLatin1Char(',')),
                                         add.deviceAbis.join(QLatin1Char(',')));
        return std::nullopt;
    }

    void addChange(const ArchiveChange& change) {
        m_onePass.changes.append(change);
        ApplyChangeToMembers(change, &m_files);
    }

    void addStep(const EditStep& step, const QString& line) {
        m_plan->steps.append(step);
        m_plan->lines << line;
        m_plan->summary << line;
    }

    // A deleted or replaced APK's odex goes too (the device would run it);
    // one in the APK's removed folder went with it, yet is named.
    void removeCompanions(const QStringList& companions) {
        for (const QString& companion : companions) {
            if (m_files.contains(companion))
                addChange({ArchiveChangeKind::Remove, companion, QString()});
            m_plan->lines << QStringLiteral("delete %1").arg(companion);
            m_plan->summary << m_plan->lines.last();
        }
    }

    // build.prop as the edits so far leave it.
    QByteArray editedBuildProp() const {
        return ApplyBuildPropEdits(m_package.buildProp, m_onePass.propEdits);
    }

    Result planDelete(const PackageEdit& edit) {
        QString member;
        QString cause;
        const bool picked = PickApkMember(ListedApkMembers(m_files, m_directoryLayout),
                                          edit.argument, &member, &cause);
        if (m_systemIsImage &&
            (!picked || PartitionPath::ofMember(member)->partition == QLatin1String("system")))
            return failed(edit, m_imageCause);
        if (!picked)
            return failed(edit, cause);
        const ApkRemoval removal = RemovalOfApkMember(member, m_directoryLayout);
        const QStringList companions = OdexCompanions(member, m_files, m_directoryLayout);
        addChange({removal.isTree ? ArchiveChangeKind::RemoveTree : ArchiveChangeKind::Remove,
                   removal.member, QString()});
        addStep({EditStep::Kind::Delete, member, QString()},
                QStringLiteral("delete %1").arg(removal.member));
        removeCompanions(companions);
        return Result::done();
    }

    Result planReplace(const PackageEdit& edit) {
        const ImageSlot* slot = FindImageSlot(edit.slot);
        const QString source = QFileInfo(edit.argument).absoluteFilePath();
        if (!slot || !QFileInfo(source).isFile())
            return failed(edit, QStringLiteral("\"%1\" is not a file").arg(edit.argument));
        const QString member = QLatin1String(slot->treeSuffix).mid(1);
        if (lacksBootMagic(edit.slot, source))
            m_plan->warnings << QStringLiteral("%1: not an Android boot image (no ANDROID! "
                                               "header): the device may not boot it")
                                    .arg(edit.label);
        // Where the package has no such image, the edit adds one.
        const bool replaces = m_files.contains(member);
        addChange({ArchiveChangeKind::Put, member, source});
        addStep({EditStep::Kind::Replace, member, source},
                replaces ? QStringLiteral("replace %1 with %2").arg(member, source)
                         : QStringLiteral("add %1 from %2").arg(member, source));
        return Result::done();
    }

    Result planProperty(const PackageEdit& edit) {
        const bool set = edit.kind == PackageEdit::Kind::SetProp;
        if (m_systemIsImage)
            return failed(edit, m_imageCause);
        if (!m_package.hasBuildProp)
            return failure(QStringLiteral("the package has no %1 to edit")
                               .arg(QLatin1String(kBuildPropMember)));
        // Writing the edited member would take its twin out with it.
        if (!m_package.buildPropTwins.isEmpty())
            return failure(
                QStringLiteral("the package holds \"%1\" beside %2, another "
                               "file to a device: its build.prop is not edited")
                    .arg(m_package.buildPropTwins.first(), QLatin1String(kBuildPropMember)));
        // A key to remove that is not there is a typo, not a no-op.
        if (!set && !BuildPropValue(editedBuildProp(), edit.slot))
            return failed(edit,
                          QStringLiteral("no such key in %1").arg(QLatin1String(kBuildPropMember)));
        m_onePass.propEdits.append(
            {edit.slot, set ? std::optional<QString>(edit.argument) : std::nullopt});
        addStep({set ? EditStep::Kind::SetProp : EditStep::Kind::UnsetProp,
                 QLatin1String(kBuildPropMember), QString()},
                (set ? QStringLiteral("set %1=%2 in %3").arg(edit.slot, edit.argument)
                     : QStringLiteral("unset %1 in %3").arg(edit.slot))
                    .arg(QLatin1String(kBuildPropMember)));
        return Result::done();
    }

    Result planAdd(const PackageEdit& edit) {
        OnePassApkAdd add;
        add.source = QFileInfo(edit.argument).absoluteFilePath();
        add.partition =
            edit.kind == PackageEdit::Kind::AddData ? Partition::Data : Partition::System;
        if (edit.kind == PackageEdit::Kind::AddPriv)
            add.appFolder = QStringLiteral("priv-app");
        if (add.partition == Partition::System) {
            if (m_systemIsImage)
                return failed(edit, m_imageCause);
            // The given ABIs, else the build.prop as the edits so far leave it.
            add.deviceAbis = !m_request.abis.isEmpty()
                                 ? m_request.abis
                                 : DeviceAbisOfBuildProp(ParseBuildProp(editedBuildProp()));
            QString cause;
            if (!m_addContext.platformKey.isLoaded() &&
                !m_addContext.platformKey.load(m_request.fallbackPlatformCertificate,
                                               m_request.fallbackPlatformKey, &cause))
                return failed(edit, cause);
        }
        QStringList leftOut;
        const QStringList before = m_files;
        const qsizetype first = m_onePass.changes.size();
        const Result planned =
            PlanOnePassAdd(add, m_addContext, m_reporter, &m_files, &m_onePass.changes, &leftOut);
        if (std::optional<Result> refused = refusedAdd(edit, add, planned, leftOut))
            return *refused;
        warnIfTooNew(add.source);
        const QString appDirectory =
            PartitionDirectoryName(add.partition) + QLatin1Char('/') + add.appFolder;
        addStep({EditStep::Kind::Add, appDirectory, add.source},
                QStringLiteral("add %1 to %2").arg(add.source, appDirectory));
        // The plan names where the APK and each of its libraries go.
        const qsizetype added = m_onePass.changes.size();
        for (qsizetype i = first; i < added; ++i)
            m_plan->lines << QStringLiteral("  %1 %2").arg(i == first ? QStringLiteral("as")
                                                                      : QStringLiteral("with"),
                                                           m_onePass.changes[i].member);
        const QString apkMember = m_onePass.changes[first].member;
        if (before.contains(apkMember))
            removeCompanions(OdexCompanions(apkMember, before, m_directoryLayout));
        return Result::done();
    }

    // The system partition's image: decoded into a scratch image and opened
    // for writing on the first edit that reaches it.
    Result openImage(const PackageEdit& edit) {
        if (m_work)
            return Result::done();
        QString cause;
        m_zip = std::make_unique<OpenedZip>();
        if (!m_zip->open(m_request.package, &cause))
            return failed(edit, cause);
        m_members = std::make_unique<ZipPackageMembers>(*m_zip);
        const std::optional<BlockImagePartition> partition =
            PartitionImageIn(*m_members, QStringLiteral("system"));
        if (!partition)
            return failed(edit, m_imageCause);
        auto work = std::make_shared<PartitionImageWork>();
        if (!work->open(*m_members, *partition, Ext4Image::Mode::ReadWrite, m_runner, &cause))
            return failed(edit, QStringLiteral("%1: %2").arg(partition->imageMember(), cause));
        m_partition = *partition;
        m_work = work;
        m_plan->scratch = work;
        QByteArray prop;
        if (m_work->image().readFile(QStringLiteral("build.prop"), 4 * 1024 * 1024, &prop, nullptr))
            m_imageBuildProp = prop;
        // New files take the build's own time.
        const QString utc = BuildPropValue(m_imageBuildProp, QStringLiteral("ro.build.date.utc"))
                                .value_or(QString());
        m_work->image().setTime(utc.toLongLong());
        const int major = ProbeAndroidVersionText(m_imageBuildProp);
        m_imageMajor = major;
        return Result::done();
    }

    QString inImage() const { return m_partition.imageMember(); }

    // The image's files below the APK places and library folders, as members.
    QStringList imageMembers() const {
        QStringList members;
        std::function<void(const QString&)> walk = [&](const QString& folder) {
            QList<Ext4Entry> entries;
            if (!m_work->image().list(folder, &entries, nullptr))
                return;
            for (const Ext4Entry& entry : entries) {
                const QString path = folder + QLatin1Char('/') + entry.name;
                if (entry.kind == Ext4Entry::Kind::Folder)
                    walk(path);
                else
                    members << QStringLiteral("system/") + path;
            }
        };
        for (const char* folder : {"app", "priv-app", "lib", "lib64"})
            walk(QLatin1String(folder));
        return members;
    }

    Result planImageDelete(const PackageEdit& edit) {
        // An APK of the data partition, in files beside the image, is deleted
        // as ever, without the image.
        QStringList files;
        for (const QString& file : ListedApkMembers(m_files, m_directoryLayout))
            if (PartitionPath::ofMember(file)->partition != QLatin1String("system"))
                files << file;
        QString picked;
        QString notThere;
        if (PickApkMember(files, edit.argument, &picked, &notThere))
            return planDelete(edit);
        if (const Result opened = openImage(edit); !opened.succeeded())
            return opened;
        QStringList listed;
        for (const QString& member : ApkMembersInImage(m_work->image(), QStringLiteral("system")))
            if (const auto location = LocateApkMember(member);
                location &&
                (location->place == ApkPlace::App || location->place == ApkPlace::PrivApp))
                listed << member;
        // The data partition's APKs are files beside the image.
        for (const QString& file : ListedApkMembers(m_files, m_directoryLayout))
            if (PartitionPath::ofMember(file)->partition != QLatin1String("system"))
                listed << file;
        QString member;
        QString cause;
        if (!PickApkMember(listed, edit.argument, &member, &cause))
            return failed(edit, cause);
        if (!member.startsWith(QLatin1String("system/")))
            return planDelete(edit);
        const bool inFolder = LocateApkMember(member)->inDirectory;
        const ApkRemoval removal = RemovalOfApkMember(member, inFolder);
        QString path = removal.member.mid(7);
        if (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        if (!m_work->image().remove(path, &cause))
            return failed(edit, cause);
        addStep({EditStep::Kind::Delete, member, QString()},
                QStringLiteral("delete %1 in %2").arg(removal.member, inImage()));
        return Result::done();
    }

    Result planImageProperty(const PackageEdit& edit) {
        if (const Result opened = openImage(edit); !opened.succeeded())
            return opened;
        const bool set = edit.kind == PackageEdit::Kind::SetProp;
        QByteArray prop;
        QString cause;
        if (!m_work->image().readFile(QStringLiteral("build.prop"), 4 * 1024 * 1024, &prop, &cause))
            return failed(edit, cause);
        if (!set && !BuildPropValue(prop, edit.slot))
            return failed(edit, QStringLiteral("no such key in build.prop in %1").arg(inImage()));
        const QByteArray edited = ApplyBuildPropEdits(
            prop, {{edit.slot, set ? std::optional<QString>(edit.argument) : std::nullopt}});
        if (!m_work->image().replaceFile(QStringLiteral("build.prop"), edited, &cause))
            return failed(edit, cause);
        m_imageBuildProp = edited;
        addStep({set ? EditStep::Kind::SetProp : EditStep::Kind::UnsetProp,
                 QStringLiteral("system/build.prop"), QString()},
                (set ? QStringLiteral("set %1=%2 in build.prop in %3").arg(edit.slot, edit.argument)
                     : QStringLiteral("unset %1 in build.prop in %3").arg(edit.slot))
                    .arg(inImage()));
        return Result::done();
    }

    // Android 6 and later look for a system app's libraries in its own
    // folder: app/NAME/lib/<isa>/ (arm, arm64, x86, x86_64, mips, mips64).
    static QString IsaOfAbi(const QString& abi) {
        if (abi.startsWith(QLatin1String("arm64")))
            return QStringLiteral("arm64");
        if (abi.startsWith(QLatin1String("armeabi")))
            return QStringLiteral("arm");
        return abi; // x86, x86_64, mips, mips64
    }

    Result planImageAdd(const PackageEdit& edit) {
        if (const Result opened = openImage(edit); !opened.succeeded())
            return opened;
        OnePassApkAdd add;
        add.source = QFileInfo(edit.argument).absoluteFilePath();
        add.partition = Partition::System;
        if (edit.kind == PackageEdit::Kind::AddPriv)
            add.appFolder = QStringLiteral("priv-app");
        add.deviceAbis = !m_request.abis.isEmpty()
                             ? m_request.abis
                             : DeviceAbisOfBuildProp(ParseBuildProp(m_imageBuildProp));
        QString cause;
        if (!m_addContext.platformKey.isLoaded() &&
            !m_addContext.platformKey.load(m_request.fallbackPlatformCertificate,
                                           m_request.fallbackPlatformKey, &cause))
            return failed(edit, cause);
        OnePassAddContext context = m_addContext;
        // Images come from Android 5 and later: each APK in a folder of its own.
        context.directoryLayout = true;
        QStringList members = imageMembers();
        QList<ArchiveChange> changes;
        QStringList leftOut;
        const Result planned =
            PlanOnePassAdd(add, context, m_reporter, &members, &changes, &leftOut);
        if (std::optional<Result> refused = refusedAdd(edit, add, planned, leftOut))
            return *refused;
        if (changes.isEmpty())
            return failed(edit, QStringLiteral("nothing to add"));
        const QString apkMember = changes.first().member; // system/app/NAME/NAME.apk
        const QString apkFolder = apkMember.mid(7).section(QLatin1Char('/'), 0, -2);
        const bool ownFolderLibraries = m_imageMajor == 0 || m_imageMajor >= 6;
        auto isaFor = [&](bool is64) {
            for (const QString& abi : add.deviceAbis)
                if (IsAbi64Bit(abi) == is64)
                    return IsaOfAbi(abi);
            return is64 ? QStringLiteral("arm64") : QStringLiteral("arm");
        };
        // The room for everything added, less what it replaces, first.
        QList<quint64> sizes;
        for (const ArchiveChange& change : changes)
            if (change.kind == ArchiveChangeKind::Put)
                sizes << static_cast<quint64>(change.made ? change.made->sizeHint
                                                          : QFileInfo(change.sourceFile).size());
        const quint64 needed = m_work->image().bytesNeededFor(sizes);
        const quint64 free = m_work->image().facts().freeBytes();
        if (needed > free)
            return failed(edit, Msg::ImageNoRoom(needed, free));
        addStep(
            {EditStep::Kind::Add, QStringLiteral("system/") + add.appFolder, add.source},
            QStringLiteral("add %1 to system/%2 in %3").arg(add.source, add.appFolder, inImage()));
        bool first = true;
        for (const ArchiveChange& change : changes) {
            QString path = change.member.mid(7);
            if (change.kind != ArchiveChangeKind::Put) {
                if (m_work->image().exists(path) && !m_work->image().remove(path, &cause))
                    return failed(edit, cause);
                continue;
            }
            if (!first && ownFolderLibraries &&
                (path.startsWith(QLatin1String("lib/")) ||
                 path.startsWith(QLatin1String("lib64/"))))
                path = QStringLiteral("%1/lib/%2/%3")
                           .arg(apkFolder, isaFor(path.startsWith(QLatin1String("lib64/"))),
                                path.section(QLatin1Char('/'), -1));
            QString file = change.sourceFile;
            if (change.made && !change.made->make(&file, &cause))
                return failed(edit, cause);
            bool written =
                (!m_work->image().exists(path) || m_work->image().remove(path, &cause)) &&
                m_work->image().addFile(path, file, &cause);
            if (change.made)
                change.made->release();
            if (!written)
                return failed(edit, cause);
            m_plan->lines << QStringLiteral("  %1 system/%2")
                                 .arg(first ? QStringLiteral("as") : QStringLiteral("with"), path);
            first = false;
        }
        if (ownFolderLibraries)
            m_plan->lines << QStringLiteral("  (Android 6 and later: a system app's libraries in "
                                            "its own folder, app/NAME/lib/<isa>/)");
        return Result::done();
    }

public:
    // After the last edit: the edited image checked, encoded into its form's
    // members, and those put into the package in place of the old ones.
    Result finishImage() {
        if (!m_work)
            return Result::done();
        QString cause;
        // Only the blocks the filesystem uses are carried: a deleted file's
        // old bytes are not.
        QList<BlockRange> used;
        if (!m_work->image().usedBlocks(&used, &cause))
            return failure(QStringLiteral("%1: %2").arg(inImage(), cause), cause);
        BlockImageEncodeOptions options;
        options.brotliQuality = m_request.brotliQuality;
        options.noErase = m_request.noErase;
        options.usedBlocks = used;
        options.usedBlockSize = static_cast<quint32>(m_work->image().facts().blockSize);
        if (!m_work->finish(m_runner, &cause))
            return failure(QStringLiteral("%1: %2").arg(inImage(), cause), cause);
        if (m_partition.form == BlockImageForm::Raw) {
            addChange({ArchiveChangeKind::Put, inImage(), m_work->rawPath()});
            m_plan->lines << QStringLiteral("write %1 from the edited image").arg(inImage());
            return Result::done();
        }
        auto folder = std::make_shared<QTemporaryDir>(QDir::tempPath() +
                                                      QStringLiteral("/corvane-encoded-XXXXXX"));
        if (!folder->isValid())
            return failure(folder->errorString(), folder->errorString());
        QStringList files;
        BlockImageEncoded encoded;
        if (!EncodeBlockImageToFolder(m_work->rawPath(), m_work->layout(), options, folder->path(),
                                      &files, &encoded, &cause))
            return failure(QStringLiteral("%1: %2").arg(inImage(), cause), cause);
        const QStringList names = m_work->layout().partition.memberNames();
        for (qsizetype i = 0; i < files.size() && i < names.size(); ++i) {
            addChange({ArchiveChangeKind::Put, names.at(i), files.at(i)});
            m_plan->lines << QStringLiteral("write %1 from the edited image").arg(names.at(i));
        }
        m_plan->scratch = std::make_shared<
            std::pair<std::shared_ptr<PartitionImageWork>, std::shared_ptr<QTemporaryDir>>>(m_work,
                                                                                            folder);
        return Result::done();
    }

private:
    // An APK the device's Android is too old for is refused there.
    void warnIfTooNew(const QString& apk) {
        ApkFacts facts;
        QString cause;
        const int sdk = packageSdkLevel(editedBuildProp());
        if (sdk > 0 && ReadApkFacts(apk, &facts, &cause) && facts.minSdk > sdk)
            m_plan->warnings << QStringLiteral("%1: its minSdk is %2, above the package's SDK "
                                               "level %3: the device will refuse to install it")
                                    .arg(FileNamePart(apk))
                                    .arg(facts.minSdk)
                                    .arg(sdk);
    }

    const EditRequest& m_request;
    Reporter& m_reporter;
    PackageSnapshot& m_package;
    EditPlan* m_plan;
    OnePassEditPlan& m_onePass;
    QStringList& m_files; // the package's files as the edits leave them
    QString m_imageCause;
    bool m_systemIsImage = false;
    bool m_directoryLayout = false;
    OnePassAddContext m_addContext;
    // The system partition's image, once an edit reaches it.
    ToolRunner m_runner;
    std::unique_ptr<OpenedZip> m_zip;
    std::unique_ptr<ZipPackageMembers> m_members;
    std::shared_ptr<PartitionImageWork> m_work;
    BlockImagePartition m_partition;
    QByteArray m_imageBuildProp;
    int m_imageMajor = 0;
};

} // namespace

Result MakeEditPlan(const EditRequest& request, Reporter& reporter, EditPlan* plan) {
    *plan = EditPlan();
    if (const Result regular = checkInputsAreRegular(request); regular.failed())
        return regular;
    PackageSnapshot package;
    QString cause;
    if (!readSnapshot(request.package, &package, &cause))
        return failure(QStringLiteral("cannot open \"%1\": %2").arg(request.packageName, cause),
                       cause);
    OnePassEditPlan& onePass = plan->onePass;
    onePass.package = request.package;
    onePass.output = request.output;
    onePass.certificate = request.certificate;
    onePass.privateKey = request.privateKey;
    onePass.buildProp = package.buildProp;
    // The key is checked before the plan is made (a dry run checks it too).
    WholeFileSigner signer;
    if (!signer.loadKey(onePass.certificate, onePass.privateKey, &cause))
        return failure(QStringLiteral("cannot save \"%1\": %2").arg(request.outputName, cause),
                       cause);
    Planner planner(request, reporter, package, plan);
    for (const PackageEdit& edit : request.edits) {
        if (Result planned = planner.plan(edit); !planned.succeeded())
            return planned;
    }
    if (Result finished = planner.finishImage(); !finished.succeeded())
        return finished;
    plan->lines
        << QStringLiteral("write %1 signed with %2").arg(request.output, onePass.certificate);
    return Result::done();
}

QString UnprintableCharacter(const QString& text) {
    return FirstUnprintable(text);
}

bool IsWritablePropertyKey(const QString& key) {
    return UnprintableCharacter(key).isEmpty() && IsValidBuildPropKey(key);
}
