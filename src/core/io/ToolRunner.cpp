#include "core/io/ToolRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <atomic>
#include <thread>

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

ToolRunResult ToolRunner::run(const ToolCommand& command) {
    ToolRunResult result;
    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    process.setWorkingDirectory(command.workingDirectory.isEmpty() ? QDir::currentPath()
                                                                   : command.workingDirectory);
    // The program talks to no one: no input; its output is read only for its
    // progress, its errors go where ours go.
    process.setStandardInputFile(QProcess::nullDevice());
    if (!command.reportsPercent)
        process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(-1)) {
        result.outcome = ToolRunResult::Outcome::FailedToStart;
        result.errorText = process.errorString();
        return result;
    }

    m_process = &process;
    m_stopRequested = false;
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
    m_process = nullptr;
    if (m_observer)
        m_observer->toolFinished();

    if (m_stopRequested) {
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
    m_stopRequested = false;
    return result;
}

void ToolRunner::requestStop() {
    if (m_working) {
        m_stopRequested = true;
        return;
    }
    if (!m_process)
        return;
    m_stopRequested = true;
    m_process->kill();
}

bool ToolRunner::runInBackground(const QString& busyText, const std::function<bool()>& work) {
    return runInBackground(busyText, [&work](const PercentCallback&) { return work(); });
}

bool ToolRunner::runInBackground(const QString& busyText,
                                 const std::function<bool(const PercentCallback& progress)>& work) {
    if (!m_observer)
        return work([](int) {});
    ToolCommand command;
    command.busyText = busyText;
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
