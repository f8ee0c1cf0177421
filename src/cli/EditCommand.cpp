#include "cli/EditCommand.h"

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/CliWorkspace.h"

#include "core/base/ToolRunner.h"
#include "core/base/WorkspacePaths.h"
#include "core/crypto/ApkSigner.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/format/AndroidVersionProbe.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/BuildProp.h"
#include "core/package/ApkNameRule.h"
#include "core/package/LibraryPlacement.h"
#include "core/package/OnePassAdd.h"
#include "core/package/OnePassEdit.h"
#include "core/package/PackageInsight.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/ChangeLog.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdio>

namespace {

// Where the pages list APKs, as member folders.
const char* const kApkFolders[] = {"system/app/", "system/priv-app/", "userdata/app/"};

// The major Android release as the window takes it from the package's
// build.prop: 1 to 5, else 4 (the folder layout is Android 5's alone).
int androidMajor(const QByteArray& buildProp) {
    const int version = ProbeAndroidVersionText(buildProp);
    return version != 0 ? version : 4;
}

QString fileNamePart(const QString& member) {
    return member.mid(member.lastIndexOf(QLatin1Char('/')) + 1);
}

// The APK members the pages list: directly in an APK folder, or (Android 5
// and later) in a folder of their own there.
QStringList listedApks(const QStringList& members, int major) {
    QStringList apks;
    for (const QString& member : members) {
        if (!member.endsWith(QLatin1String(".apk"), Qt::CaseInsensitive))
            continue;
        for (const char* folder : kApkFolders) {
            if (!member.startsWith(QLatin1String(folder)))
                continue;
            const qsizetype depth = member.mid(qsizetype(qstrlen(folder))).count(QLatin1Char('/'));
            if (depth == 0 || (major == 5 && depth == 1))
                apks << member;
        }
    }
    return apks;
}

// The change that deletes the listed APK a name picks (file name, or member
// name when it holds a '/'), as the delete does: its own folder goes whole
// in the folder layout. False with the cause.
bool deleteChange(const QStringList& apks, int major, const QString& name, ArchiveChange* change,
                  QString* member, QString* error) {
    const bool byPath = name.contains(QLatin1Char('/'));
    QStringList matches;
    for (const QString& apk : apks) {
        if (byPath ? apk == name : fileNamePart(apk) == name)
            matches << apk;
    }
    if (matches.isEmpty()) {
        *error =
            QStringLiteral("no APK named \"%1\" in system/app, system/priv-app or userdata/app")
                .arg(name);
        return false;
    }
    if (matches.size() > 1) {
        *error = QStringLiteral("\"%1\" names more than one APK: %2 (give its path to pick one)")
                     .arg(name, matches.join(QStringLiteral(", ")));
        return false;
    }
    *member = matches.first();
    const QString fileName = fileNamePart(*member);
    const QString directory = member->left(member->size() - fileName.size() - 1);
    const qsizetype extension = fileName.indexOf(QLatin1String(".apk"));
    const QString baseName = extension < 0 ? fileName : fileName.left(extension);
    const bool ownFolder = major == 5 && !baseName.isEmpty() &&
                           (directory == QStringLiteral("system/app/") + baseName ||
                            directory == QStringLiteral("system/priv-app/") + baseName ||
                            directory == QStringLiteral("userdata/app/") + baseName);
    *change = {ownFolder ? ArchiveChangeKind::RemoveTree : ArchiveChangeKind::Remove,
               ownFolder ? directory : *member, QString()};
    return true;
}

void printPlanLine(const QString& line) {
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

int failed(const QString& cause) {
    PrintError(cause);
    return kExitFailed;
}

QString describeAdd(const CliEdit& edit) {
    const char* option = edit.kind == CliEdit::Kind::AddSystem ? "--add-system"
                         : edit.kind == CliEdit::Kind::AddPriv ? "--add-priv"
                                                               : "--add-data";
    return QStringLiteral("%1 %2").arg(QLatin1String(option), edit.argument);
}

} // namespace

int RunOnePassEditCommand(const CliOptions& options, const QString& bundleDirectory,
                          const QString& package, const QString& output, const QString& log,
                          const std::function<bool()>& interrupted) {
    RemoveAbandonedCliWorkspaces();
    QString cause;
    // A customer's platform pair that cannot sign fails before the package
    // is read; the bundle's is loaded only for a system APK.
    OnePassAddContext addContext;
    if (!options.platformCertificate.isEmpty() &&
        !addContext.platformKey.load(QFileInfo(options.platformCertificate).absoluteFilePath(),
                                     QFileInfo(options.platformKey).absoluteFilePath(), &cause))
        return failed(QStringLiteral("--platform-key: %1").arg(cause));
    QList<ArchiveMember> members;
    QByteArray buildProp;
    if (!ReadArchiveMembers(package, &members, &cause) ||
        !ReadPackageBuildProp(package, &buildProp, &cause))
        return failed(QStringLiteral("cannot open \"%1\": %2").arg(options.package, cause));
    // The package's files as the edits leave them, in order.
    QStringList files;
    for (const ArchiveMember& member : members) {
        if (!member.isDirectory)
            files << member.name;
    }
    const bool hasBuildProp = files.contains(QLatin1String(kBuildPropMember));
    const int major = androidMajor(buildProp);

    OnePassEditPlan plan;
    plan.package = package;
    plan.output = output;
    plan.certificate =
        options.packageCertificate.isEmpty()
            ? WorkspacePaths(bundleDirectory).keyFile(QStringLiteral("testkey.x509.pem"))
            : QFileInfo(options.packageCertificate).absoluteFilePath();
    plan.privateKey = options.packageKey.isEmpty()
                          ? WorkspacePaths(bundleDirectory).keyFile(QStringLiteral("testkey.pk8"))
                          : QFileInfo(options.packageKey).absoluteFilePath();
    // The key is checked before the plan is made (a dry run checks it too).
    WholeFileSigner signer;
    if (!signer.loadKey(plan.certificate, plan.privateKey, &cause))
        return failed(QStringLiteral("cannot save \"%1\": %2").arg(options.output, cause));
    addContext.output = output;
    addContext.directoryLayout = major == 5;
    CliReporter reporter;
    reporter.setOverwriteLibraries(options.overwriteLibraries);
    QStringList planLines;
    QStringList summary; // what the edit changes, for the summary line
    QStringList logLines;
    const QDateTime now = QDateTime::currentDateTime();
    const auto addChange = [&](const ArchiveChange& change) {
        plan.changes.append(change);
        ApplyChangeToMembers(change, &files);
    };
    for (const CliEdit& edit : options.edits) {
        switch (edit.kind) {
        case CliEdit::Kind::Delete: {
            ArchiveChange change;
            QString member;
            if (!deleteChange(listedApks(files, major), major, edit.argument, &change, &member,
                              &cause))
                return failed(QStringLiteral("--delete %1: %2").arg(edit.argument, cause));
            addChange(change);
            planLines << QStringLiteral("delete %1").arg(change.member);
            summary << planLines.last();
            logLines << ChangeLogDeleteLine(now, member);
            break;
        }
        case CliEdit::Kind::Replace: {
            const ImageSlot* slot = FindImageSlot(edit.slot);
            const QString source = QFileInfo(edit.argument).absoluteFilePath();
            if (!slot || !QFileInfo(source).isFile())
                return failed(QStringLiteral("--replace %1=%2: \"%2\" is not a file")
                                  .arg(edit.slot, edit.argument));
            const QString member = QLatin1String(slot->treeSuffix).mid(1);
            addChange({ArchiveChangeKind::Put, member, source});
            planLines << QStringLiteral("replace %1 with %2").arg(member, source);
            summary << planLines.last();
            logLines << ChangeLogReplaceLine(now, member, source);
            break;
        }
        case CliEdit::Kind::SetProp:
        case CliEdit::Kind::UnsetProp: {
            const bool set = edit.kind == CliEdit::Kind::SetProp;
            if (!hasBuildProp)
                return failed(QStringLiteral("the package has no %1 to edit")
                                  .arg(QLatin1String(kBuildPropMember)));
            plan.propEdits.append(
                {edit.slot, set ? std::optional<QString>(edit.argument) : std::nullopt});
            planLines << (set ? QStringLiteral("set %1=%2 in %3").arg(edit.slot, edit.argument)
                              : QStringLiteral("unset %1 in %3").arg(edit.slot))
                             .arg(QLatin1String(kBuildPropMember));
            summary << planLines.last();
            break;
        }
        case CliEdit::Kind::AddSystem:
        case CliEdit::Kind::AddPriv:
        case CliEdit::Kind::AddData: {
            OnePassApkAdd add;
            add.source = QFileInfo(edit.argument).absoluteFilePath();
            add.partition =
                edit.kind == CliEdit::Kind::AddData ? Partition::Data : Partition::System;
            if (edit.kind == CliEdit::Kind::AddPriv)
                add.appFolder = QStringLiteral("priv-app");
            const QString context = describeAdd(edit);
            if (add.partition == Partition::System) {
                // --abi, else the build.prop as the edits so far leave it.
                add.deviceAbis = !options.abis.isEmpty()
                                     ? options.abis
                                     : DeviceAbisOfBuildProp(ParseBuildProp(
                                           ApplyBuildPropEdits(buildProp, plan.propEdits)));
                const WorkspacePaths paths(bundleDirectory);
                if (!addContext.platformKey.isLoaded() &&
                    !addContext.platformKey.load(paths.keyFile(QStringLiteral("platform.x509.pem")),
                                                 paths.keyFile(QStringLiteral("platform.pk8")),
                                                 &cause))
                    return failed(QStringLiteral("%1: %2").arg(context, cause));
            }
            QStringList leftOut;
            const qsizetype first = plan.changes.size();
            const Result planned =
                PlanOnePassAdd(add, addContext, reporter, &files, &plan.changes, &leftOut);
            if (planned.outcome() == Result::Outcome::Declined)
                return failed(
                    QStringLiteral("%1: not added (a question was answered no)").arg(context));
            if (planned.failed())
                return failed(QStringLiteral("%1: %2").arg(
                    context, planned.cause().isEmpty() ? planned.notice().text : planned.cause()));
            if (!leftOut.isEmpty())
                PrintWarning(QStringLiteral("%1: native libraries for %2 left out (the device's "
                                            "ABIs: %3)")
                                 .arg(FileNamePart(add.source), leftOut.join(QLatin1Char(',')),
                                      add.deviceAbis.join(QLatin1Char(','))));
            const QString appDirectory =
                PartitionDirectoryName(add.partition) + QLatin1Char('/') + add.appFolder;
            planLines << QStringLiteral("add %1 to %2").arg(add.source, appDirectory);
            summary << planLines.last();
            // The plan names where the APK and each of its libraries go.
            for (qsizetype i = first; i < plan.changes.size(); ++i)
                planLines << QStringLiteral("  %1 %2").arg(i == first ? QStringLiteral("as")
                                                                      : QStringLiteral("with"),
                                                           plan.changes[i].member);
            logLines << ChangeLogAddLine(now, add.source, appDirectory);
            break;
        }
        }
    }
    planLines << QStringLiteral("write %1 signed with %2").arg(output, plan.certificate);
    if (options.dryRun) {
        for (const QString& line : planLines)
            printPlanLine(line);
        std::fflush(stdout);
        return kExitSuccess;
    }
    // Progress as the save shows it, on a terminal only.
    ToolRunner runner;
    TerminalProgress display;
    if (TerminalProgress::standardErrorIsTerminal())
        runner.setObserver(&display);
    for (const QString& line : planLines)
        PrintStep(line);
    Result result = Result::done();
    runner.runInBackground(QStringLiteral("Signing files"),
                           [&](const ToolRunner::PercentCallback& progress) {
                               result = RunOnePassEdit(plan, [&](int percent) {
                                   progress(percent);
                                   return !interrupted() && !runner.stopRequested();
                               });
                               return result.succeeded();
                           });
    if (result.failed())
        return interrupted() ? kExitFailed
                             : failed(QStringLiteral("cannot save \"%1\": %2")
                                          .arg(options.output, result.cause()));
    if (!log.isEmpty()) {
        const Result written = WriteChangeLogFile(log, logLines,
                                                  options.logFormat == CliLogFormat::Utf8
                                                      ? ChangeLogFormat::Utf8
                                                      : ChangeLogFormat::Cp936Crlf);
        if (written.failed())
            return failed(QStringLiteral("cannot write the change log \"%1\": %2")
                              .arg(options.logFile, written.cause().isEmpty()
                                                        ? written.notice().text
                                                        : written.cause()));
    }
    PrintSummary(summary, options.output, QFileInfo(output).size());
    return kExitSuccess;
}
