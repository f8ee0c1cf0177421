#include "cli/CliCommands.h"

#include "cli/CliOptions.h"
#include "cli/CliReporter.h"
#include "cli/Command.h"
#include "cli/InfoCommand.h"

#include <atomic>
#include <cstdio>

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

} // namespace

void RequestCliInterrupt() {
    g_interrupted = true;
}

int RunCli(const QStringList& arguments, const QString& bundleDirectory) {
    QStringList expanded;
    QStringList argumentFiles;
    QString cause;
    if (!ExpandArgumentFiles(arguments, &expanded, &cause, &argumentFiles))
        return usageError(CliCommand::None, cause);
    CliOptions options;
    if (!ParseCliArguments(expanded, &options, &cause))
        return usageError(options.command, cause,
                          options.command != CliCommand::None &&
                              expanded.contains(QStringLiteral("--json")));
    options.argumentFiles = argumentFiles;
    SetCliVerbosity(options.verbosity);
    if (options.version) {
        printStandardOutput(QStringLiteral("corvane-cli " CORVANE_VERSION "\n"));
        return kExitSuccess;
    }
    if (options.help) {
        printStandardOutput(CliUsage(options.command));
        return kExitSuccess;
    }
    const Command* command = FindCommand(options.command);
    if (!command)
        return usageError(CliCommand::None, QStringLiteral("no command given"));
    const int status =
        command->run(options, {bundleDirectory, [] { return g_interrupted.load(); }});
    // diff's statuses are its own: 1 says the packages differ.
    if (options.command == CliCommand::Diff)
        return status;
    // A run cut short by a signal ends as the shell expects of one.
    if (g_interrupted && status != kExitSuccess) {
        PrintError(QStringLiteral("interrupted"));
        return kExitInterrupted;
    }
    return status;
}
