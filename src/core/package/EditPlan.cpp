#include "core/package/EditPlan.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/PrintableText.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/format/AndroidVersionProbe.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/BuildProp.h"
#include "core/package/ApkInsight.h"
#include "core/package/ApkNameRule.h"
#include "core/package/ApkRules.h"
#include "core/package/LibraryPlacement.h"
#include "core/package/OnePassAdd.h"
#include "core/package/PackageInsight.h"
#include "core/package/PackageLayout.h"
#include "core/package/SystemImage.h"

#include <QFile>
#include <QFileInfo>

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
