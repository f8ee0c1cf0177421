#include "cli/EditCommand.h"

#include "cli/CliCommands.h"
#include "cli/CliReporter.h"
#include "cli/CliWorkspace.h"
#include "cli/InfoCommand.h"

#include "core/base/FileHelpers.h"
#include "core/base/PrintableText.h"
#include "core/base/ToolRunner.h"
#include "core/base/WorkspacePaths.h"
#include "core/package/EditPlan.h"
#include "core/package/OnePassEdit.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/ChangeLog.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <optional>

namespace {

// The slot names in lines of at most `width` characters after the indent.
QString wrappedSlotNames(const QString& indent, qsizetype width) {
    QString text;
    QString line = indent;
    for (const ImageSlot& slot : kImageSlots) {
        const QString name = QLatin1String(slot.name);
        if (line.size() > indent.size() && line.size() + 1 + name.size() > width) {
            text += line + QLatin1Char('\n');
            line = indent;
        }
        if (line.size() > indent.size())
            line += QLatin1Char(' ');
        line += name;
    }
    return text + line + QLatin1Char('\n');
}

void printPlanLine(const QString& line) {
    const QByteArray bytes = (EscapeUnprintable(line) + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// A failure: one line on standard error, under --json also the error object
// on standard output.
bool g_json = false;

int failed(const QString& cause) {
    PrintCommandFailure(g_json, cause);
    return kExitFailed;
}

// The cause in one line and where to find the usage.
int usageError(const QString& cause) {
    PrintCommandFailure(g_json, cause);
    const QByteArray hint = "Try 'corvane-cli --help'.\n";
    std::fwrite(hint.constData(), 1, static_cast<size_t>(hint.size()), stderr);
    std::fflush(stderr);
    return kExitUsage;
}

// The files of an edit, as absolute paths (the log empty when none is asked).
struct EditFiles {
    QString package;
    QString output;
    QString log;
    QStringList reads; // the APKs, images and keys the edit reads
};

// The checks that need no package: a usage error or a failure before any
// work, or a null status when the run can go on.
std::optional<int> checkEditFiles(const EditFiles& files, const CliOptions& options) {
    if (FileHelpers::IsSameFile(files.package, files.output))
        return usageError(QStringLiteral("the output is the input package"));
    if (QFileInfo(files.output).isDir())
        return usageError(QStringLiteral("the output \"%1\" is a directory").arg(options.output));
    const QString logClash =
        LogOverwritesEditFile(files.log, files.package, files.output, files.reads);
    if (!logClash.isEmpty())
        return usageError(logClash);
    // Missing directories are found before the work, not after it.
    for (const QString& file : {files.output, files.log}) {
        if (!file.isEmpty() && !QFileInfo(QFileInfo(file).absolutePath()).isDir())
            return failed(QStringLiteral("the directory of \"%1\" does not exist").arg(file));
    }
    // So is a folder the output cannot be written in (a read-only or
    // another user's folder): its cause, not that of the first temporary
    // the copy would make there.
    {
        FileHelpers::TemporaryFile trial(files.output);
        QString cause;
        if (!trial.open(&cause))
            return failed(QStringLiteral("cannot write \"%1\": the folder \"%2\" cannot be "
                                         "written: %3")
                              .arg(options.output, QFileInfo(files.output).absolutePath(), cause));
    }
    // A folder the log cannot be written in fails the run while the output
    // is still as it was: a file of the writer's kind is made there and
    // removed again.
    if (!files.log.isEmpty()) {
        // A folder (or a link to one) under the log's name would refuse the
        // rename at the end, after the output was replaced.
        if (FileHelpers::PathExists(files.log) && !QFileInfo(files.log).isFile())
            return failed(QStringLiteral("cannot write the change log \"%1\": it is not a file")
                              .arg(options.logFile));
        FileHelpers::RemoveAbandonedTemporaries(files.log);
        FileHelpers::TemporaryFile trial(files.log);
        QString cause;
        if (!trial.open(&cause))
            return failed(QStringLiteral("cannot write the change log \"%1\": %2")
                              .arg(options.logFile, cause));
    }
    return std::nullopt;
}

PackageEdit::Kind editKind(CliEdit::Kind kind) {
    switch (kind) {
    case CliEdit::Kind::AddSystem:
        return PackageEdit::Kind::AddSystem;
    case CliEdit::Kind::AddPriv:
        return PackageEdit::Kind::AddPriv;
    case CliEdit::Kind::AddData:
        return PackageEdit::Kind::AddData;
    case CliEdit::Kind::Delete:
        return PackageEdit::Kind::Delete;
    case CliEdit::Kind::Replace:
        return PackageEdit::Kind::Replace;
    case CliEdit::Kind::SetProp:
        return PackageEdit::Kind::SetProp;
    case CliEdit::Kind::UnsetProp:
        return PackageEdit::Kind::UnsetProp;
    }
    return PackageEdit::Kind::Delete;
}

// How a failure names the edit: its option as given.
QString editLabel(const CliEdit& edit) {
    switch (edit.kind) {
    case CliEdit::Kind::AddSystem:
        return QStringLiteral("--add-system %1").arg(edit.argument);
    case CliEdit::Kind::AddPriv:
        return QStringLiteral("--add-priv %1").arg(edit.argument);
    case CliEdit::Kind::AddData:
        return QStringLiteral("--add-data %1").arg(edit.argument);
    case CliEdit::Kind::Delete:
        return QStringLiteral("--delete %1").arg(edit.argument);
    case CliEdit::Kind::Replace:
        return QStringLiteral("--replace %1=%2").arg(edit.slot, edit.argument);
    case CliEdit::Kind::SetProp:
        return QStringLiteral("--set-prop %1=%2").arg(edit.slot, edit.argument);
    case CliEdit::Kind::UnsetProp:
        return QStringLiteral("--unset-prop %1").arg(edit.slot);
    }
    return QString();
}

QStringList changeLogLines(const QList<EditStep>& steps) {
    const QDateTime now = QDateTime::currentDateTime();
    QStringList lines;
    for (const EditStep& step : steps) {
        switch (step.kind) {
        case EditStep::Kind::Delete:
            lines << ChangeLogDeleteLine(now, step.member);
            break;
        case EditStep::Kind::Replace:
            lines << ChangeLogReplaceLine(now, step.member, step.source);
            break;
        case EditStep::Kind::Add:
            lines << ChangeLogAddLine(now, step.source, step.member);
            break;
        case EditStep::Kind::SetProp:
        case EditStep::Kind::UnsetProp:
            break;
        }
    }
    return lines;
}

} // namespace

QString EditCommand::usage() const {
    return QStringLiteral(
               "Usage: corvane-cli edit PACKAGE -o OUTPUT [EDIT]... [OPTION]...\n"
               "\n"
               "Opens PACKAGE, applies the edits in the order given and saves the package,\n"
               "signed with the test key, as OUTPUT. OUTPUT is written only when every edit\n"
               "succeeded and the signed package checks out; it cannot be PACKAGE.\n"
               "\n"
               "Edits (each may be given any number of times):\n"
               "  --add-system APK       add the APK to system/app, signed with the platform\n"
               "                         key; its native libraries go to system/lib and\n"
               "                         system/lib64, those of the device's ABIs only\n"
               "  --add-priv APK         the same into system/priv-app\n"
               "  --add-data APK         add the APK to userdata/app\n"
               "  --delete NAME          delete the APK of that file name from system/app,\n"
               "                         system/priv-app or userdata/app; it must match\n"
               "                         exactly one (a path such as system/app/Foo.apk\n"
               "                         picks one)\n"
               "  --replace SLOT=FILE    replace an image with FILE; SLOT is one of\n"
               "%1"
               "\n"
               "Options:\n"
               "  -o, --output OUTPUT    the package to write\n"
               "  --overwrite-libs yes|no\n"
               "                         whether an added APK's native library may replace\n"
               "                         one of the same name (default no: the add fails)\n"
               "  --abi LIST             the device's ABIs, comma-separated, most preferred\n"
               "                         first (default: ro.product.cpu.abilist, else\n"
               "                         ro.product.cpu.abi and abi2, of system/build.prop);\n"
               "                         for each of 32 and 64 bits an added APK's libraries\n"
               "                         of the first of them it has are placed, the others\n"
               "                         are left out with a warning (with no ABI known, all\n"
               "                         go to system/lib)\n"
               "  --set-prop KEY=VALUE   set KEY in system/build.prop (its line edited in\n"
               "                         place, or added at the end)\n"
               "  --unset-prop KEY       remove KEY's lines from system/build.prop\n"
               "  --package-key CERT KEY sign the package with this certificate (PEM or\n"
               "                         DER) and unencrypted PKCS#8 key (PEM or DER)\n"
               "                         instead of the bundle's test key\n"
               "  --platform-key CERT KEY\n"
               "                         sign the added system APKs with this pair (the\n"
               "                         same formats) instead of the platform key\n"
               "  --brotli-quality N     the brotli quality, 0 to 11, of a system or\n"
               "                         vendor image carried as NAME.new.dat.br when it\n"
               "                         is written again (default %2)\n"
               "  --no-erase             write the free blocks of a system or vendor image\n"
               "                         carried with a transfer list as zero instead of\n"
               "                         erase, for devices whose discard fails\n"
               "  --dry-run              check the arguments and the package, print what\n"
               "                         would be done, write nothing\n"
               "  --log FILE             write the change log (as log.txt: CP936, CRLF)\n"
               "                         once OUTPUT is written\n"
               "  --log-format cp936|utf8\n"
               "                         utf8: the log in UTF-8 with LF line ends and\n"
               "                         ISO 8601 times (default cp936)\n"
               "  --json                 print the result (the output, its size and SHA-256,\n"
               "                         what changed) as one JSON object (\"schema\": 1);\n"
               "                         with --dry-run the plan; an error as\n"
               "                         {\"schema\": 1, \"error\": ...}\n"
               "  -q, --quiet            no warnings and no summary\n"
               "  -v, --verbose          the steps on standard error\n"
               "  -h, --help             show this help\n"
               "\n"
               "An APK of the same name as an added one is replaced; a file without the\n"
               ".apk extension is not added.\n")
        .arg(wrappedSlotNames(QStringLiteral("                         "), 80))
        .arg(kDefaultBrotliQuality);
}

int EditCommand::run(const CliOptions& options, const CommandContext& context) const {
    g_json = options.json;
    EditFiles files;
    files.package = QFileInfo(options.package).absoluteFilePath();
    files.output = QFileInfo(options.output).absoluteFilePath();
    if (!options.logFile.isEmpty())
        files.log = QFileInfo(options.logFile).absoluteFilePath();
    const WorkspacePaths paths(context.bundleDirectory);
    for (const CliEdit& edit : options.edits) {
        if (edit.kind == CliEdit::Kind::AddSystem || edit.kind == CliEdit::Kind::AddData ||
            edit.kind == CliEdit::Kind::AddPriv || edit.kind == CliEdit::Kind::Replace)
            files.reads << edit.argument;
    }
    files.reads << options.packageCertificate << options.packageKey << options.platformCertificate
                << options.platformKey;
    for (const char* key : {"testkey.x509.pem", "testkey.pk8", "platform.x509.pem", "platform.pk8"})
        files.reads << paths.keyFile(QLatin1String(key));
    // The argument files too: a log over one would lose the user's arguments.
    files.reads << options.argumentFiles;
    if (const std::optional<int> refused = checkEditFiles(files, options))
        return *refused;
    RemoveAbandonedCliWorkspaces();

    EditRequest request;
    request.package = files.package;
    request.output = files.output;
    request.packageName = options.package;
    request.outputName = options.output;
    request.certificate = options.packageCertificate.isEmpty()
                              ? paths.keyFile(QStringLiteral("testkey.x509.pem"))
                              : QFileInfo(options.packageCertificate).absoluteFilePath();
    request.privateKey = options.packageKey.isEmpty()
                             ? paths.keyFile(QStringLiteral("testkey.pk8"))
                             : QFileInfo(options.packageKey).absoluteFilePath();
    request.abis = options.abis;
    request.brotliQuality = options.brotliQuality;
    request.noErase = options.noErase;
    request.fallbackPlatformCertificate = paths.keyFile(QStringLiteral("platform.x509.pem"));
    request.fallbackPlatformKey = paths.keyFile(QStringLiteral("platform.pk8"));
    for (const CliEdit& edit : options.edits)
        request.edits.append({editKind(edit.kind), edit.argument, edit.slot, editLabel(edit)});
    // A customer's platform pair that cannot sign fails before the package
    // is read; the bundle's is loaded only for a system APK.
    QString cause;
    for (const QString& file : {options.platformCertificate, options.platformKey}) {
        if (!file.isEmpty() && !FileHelpers::IsRegularOrMissing(file))
            return failed(QStringLiteral("--platform-key: \"%1\" is not a regular file").arg(file));
    }
    if (!options.platformCertificate.isEmpty() &&
        !request.platformKey.load(QFileInfo(options.platformCertificate).absoluteFilePath(),
                                  QFileInfo(options.platformKey).absoluteFilePath(), &cause))
        return failed(QStringLiteral("--platform-key: %1").arg(cause));

    CliReporter reporter;
    reporter.setOverwriteLibraries(options.overwriteLibraries);
    EditPlan plan;
    const Result planned = MakeEditPlan(request, reporter, &plan);
    for (const QString& warning : plan.warnings)
        PrintWarning(warning);
    if (!planned.succeeded())
        return failed(planned.notice().text);
    if (options.dryRun) {
        if (options.json) {
            QJsonObject object;
            object.insert(QStringLiteral("schema"), kCliJsonSchema);
            object.insert(QStringLiteral("dryRun"), true);
            object.insert(QStringLiteral("plan"), QJsonArray::fromStringList(plan.lines));
            object.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(plan.warnings));
            PrintStandardOutput(
                QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
            return kExitSuccess;
        }
        for (const QString& line : plan.lines)
            printPlanLine(line);
        std::fflush(stdout);
        return kExitSuccess;
    }
    // Progress as the save shows it, on a terminal only.
    ToolRunner runner;
    TerminalProgress display;
    if (TerminalProgress::standardErrorIsTerminal())
        runner.setObserver(&display);
    for (const QString& line : plan.lines)
        PrintStep(line);
    Result result = Result::done();
    runner.runInBackground(QStringLiteral("Signing files"),
                           [&](const ToolRunner::PercentCallback& progress) {
                               result = RunOnePassEdit(plan.onePass, [&](int percent) {
                                   progress(percent);
                                   return !context.interrupted() && !runner.stopRequested();
                               });
                               return result.succeeded();
                           });
    if (result.failed())
        return context.interrupted() ? kExitFailed
                                     : failed(QStringLiteral("cannot save \"%1\": %2")
                                                  .arg(options.output, result.cause()));
    if (!files.log.isEmpty()) {
        QStringList logLines = changeLogLines(plan.steps);
        const Result written = WriteChangeLogFile(files.log, logLines,
                                                  options.logFormat == CliLogFormat::Utf8
                                                      ? ChangeLogFormat::Utf8
                                                      : ChangeLogFormat::Cp936Crlf);
        if (written.failed())
            return failed(QStringLiteral("cannot write the change log \"%1\": %2")
                              .arg(options.logFile, written.cause().isEmpty()
                                                        ? written.notice().text
                                                        : written.cause()));
    }
    PrintSummary(plan.summary, options.output, QFileInfo(files.output).size());
    if (options.json) {
        // The result as one object: the output, its size and digest, what changed.
        QJsonObject object;
        object.insert(QStringLiteral("schema"), kCliJsonSchema);
        object.insert(QStringLiteral("output"), files.output);
        object.insert(QStringLiteral("size"), QFileInfo(files.output).size());
        QFile written(files.output);
        QCryptographicHash sha256(QCryptographicHash::Sha256);
        if (written.open(QIODevice::ReadOnly) && sha256.addData(&written))
            object.insert(QStringLiteral("sha256"), QString::fromLatin1(sha256.result().toHex()));
        else
            object.insert(QStringLiteral("sha256"), QJsonValue());
        object.insert(QStringLiteral("changes"), QJsonArray::fromStringList(plan.summary));
        object.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(plan.warnings));
        PrintStandardOutput(
            QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented)));
    }
    return kExitSuccess;
}
