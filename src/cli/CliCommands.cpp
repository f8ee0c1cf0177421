#include "cli/CliCommands.h"

#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/DiffCommand.h"
#include "cli/EditCommand.h"
#include "cli/InfoCommand.h"

#include "core/base/FileHelpers.h"

#include <QFileInfo>

#include <atomic>
#include <cstdio>
#include <optional>

namespace {

std::atomic<bool> g_interrupted{false};

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

int runEdit(const CliOptions& options, const QString& bundleDirectory) {
    EditFiles files;
    files.package = QFileInfo(options.package).absoluteFilePath();
    files.output = QFileInfo(options.output).absoluteFilePath();
    if (!options.logFile.isEmpty())
        files.log = QFileInfo(options.logFile).absoluteFilePath();
    if (const std::optional<int> refused = checkEditFiles(files, options))
        return *refused;
    return RunOnePassEditCommand(options, bundleDirectory, files.package, files.output, files.log,
                                 [] { return g_interrupted.load(); });
}

} // namespace

void RequestCliInterrupt() {
    g_interrupted = true;
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
