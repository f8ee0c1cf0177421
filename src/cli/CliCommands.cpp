#include "cli/CliCommands.h"

#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/CliWorkspace.h"
#include "cli/DiffCommand.h"
#include "cli/EditCommand.h"
#include "cli/InfoCommand.h"

#include "core/AppState.h"
#include "core/Operation.h"
#include "core/PackageLayout.h"
#include "core/io/FileHelpers.h"
#include "core/io/ToolRunner.h"
#include "core/package/AndroidVersionProbe.h"
#include "core/package/ApkOperations.h"
#include "core/package/BuildProp.h"
#include "core/package/ChangeLog.h"
#include "core/package/LibraryPlacement.h"
#include "core/package/OpenPackage.h"
#include "core/package/PackageContents.h"
#include "core/package/PackageInsight.h"
#include "core/package/ReplaceImage.h"
#include "core/package/SavePackage.h"
#include "core/zip/ApkSigner.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cstdio>
#include <optional>

namespace {

std::atomic<bool> g_interrupted{false};
// The runner of the run in progress, stopped on an interrupt.
ToolRunner* g_runner = nullptr;

void printStandardOutput(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

// The cause in one line and where to find the usage (not the usage itself);
// a caller that asked for JSON reads the error as JSON on stdout too.
int usageError(CliCommand, const QString& cause, bool json = false) {
    PrintCommandFailure(json, cause);
    const QByteArray hint = "Try 'corvane-cli --help'.\n";
    std::fwrite(hint.constData(), 1, static_cast<size_t>(hint.size()), stderr);
    std::fflush(stderr);
    return kExitUsage;
}

// A failed step of the command line, with its cause.
Result failure(const QString& cause) {
    return Result::failed({}, cause);
}

// The cause of a failed result, said in the context of the step ("cannot
// save ..."): the window's text stands in only when no cause came with it.
Result inContext(const QString& context, const Result& result) {
    if (!result.failed())
        return result;
    const QString cause = result.cause().isEmpty() ? result.notice().text : result.cause();
    return Result::failed(result.notice(), QStringLiteral("%1: %2").arg(context, cause));
}

// One run's workspace, state, reporter and tool runner.
class Session {
public:
    Session() {
        if (TerminalProgress::standardErrorIsTerminal())
            m_runner.setObserver(&m_progress);
        g_runner = &m_runner;
    }
    ~Session() { g_runner = nullptr; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Makes the workspace and opens the package in it.
    Result start(const QString& bundleDirectory, const QString& package) {
        if (const Result created = m_workspace.create(bundleDirectory); created.failed())
            return created;
        m_state.setAppDirectory(m_workspace.path());
        const OpenResult opened = OpenPackage(op(), package);
        return present(inContext(QStringLiteral("cannot open \"%1\"").arg(package), opened.result));
    }
    // Shows what a result that did not fail has to say (a warning); a
    // failure is the caller's to print.
    Result present(const Result& result) {
        if (!result.failed())
            m_reporter.notify(result.notice());
        return result;
    }
    // Removes the workspace; a failure is told but changes no outcome.
    void finish() {
        const QString path = m_workspace.path();
        if (!path.isEmpty() && !m_workspace.remove())
            PrintWarning(QStringLiteral("cannot remove the workspace \"%1\"").arg(path));
    }
    Operation op() { return {m_state, m_reporter, m_runner}; }
    AppState& state() { return m_state; }
    CliReporter& reporter() { return m_reporter; }

private:
    PrivateWorkspace m_workspace;
    AppState m_state;
    CliReporter m_reporter;
    TerminalProgress m_progress;
    ToolRunner m_runner;
};

// How a command ended: done, or failed with the one line to print.
int exitOf(const Result& result) {
    if (result.succeeded())
        return kExitSuccess;
    // An interrupted run says so once, at the end.
    if (!g_interrupted)
        PrintError(!result.cause().isEmpty()         ? result.cause()
                   : !result.notice().text.isEmpty() ? result.notice().text
                                                     : QStringLiteral("not done"));
    return kExitFailed;
}

// Deletes the one listed APK the name picks; the core logs it.
Result deleteListedApk(const Operation& op, const QString& name) {
    const ApkMatch match = FindListedApk(op.state, name);
    if (match.result.failed())
        return match.result;
    return DeleteApks(op, match.partition, {match.treePath}).result;
}

// The device's ABIs for an add: --abi, else those of the workspace's
// build.prop as it is now (a --set-prop before the add counts). Empty when
// none is known: the add then flattens the libraries as the window does.
QStringList deviceAbis(const AppState& state, const CliOptions& options) {
    if (!options.abis.isEmpty())
        return options.abis;
    QFile file(state.paths().extractedTree() + QLatin1Char('/') + QLatin1String(kBuildPropMember));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return DeviceAbisOfBuildProp(ParseBuildProp(file.readAll()));
}

Result applyEdit(Session& session, const CliEdit& edit, const CliOptions& options) {
    const Operation op = session.op();
    switch (edit.kind) {
    case CliEdit::Kind::AddSystem:
    case CliEdit::Kind::AddPriv:
    case CliEdit::Kind::AddData: {
        const Partition partition =
            edit.kind == CliEdit::Kind::AddData ? Partition::Data : Partition::System;
        AddApkOptions addOptions;
        if (edit.kind == CliEdit::Kind::AddPriv)
            addOptions.appFolder = QStringLiteral("priv-app");
        const QStringList abis = deviceAbis(op.state, options);
        if (partition == Partition::System && !abis.isEmpty())
            addOptions.deviceAbis = abis;
        QStringList leftOut;
        addOptions.leftOutAbis = &leftOut;
        if (!options.platformCertificate.isEmpty()) {
            addOptions.platformCertificate =
                QFileInfo(options.platformCertificate).absoluteFilePath();
            addOptions.platformKey = QFileInfo(options.platformKey).absoluteFilePath();
        }
        const Result added =
            AddApk(op, partition, QFileInfo(edit.argument).absoluteFilePath(), addOptions);
        // The answer No to one of its questions leaves the APK out: the
        // edit asked for was not made.
        if (added.outcome() == Result::Outcome::Declined)
            return failure(QStringLiteral("not added (a question was answered no)"));
        if (added.succeeded() && !leftOut.isEmpty())
            PrintWarning(QStringLiteral("%1: native libraries for %2 left out (the device's ABIs: "
                                        "%3)")
                             .arg(QFileInfo(edit.argument).fileName(),
                                  leftOut.join(QLatin1Char(',')), abis.join(QLatin1Char(','))));
        return added;
    }
    case CliEdit::Kind::Delete:
        return deleteListedApk(op, edit.argument);
    case CliEdit::Kind::Replace: {
        const ImageSlot* slot = FindImageSlot(edit.slot);
        if (!slot)
            return failure(QStringLiteral("unknown image slot \"%1\"").arg(edit.slot));
        return ReplaceImage(op, *slot, QFileInfo(edit.argument).absoluteFilePath());
    }
    case CliEdit::Kind::SetProp:
    case CliEdit::Kind::UnsetProp: {
        // Edited in the tree; the save puts it back.
        const QString prop =
            op.state.paths().extractedTree() + QLatin1Char('/') + QLatin1String(kBuildPropMember);
        QFile file(prop);
        if (!file.open(QIODevice::ReadOnly))
            return failure(QStringLiteral("the package has no %1 to edit")
                               .arg(QLatin1String(kBuildPropMember)));
        const QByteArray edited = ApplyBuildPropEdits(
            file.readAll(),
            {{edit.slot, edit.kind == CliEdit::Kind::SetProp ? std::optional<QString>(edit.argument)
                                                             : std::nullopt}});
        file.close();
        FileHelpers::TemporaryFile replacement(prop);
        QString cause;
        if (!replacement.open(&cause) || !replacement.write(edited, &cause) ||
            !replacement.commit(&cause))
            return failure(cause);
        return Result::done();
    }
    }
    return failure(QStringLiteral("unknown edit"));
}

QString describeEdit(const CliEdit& edit) {
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
    return {};
}

// The run's change-log lines with the places in the private workspace's tree
// written as paths of the package ("system/app"): the workspace is gone after
// the run, and the log reads the same for every run of a customisation.
QStringList packageRelativeLog(const AppState& state) {
    const QString treePrefix = QLatin1Char('"') + state.paths().extractedTree() + QLatin1Char('/');
    QStringList lines = state.changeLog();
    for (QString& line : lines)
        line.replace(treePrefix, QStringLiteral("\""));
    return lines;
}

// The files of an edit, as absolute paths (the log empty when none is asked).
struct EditFiles {
    QString package;
    QString output;
    QString log;
};

// The checks that need no package: a usage error or a failure before any
// work, or a null status when the run can go on.
std::optional<int> checkEditFiles(const EditFiles& files, const CliOptions& options) {
    if (FileHelpers::IsSameFile(files.package, files.output))
        return usageError(CliCommand::Edit, QStringLiteral("the output is the input package"));
    if (QFileInfo(files.output).isDir())
        return usageError(CliCommand::Edit,
                          QStringLiteral("the output \"%1\" is a directory").arg(options.output));
    if (!files.log.isEmpty() && (FileHelpers::IsSameFile(files.log, files.package) ||
                                 FileHelpers::IsSameFile(files.log, files.output)))
        return usageError(CliCommand::Edit,
                          QStringLiteral("the log cannot be the package or the output"));
    // Missing directories are found before the work, not after it.
    for (const QString& file : {files.output, files.log}) {
        if (!file.isEmpty() && !QFileInfo(QFileInfo(file).absolutePath()).isDir()) {
            PrintError(QStringLiteral("the directory of \"%1\" does not exist").arg(file));
            return kExitFailed;
        }
    }
    // A folder the log cannot be written in fails the run while the output
    // is still as it was: a file of the writer's kind is made there and
    // removed again.
    if (!files.log.isEmpty()) {
        // A folder (or a link to one) under the log's name would refuse the
        // rename at the end, after the output was replaced.
        if (FileHelpers::PathExists(files.log) && !QFileInfo(files.log).isFile()) {
            PrintError(QStringLiteral("cannot write the change log \"%1\": it is not a file")
                           .arg(options.logFile));
            return kExitFailed;
        }
        FileHelpers::RemoveAbandonedTemporaries(files.log);
        FileHelpers::TemporaryFile trial(files.log);
        QString cause;
        if (!trial.open(&cause)) {
            PrintError(QStringLiteral("cannot write the change log \"%1\": %2")
                           .arg(options.logFile, cause));
            return kExitFailed;
        }
    }
    return std::nullopt;
}

// The edits in order, then the save and the log; the first failure ends it.
Result editAndSave(Session& session, const EditFiles& files, const CliOptions& options) {
    for (const CliEdit& edit : options.edits) {
        if (g_interrupted)
            return failure(QStringLiteral("stopped before %1").arg(describeEdit(edit)));
        PrintStep(describeEdit(edit));
        const Result edited = session.present(applyEdit(session, edit, options));
        if (edited.failed())
            return inContext(describeEdit(edit), edited);
    }
    if (g_interrupted)
        return failure(QStringLiteral("stopped before the save"));
    const Result put = session.present(PutBackConfigFiles(session.op()));
    if (put.failed())
        return inContext(QStringLiteral("cannot put the configuration files back"), put);
    PrintStep(QStringLiteral("saving %1").arg(options.output));
    const Result saved = session.present(SignPackageTo(session.op(), files.output));
    if (saved.failed())
        return inContext(QStringLiteral("cannot save \"%1\"").arg(options.output), saved);
    if (files.log.isEmpty())
        return Result::done();
    QStringList lines = packageRelativeLog(session.state());
    return inContext(QStringLiteral("cannot write the change log \"%1\"").arg(options.logFile),
                     WriteChangeLogFile(files.log, lines,
                                        options.logFormat == CliLogFormat::Utf8
                                            ? ChangeLogFormat::Utf8
                                            : ChangeLogFormat::Cp936Crlf));
}

int runEdit(const CliOptions& options, const QString& bundleDirectory) {
    EditFiles files;
    files.package = QFileInfo(options.package).absoluteFilePath();
    files.output = QFileInfo(options.output).absoluteFilePath();
    if (!options.logFile.isEmpty())
        files.log = QFileInfo(options.logFile).absoluteFilePath();
    if (const std::optional<int> refused = checkEditFiles(files, options))
        return *refused;
    if (!options.packageKey.isEmpty() && !EditsInOnePass(options) && !options.dryRun)
        return usageError(CliCommand::Edit,
                          QStringLiteral("--package-key cannot be given with an APK to add yet"));
    // A platform pair that cannot sign fails before the package is opened.
    if (!options.platformCertificate.isEmpty()) {
        ApkSigningKey key;
        QString cause;
        if (!key.load(options.platformCertificate, options.platformKey, &cause)) {
            PrintError(QStringLiteral("--platform-key: %1").arg(cause));
            return kExitFailed;
        }
    }
    if (options.dryRun || EditsInOnePass(options))
        return RunOnePassEditCommand(options, bundleDirectory, files.package, files.output,
                                     files.log, [] { return g_interrupted.load(); });

    Session session;
    session.reporter().setOverwriteLibraries(options.overwriteLibraries);
    PrintStep(QStringLiteral("opening %1").arg(options.package));
    Result result = session.start(bundleDirectory, files.package);
    if (!result.failed())
        result = editAndSave(session, files, options);
    session.finish();
    if (result.succeeded()) {
        QStringList changes;
        for (const CliEdit& edit : options.edits)
            changes << describeEdit(edit);
        PrintSummary(changes, options.output, QFileInfo(files.output).size());
    }
    return exitOf(result);
}

} // namespace

void RequestCliInterrupt() {
    g_interrupted = true;
}

void StopCliTools() {
    if (g_runner && g_runner->isRunning())
        g_runner->requestStop();
}

int RunCli(const QStringList& arguments, const QString& bundleDirectory) {
    QStringList expanded;
    QString cause;
    if (!ExpandArgumentFiles(arguments, &expanded, &cause))
        return usageError(CliCommand::None, cause);
    CliOptions options;
    if (!ParseCliArguments(expanded, &options, &cause))
        return usageError(
            options.command, cause,
            (options.command == CliCommand::Info || options.command == CliCommand::Diff) &&
                expanded.contains(QStringLiteral("--json")));
    SetCliVerbosity(options.verbosity);
    if (options.version) {
        printStandardOutput(QStringLiteral("corvane-cli " CORVANE_VERSION "\n"));
        return kExitSuccess;
    }
    if (options.help) {
        printStandardOutput(CliUsage(options.command));
        return kExitSuccess;
    }
    int status = kExitFailed;
    switch (options.command) {
    case CliCommand::Info:
        status = RunInfoCommand(options, bundleDirectory);
        break;
    case CliCommand::Diff:
        return RunDiffCommand(options, bundleDirectory);
    case CliCommand::Edit:
        status = runEdit(options, bundleDirectory);
        break;
    case CliCommand::None:
        return usageError(CliCommand::None, QStringLiteral("no command given"));
    }
    // A run cut short by a signal ends as the shell expects of one.
    if (g_interrupted && status != kExitSuccess) {
        PrintError(QStringLiteral("interrupted"));
        return kExitInterrupted;
    }
    return status;
}
