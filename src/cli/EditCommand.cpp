#include "cli/EditCommand.h"

#include "cli/CliCommands.h"
#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/CliWorkspace.h"

#include "core/PackageLayout.h"
#include "core/WorkspacePaths.h"
#include "core/io/ToolRunner.h"
#include "core/package/BuildProp.h"
#include "core/package/ChangeLog.h"
#include "core/package/OnePassEdit.h"
#include "core/zip/ArchiveEditor.h"
#include "core/zip/WholeFileSignature.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdio>

namespace {

// Where the pages list APKs, as member folders.
const char* const kApkFolders[] = {"system/app/", "system/priv-app/", "userdata/app/"};

// The major Android release the package's build.prop gives (4 without one,
// as the window assumes until it has probed).
int androidMajor(const QByteArray& buildProp) {
    const std::optional<QString> release = BuildPropValue(buildProp, "ro.build.version.release");
    bool ok = false;
    const int major = release ? release->section(QLatin1Char('.'), 0, 0).toInt(&ok) : 0;
    return ok && major > 0 ? major : 4;
}

QString fileNamePart(const QString& member) {
    return member.mid(member.lastIndexOf(QLatin1Char('/')) + 1);
}

// The APK members the pages list: directly in an APK folder, or (Android 5
// and later) in a folder of their own there.
QStringList listedApks(const QList<ArchiveMember>& members, int major) {
    QStringList apks;
    for (const ArchiveMember& member : members) {
        if (member.isDirectory || !member.name.endsWith(QLatin1String(".apk"), Qt::CaseInsensitive))
            continue;
        for (const char* folder : kApkFolders) {
            if (!member.name.startsWith(QLatin1String(folder)))
                continue;
            const qsizetype depth =
                member.name.mid(qsizetype(qstrlen(folder))).count(QLatin1Char('/'));
            if (depth == 0 || (major >= 5 && depth == 1))
                apks << member.name;
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
    const bool ownFolder = major >= 5 && !baseName.isEmpty() &&
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

} // namespace

bool EditsInOnePass(const CliOptions& options) {
    for (const CliEdit& edit : options.edits) {
        if (edit.kind == CliEdit::Kind::AddSystem || edit.kind == CliEdit::Kind::AddPriv ||
            edit.kind == CliEdit::Kind::AddData)
            return false;
    }
    return true;
}

int RunOnePassEditCommand(const CliOptions& options, const QString& bundleDirectory,
                          const QString& package, const QString& output, const QString& log,
                          const std::function<bool()>& interrupted) {
    // What killed runs with a workspace left goes, as in every run.
    PrivateWorkspace::removeAbandoned();
    QList<ArchiveMember> members;
    QByteArray buildProp;
    QString cause;
    if (!ReadArchiveMembers(package, &members, &cause) ||
        !ReadPackageBuildProp(package, &buildProp, &cause))
        return failed(QStringLiteral("cannot open \"%1\": %2").arg(options.package, cause));
    bool hasBuildProp = false;
    for (const ArchiveMember& member : members)
        hasBuildProp =
            hasBuildProp || (member.name == QLatin1String(kBuildPropMember) && !member.isDirectory);
    const int major = androidMajor(buildProp);
    const QStringList apks = listedApks(members, major);

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
    QStringList planLines;
    QStringList logLines;
    const QDateTime now = QDateTime::currentDateTime();
    for (const CliEdit& edit : options.edits) {
        switch (edit.kind) {
        case CliEdit::Kind::Delete: {
            ArchiveChange change;
            QString member;
            if (!deleteChange(apks, major, edit.argument, &change, &member, &cause))
                return failed(QStringLiteral("--delete %1: %2").arg(edit.argument, cause));
            plan.changes.append(change);
            planLines << QStringLiteral("delete %1").arg(change.member);
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
            plan.changes.append({ArchiveChangeKind::Put, member, source});
            planLines << QStringLiteral("replace %1 with %2").arg(member, source);
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
            break;
        }
        case CliEdit::Kind::AddSystem:
        case CliEdit::Kind::AddPriv:
        case CliEdit::Kind::AddData:
            if (!QFileInfo(edit.argument).isFile())
                return failed(QStringLiteral("\"%1\" is not a file").arg(edit.argument));
            planLines << QStringLiteral("add %1 to %2")
                             .arg(QFileInfo(edit.argument).absoluteFilePath(),
                                  edit.kind == CliEdit::Kind::AddSystem
                                      ? QStringLiteral("system/app")
                                  : edit.kind == CliEdit::Kind::AddPriv
                                      ? QStringLiteral("system/priv-app")
                                      : QStringLiteral("userdata/app"));
            break;
        }
    }
    // What the edit changes, for the summary line (the plan less its last step).
    const QStringList changes = planLines;
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
    PrintSummary(changes, options.output, QFileInfo(output).size());
    return kExitSuccess;
}
