#include "cli/CliCommands.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Marks the run interrupted and wakes the event loop, which stops the
// running tool; the workspace is then removed on the normal way out. A second
// signal has its default effect.
void onSignal(int) {
    RequestCliInterrupt();
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_signalPipe[1], &byte, 1);
}

bool installSignalHandlers() {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-cli"));

    QSocketNotifier* notifier = nullptr;
    if (installSignalHandlers()) {
        notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char buffer[16];
            while (::read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
            }
            StopCliTools();
        });
    }

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // The bundle is the directory of the executable: Config/ lies there.
    return RunCli(arguments, QCoreApplication::applicationDirPath());
}
