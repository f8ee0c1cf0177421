#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class QProcess;
class ToolRunner;

// One run of an external program: an argument list (never a shell), the
// working directory, what the busy display says, and what its exit code means.
struct ToolCommand {
    QString program;
    QStringList arguments;
    QString workingDirectory; // empty: the current directory
    QString busyText;         // the busy display's text, without the dots
    bool centre = false;      // the busy display is centred on the screen
    // Which exit codes mean success; empty: 0 only.
    std::function<bool(int exitCode)> exitCodeMeansSuccess;
    // The program writes "NN%" progress on its standard output (7-Zip's -bsp1).
    bool reportsPercent = false;
    // Both output channels go to this file (replaced) instead: what a checker
    // found, kept for the cause and out of the user's terminal.
    QString outputFile;
};

// How one run ended. Start failure, a stop by the user, a crash and the exit
// code are kept apart; success also needs the command's exit-code rule.
struct ToolRunResult {
    enum class Outcome {
        NotRun,        // no run yet
        FailedToStart, // the program could not be started (missing, not executable)
        Stopped,       // the user stopped it; it was killed
        Crashed,       // it ended by a signal of its own
        Exited,        // it ran to its end; exitCode holds its code
    };

    Outcome outcome = Outcome::NotRun;
    int exitCode = -1;
    QString errorText;
    bool exitCodeSuccess = false; // Exited with a code the command counts as success

    bool ranToEnd() const { return outcome == Outcome::Exited; }
    bool succeeded() const { return outcome == Outcome::Exited && exitCodeSuccess; }
    // A short cause for messages and logs.
    QString describe(const QString& program) const;
};

// Sees the runs of a runner: the windows show the busy dialog and disable
// their controls; the command-line tool prints progress. toolTick comes a
// few times a second while a program runs (the busy text's dots), never in
// a spin.
class ToolRunObserver {
public:
    virtual ~ToolRunObserver() = default;
    virtual void toolStarted(const ToolCommand& command, ToolRunner& runner) = 0;
    virtual void toolTick() = 0;
    virtual void toolProgress(int percent) = 0;
    virtual void toolFinished() = 0;
};

// Runs external programs one at a time and waits for each in an event loop
// of its own: the thread sleeps until the program ends, the user acts or the
// tick timer fires. Returns the result.
//
// A program never outlives its run nor this program: it runs in a session
// (and so a process group) of its own, and a stop, or the end of its run,
// kills that whole group, so what it started itself (a script's children,
// Java's helpers) ends with it. If this program dies, even by SIGKILL, the
// kernel kills the program (its parent-death signal) and a small keeper
// process, forked once per program and woken by the end of its socket to us,
// kills the groups of the runs still going. The parent-death signal follows
// the thread that started the program; run() returns only once the program
// has ended, so that thread outlives it whichever thread it is.
class ToolRunner {
public:
    ToolRunner() = default;
    ToolRunner(const ToolRunner&) = delete;
    ToolRunner& operator=(const ToolRunner&) = delete;

    void setObserver(ToolRunObserver* observer) { m_observer = observer; }
    ToolRunObserver* observer() const { return m_observer; }

    ToolRunResult run(const ToolCommand& command);

    // Runs work on a thread of its own while this thread waits as for a
    // program (the busy display shows the text). A stop request is not
    // forced on the work: the work sees it through stopRequested() and ends
    // where it safely can (the save does; an archive commit runs to its end).
    // Without an observer it runs here.
    bool runInBackground(const QString& busyText, const std::function<bool()>& work);
    // The same for work that reports the percentage done (0 to 100) as it
    // goes; the observer sees it on the waiting thread.
    // With centre, the busy display is centred on the screen.
    using PercentCallback = std::function<void(int percent)>;
    bool runInBackground(const QString& busyText,
                         const std::function<bool(const PercentCallback& progress)>& work,
                         bool centre = false);

    bool isRunning() const { return m_process != nullptr || m_working; }
    // Kills the running program; its run ends as Stopped. Background work
    // sees the request through stopRequested() and may end early.
    void requestStop();
    bool stopRequested() const { return m_stopRequested; }

    // Milliseconds between ticks (the dots move at a human pace).
    static constexpr int kTickInterval = 300;

private:
    // Waits in an event loop of its own for the started process to end,
    // telling the observer its start, ticks and percentages.
    void waitForEnd(QProcess& process, const ToolCommand& command);

    ToolRunObserver* m_observer = nullptr;
    QProcess* m_process = nullptr;
    qint64 m_group = 0; // the running program's process group
    std::atomic<bool> m_stopRequested{false};
    bool m_working = false;
};

// 7-Zip's rule: 0 success, 1 warnings only.
bool SevenZipExitCodeMeansSuccess(int exitCode);
