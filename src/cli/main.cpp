#include "cli/CliCommands.h"

#include <QCoreApplication>

#include <csignal>

namespace {

// Marks the run interrupted: the edit stops at its next block, removes its
// temporaries and ends with 130. A second signal has its default effect.
void onSignal(int) {
    RequestCliInterrupt();
}

void installSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-cli"));
    installSignalHandlers();

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // The bundle is the directory of the executable: Config/ lies there.
    return RunCli(arguments, QCoreApplication::applicationDirPath());
}
