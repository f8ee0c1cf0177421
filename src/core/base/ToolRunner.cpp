#include "core/base/ToolRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// What a run tells the keeper: a program's child, before it runs the program,
// names its process group under the run's token; the run forgets the token
// once the group is dead.
struct KeeperMessage {
    std::int32_t token = 0;
    std::int32_t group = 0; // 0: forget the token's group
};

// The keeper: a fork of this program that waits on its end of a socket. The
// end comes when this program's end is closed, that is when it exits or is
// killed; the keeper then kills the groups it was told of and exits. Only
// async-signal-safe calls: it is the fork of a program with threads.
[[noreturn]] void runKeeper(int socket) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // A Ctrl-C or hang-up meant for this program is not for the keeper: it
    // ends with this program, not before it.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU})
        ::sigaction(signal, &ignore, nullptr);
    ::prctl(PR_SET_NAME, "corvane-keeper", 0, 0, 0);
    // Holds nothing of this program's: no descriptor (locks, pipes of other
    // children), no working directory (a mount it would keep busy).
    if (socket != STDIN_FILENO)
        ::dup2(socket, STDIN_FILENO);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
    }
    if (::close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < 4096; ++fd)
            ::close(fd);
    }
    [[maybe_unused]] const int changed = ::chdir("/");

    constexpr int kCapacity = 256; // runs at once; one per runner in practice
    KeeperMessage kept[kCapacity];
    int count = 0;
    for (;;) {
        KeeperMessage message;
        const ssize_t got = ::recv(STDIN_FILENO, &message, sizeof message, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(sizeof message))
            break; // this program is gone (or the socket broke: act as if)
        if (message.group > 0) {
            if (count < kCapacity)
                kept[count++] = message;
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (kept[i].token == message.token) {
                kept[i] = kept[--count];
                break;
            }
        }
    }
    for (int i = 0; i < count; ++i)
        ::kill(-kept[i].group, SIGKILL);
    ::_exit(0);
}

// This program's end of the keeper's socket, the keeper started on first
// use; -1 when it could not be (the programs then die with this one by their
// parent-death signal only, their own children not).
int keeperSocket() {
    static const int socket = [] {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return -1;
        const pid_t pid = ::fork();
        if (pid == 0)
            runKeeper(ends[1]);
        ::close(ends[1]);
        if (pid < 0) {
            ::close(ends[0]);
            return -1;
        }
        return ends[0];
    }();
    return socket;
}

void tellKeeper(int socket, const KeeperMessage& message) {
    // Never blocks nor raises SIGPIPE: a keeper that is gone or stuck costs
    // only its guard.
    if (socket >= 0)
        ::send(socket, &message, sizeof message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::atomic<std::int32_t> g_nextToken{1};

} // namespace

QString ToolRunResult::describe(const QString& program) const {
    switch (outcome) {
    case Outcome::NotRun:
        return QStringLiteral("%1 was not run").arg(program);
    case Outcome::FailedToStart:
        return QStringLiteral("%1 could not be started: %2").arg(program, errorText);
    case Outcome::Stopped:
        return QStringLiteral("%1 was stopped").arg(program);
    case Outcome::Crashed:
        return QStringLiteral("%1 crashed: %2").arg(program, errorText);
    case Outcome::Exited:
        return exitCodeSuccess
                   ? QStringLiteral("%1 succeeded").arg(program)
                   : QStringLiteral("%1 failed with exit code %2").arg(program).arg(exitCode);
    }
    return {};
}

bool SevenZipExitCodeMeansSuccess(int exitCode) {
    return exitCode == 0 || exitCode == 1;
}

namespace {

// The process as every tool runs: no input, output only for its progress,
// errors where ours go; in a session of its own that dies with this program
// (the keeper learns its group under token).
void prepareProcess(QProcess& process, const ToolCommand& command, int keeper, std::int32_t token) {
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    process.setWorkingDirectory(command.workingDirectory.isEmpty() ? QDir::currentPath()
                                                                   : command.workingDirectory);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!command.outputFile.isEmpty()) {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(command.outputFile);
    } else {
        if (!command.reportsPercent)
            process.setStandardOutputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    const pid_t parent = ::getpid();
    // In the child, between fork and exec: only async-signal-safe calls.
    process.setChildProcessModifier([keeper, token, parent] {
        ::setsid(); // a group of its own, and no terminal to be stopped by
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127); // this program died before the signal was armed
        KeeperMessage message;
        message.token = token;
        message.group = static_cast<std::int32_t>(::getpid());
        tellKeeper(keeper, message);
    });
}

// What the ended process means: a stop, a crash, or an exit code read by the
// command's rule.
ToolRunResult interpretEnd(const QProcess& process, const ToolCommand& command, bool stopped) {
    ToolRunResult result;
    if (stopped) {
        result.outcome = ToolRunResult::Outcome::Stopped;
    } else if (process.exitStatus() == QProcess::CrashExit) {
        result.outcome = ToolRunResult::Outcome::Crashed;
        result.errorText = process.errorString();
    } else {
        result.outcome = ToolRunResult::Outcome::Exited;
        result.exitCode = process.exitCode();
        result.exitCodeSuccess = command.exitCodeMeansSuccess
                                     ? command.exitCodeMeansSuccess(result.exitCode)
                                     : result.exitCode == 0;
    }
    return result;
}

} // namespace

ToolRunResult ToolRunner::run(const ToolCommand& command) {
    QProcess process;
    const int keeper = keeperSocket();
    const std::int32_t token = g_nextToken++;
    prepareProcess(process, command, keeper, token);
    KeeperMessage forget;
    forget.token = token;
    process.start();
    if (!process.waitForStarted(-1)) {
        tellKeeper(keeper, forget);
        ToolRunResult result;
        result.outcome = ToolRunResult::Outcome::FailedToStart;
        result.errorText = process.errorString();
        return result;
    }

    m_process = &process;
    m_group = process.processId();
    m_stopRequested = false;
    waitForEnd(process, command);
    // What the program left running in its group (a child in the background)
    // would go on writing after its run: it ends here.
    ::killpg(static_cast<pid_t>(m_group), SIGKILL);
    tellKeeper(keeper, forget);
    m_process = nullptr;
    m_group = 0;
    if (m_observer)
        m_observer->toolFinished();
    const ToolRunResult result = interpretEnd(process, command, m_stopRequested);
    m_stopRequested = false;
    return result;
}

void ToolRunner::waitForEnd(QProcess& process, const ToolCommand& command) {
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer ticks;
    ticks.setInterval(kTickInterval);
    if (m_observer)
        QObject::connect(&ticks, &QTimer::timeout, &loop, [this] { m_observer->toolTick(); });
    if (command.reportsPercent) {
        static const QRegularExpression percent(QStringLiteral("(\\d{1,3})%"));
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
            const QString text = QString::fromLocal8Bit(process.readAllStandardOutput());
            int last = -1;
            for (auto it = percent.globalMatch(text); it.hasNext();)
                last = it.next().captured(1).toInt();
            if (last >= 0 && last <= 100 && m_observer)
                m_observer->toolProgress(last);
        });
    }
    if (m_observer)
        m_observer->toolStarted(command, *this);
    // The observer's start (a dialog shown, say) may already have seen the end.
    if (process.state() != QProcess::NotRunning) {
        ticks.start();
        loop.exec();
    }
    ticks.stop();
    if (process.state() != QProcess::NotRunning)
        process.waitForFinished(-1);
}

void ToolRunner::requestStop() {
    if (m_working) {
        m_stopRequested = true;
        return;
    }
    if (!m_process)
        return;
    m_stopRequested = true;
    // The whole group: the program and what it started.
    if (m_group <= 0 || ::killpg(static_cast<pid_t>(m_group), SIGKILL) != 0)
        m_process->kill();
}

bool ToolRunner::runInBackground(const QString& busyText, const std::function<bool()>& work) {
    return runInBackground(busyText, [&work](const PercentCallback&) { return work(); });
}

bool ToolRunner::runInBackground(const QString& busyText,
                                 const std::function<bool(const PercentCallback& progress)>& work,
                                 bool centre) {
    if (!m_observer)
        return work([](int) {});
    ToolCommand command;
    command.busyText = busyText;
    command.centre = centre;
    bool result = false;
    bool done = false;
    QEventLoop loop;
    QObject receiver;
    std::atomic<int> lastPercent{-1};
    // Called on the worker thread: only a change of the percentage is passed
    // on, to the waiting thread.
    const PercentCallback progress = [&](int percent) {
        if (lastPercent.exchange(percent) == percent)
            return;
        QMetaObject::invokeMethod(
            &receiver, [this, percent] { m_observer->toolProgress(percent); },
            Qt::QueuedConnection);
    };
    m_working = true;
    m_stopRequested = false;
    std::thread worker([&] {
        result = work(progress);
        // Handled on this thread, inside the observer's start or the loop.
        QMetaObject::invokeMethod(
            &receiver,
            [&] {
                done = true;
                loop.quit();
            },
            Qt::QueuedConnection);
    });
    QTimer ticks;
    ticks.setInterval(kTickInterval);
    QObject::connect(&ticks, &QTimer::timeout, &loop, [this] { m_observer->toolTick(); });
    m_observer->toolStarted(command, *this);
    if (!done) {
        ticks.start();
        loop.exec();
    }
    ticks.stop();
    worker.join();
    // Queued calls must not outlive their receiver.
    QCoreApplication::removePostedEvents(&receiver);
    m_working = false;
    m_stopRequested = false;
    m_observer->toolFinished();
    return result;
}
