#include "core/base/ToolRunner.h"
#include "support/TestBundle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// Worker: argv = --worker PROGRAM PIDFILE MODE. Runs PROGRAM with a runner;
// with MODE "stop", stops it once PIDFILE exists. Prints the outcome.
int runWorker(const QStringList& args) {
    const QString pidFile = args.value(1);
    ToolRunner runner;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QFileInfo::exists(pidFile)) {
            poll.stop();
            runner.requestStop();
        }
    });
    if (args.value(2) == QLatin1String("stop"))
        poll.start();
    ToolCommand command;
    command.program = args.value(0);
    const ToolRunResult result = runner.run(command);
    std::printf("%d\n", static_cast<int>(result.outcome));
    return 0;
}

// Sees a runner's calls in order: "started <text>", "tick", "progress <n>",
// "finished"; hooks let a test act at each of them.
class RecordingObserver : public ToolRunObserver {
public:
    QStringList events;
    QList<int> progress;
    int starts = 0;
    int ticks = 0;
    int finishes = 0;
    bool runningAtStart = false;
    std::function<void(ToolRunner&)> onStart;
    std::function<void()> onTick;
    std::function<void(int)> onProgress;

    void toolStarted(const ToolCommand& command, ToolRunner& runner) override {
        ++starts;
        runningAtStart = runner.isRunning();
        events << QStringLiteral("started ") + command.busyText;
        if (onStart)
            onStart(runner);
    }
    void toolTick() override {
        ++ticks;
        events << QStringLiteral("tick");
        if (onTick)
            onTick();
    }
    void toolProgress(int percent) override {
        progress << percent;
        events << QStringLiteral("progress %1").arg(percent);
        if (onProgress)
            onProgress(percent);
    }
    void toolFinished() override {
        ++finishes;
        events << QStringLiteral("finished");
    }
};

enum class ExitRule { Default, SevenZip };

} // namespace

Q_DECLARE_METATYPE(ExitRule)

class TestToolRunner : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void startFailure_data();
    void startFailure();
    void exitCodeIsKeptAndInterpreted_data();
    void exitCodeIsKeptAndInterpreted();
    void crashIsNotSuccess_data();
    void crashIsNotSuccess();
    void stopKillsTheProgram();
    void stopWithoutRunChangesNothing();
    void toolAndWhatItStartedEndWithTheRun_data();
    void toolAndWhatItStartedEndWithTheRun();
    void argumentsReachTheProgramLiterally();
    void workingDirectory_data();
    void workingDirectory();
    void percentStepByStep();
    void percentInOneWrite();
    void percentIgnoredUnlessReported();
    void quietRunTicksAtHumanPace();
    void programThatEndsAtOnce();
    void backgroundWithoutObserverRunsHere_data();
    void backgroundWithoutObserverRunsHere();
    void backgroundWithObserver_data();
    void backgroundWithObserver();
    void backgroundWorkSeesStopRequest();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    // An executable shell script in the test's directory.
    QString tool(const QString& name, const QString& body) const;
    ToolCommand command(const QString& program) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<qint64> m_pids; // processes a test started, none left running
};

void TestToolRunner::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestToolRunner::cleanup() {
    // A failed test leaves nothing running either.
    for (const qint64 pid : std::as_const(m_pids)) {
        if (!ProcessGone(pid))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    m_pids.clear();
    m_dir.reset();
}

QString TestToolRunner::tool(const QString& name, const QString& body) const {
    const QString file = path(name);
    if (!WriteFile(file, ("#!/bin/sh\n" + body + "\n").toUtf8()))
        return QString();
    QFile::setPermissions(file,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return file;
}

ToolCommand TestToolRunner::command(const QString& program) const {
    ToolCommand c;
    c.program = program;
    c.busyText = QStringLiteral("Working");
    return c;
}

void TestToolRunner::startFailure_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "plain";
    QTest::newRow("a directory") << "directory";
}

void TestToolRunner::startFailure() {
    QFETCH(QString, kind);
    QString program = path("no-such-tool");
    if (kind == "plain") {
        program = path("plain.sh");
        QVERIFY(WriteFile(program, "#!/bin/sh\nexit 0\n"));
        QVERIFY(QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    } else if (kind == "directory") {
        program = path("dir");
        QVERIFY(QDir().mkpath(program));
    }
    ToolRunner runner;
    RecordingObserver observer;
    runner.setObserver(&observer);
    const ToolRunResult result = runner.run(command(program));
    QCOMPARE(result.outcome, ToolRunResult::Outcome::FailedToStart);
    QVERIFY(!result.errorText.isEmpty());
    QVERIFY(!result.ranToEnd());
    QVERIFY(!result.succeeded());
    // Nothing was shown for a program that never ran.
    QVERIFY(observer.events.isEmpty());
    QVERIFY(!runner.isRunning());
}

void TestToolRunner::exitCodeIsKeptAndInterpreted_data() {
    QTest::addColumn<ExitRule>("rule");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("success");
    QTest::newRow("default 0") << ExitRule::Default << 0 << true;
    QTest::newRow("default 1") << ExitRule::Default << 1 << false;
    QTest::newRow("default 2") << ExitRule::Default << 2 << false;
    QTest::newRow("7-Zip 0") << ExitRule::SevenZip << 0 << true;
    QTest::newRow("7-Zip 1 warnings") << ExitRule::SevenZip << 1 << true;
    QTest::newRow("7-Zip 2 fatal") << ExitRule::SevenZip << 2 << false;
    QTest::newRow("7-Zip 7 command line") << ExitRule::SevenZip << 7 << false;
    QTest::newRow("7-Zip 255 stopped") << ExitRule::SevenZip << 255 << false;
}

void TestToolRunner::exitCodeIsKeptAndInterpreted() {
    QFETCH(ExitRule, rule);
    QFETCH(int, code);
    QFETCH(bool, success);
    ToolCommand c = command(tool("exit.sh", QStringLiteral("exit %1").arg(code)));
    if (rule == ExitRule::SevenZip)
        c.exitCodeMeansSuccess = SevenZipExitCodeMeansSuccess;
    ToolRunner runner;
    const ToolRunResult result = runner.run(c);
    QCOMPARE(result.outcome, ToolRunResult::Outcome::Exited);
    QVERIFY(result.ranToEnd());
    QCOMPARE(result.exitCode, code);
    QCOMPARE(result.succeeded(), success);
    if (!success)
        QVERIFY(result.describe("tool").contains(QString::number(code)));
}

void TestToolRunner::crashIsNotSuccess_data() {
    QTest::addColumn<QString>("signal");
    QTest::newRow("segmentation fault") << "SEGV";
    // The signal a stop uses: nobody asked, so it is a crash, not a stop.
    QTest::newRow("killed by someone else") << "KILL";
}

void TestToolRunner::crashIsNotSuccess() {
    QFETCH(QString, signal);
    ToolRunner runner;
    const ToolRunResult result =
        runner.run(command(tool("crash.sh", QStringLiteral("kill -%1 $$").arg(signal))));
    QCOMPARE(result.outcome, ToolRunResult::Outcome::Crashed);
    QVERIFY(!result.ranToEnd());
    QVERIFY(!result.succeeded());
}

void TestToolRunner::stopKillsTheProgram() {
    // The program tells its process id, then waits for "go" before it leaves
    // its marker; a stopped program never gets that far.
    const QString pidFile = path("pid");
    const QString go = path("go");
    const QString marker = path("marker");
    const QString program =
        tool("hang.sh", QStringLiteral("echo $$ > '%1.part' && mv '%1.part' '%1'\n"
                                       "while [ ! -e '%2' ]; do sleep 0.05; done\n"
                                       "echo survived > '%3'")
                            .arg(pidFile, go, marker));
    ToolRunner runner;
    bool runningWhenStopped = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!QFileInfo::exists(pidFile))
            return;
        poll.stop();
        runningWhenStopped = runner.isRunning();
        runner.requestStop();
    });
    poll.start();
    const ToolRunResult result = runner.run(command(program));
    poll.stop();
    QVERIFY(runningWhenStopped);
    QCOMPARE(result.outcome, ToolRunResult::Outcome::Stopped);
    QVERIFY(!result.succeeded());
    QVERIFY(!runner.isRunning());

    // The process is gone (reaped), not merely left behind.
    const pid_t pid = ReadFile(pidFile).trimmed().toInt();
    QVERIFY(pid > 0);
    errno = 0;
    QCOMPARE(::kill(pid, 0), -1);
    QCOMPARE(errno, ESRCH);
    QVERIFY(WriteFile(go, ""));
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(marker));

    // The stop belonged to that run only.
    const ToolRunResult next = runner.run(command(tool("ok.sh", "exit 0")));
    QCOMPARE(next.outcome, ToolRunResult::Outcome::Exited);
    QVERIFY(next.succeeded());
}

void TestToolRunner::stopWithoutRunChangesNothing() {
    ToolRunner runner;
    runner.requestStop();
    const ToolRunResult result = runner.run(command(tool("ok.sh", "exit 0")));
    QCOMPARE(result.outcome, ToolRunResult::Outcome::Exited);
    QVERIFY(result.succeeded());
}

void TestToolRunner::toolAndWhatItStartedEndWithTheRun_data() {
    // How the run ends: "stop" by the user, "exit" of the program itself
    // (leaving its child behind), "kill" of this program by SIGKILL.
    QTest::addColumn<QString>("end");
    QTest::addColumn<int>("outcome");
    QTest::newRow("stopped by the user")
        << "stop" << static_cast<int>(ToolRunResult::Outcome::Stopped);
    QTest::newRow("ended with a child still running")
        << "exit" << static_cast<int>(ToolRunResult::Outcome::Exited);
    QTest::newRow("the program that ran it killed") << "kill" << -1;
}

void TestToolRunner::toolAndWhatItStartedEndWithTheRun() {
    QFETCH(QString, end);
    QFETCH(int, outcome);
    // The tool starts a child of its own and tells both process ids.
    const QString pidFile = path("pids");
    const QString program = tool("spawn.sh", QStringLiteral("sleep 300 &\n"
                                                            "echo $$ $! > '%1.part'\n"
                                                            "mv '%1.part' '%1'\n"
                                                            "[ '%2' = exit ] && exit 0\n"
                                                            "wait")
                                                 .arg(pidFile, end));
    // The runner runs in a process of its own, which the test may kill.
    QProcess worker;
    worker.setProgram(QCoreApplication::applicationFilePath());
    worker.setArguments({QStringLiteral("--worker"), program, pidFile, end});
    worker.setStandardInputFile(QProcess::nullDevice());
    worker.start();
    QVERIFY(worker.waitForStarted(-1));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(pidFile) || worker.state() != QProcess::Running,
                             60000);
    const QList<QByteArray> pids = ReadFile(pidFile).trimmed().split(' ');
    QCOMPARE(pids.size(), 2);
    for (const QByteArray& pid : pids) {
        QVERIFY(pid.toLongLong() > 0);
        m_pids << pid.toLongLong();
    }
    if (end == QLatin1String("kill"))
        worker.kill();
    // (It may have ended while the test waited for the process ids.)
    QVERIFY(worker.state() == QProcess::NotRunning || worker.waitForFinished(60000));
    if (outcome >= 0) {
        QCOMPARE(worker.exitStatus(), QProcess::NormalExit);
        QCOMPARE(worker.readAllStandardOutput().trimmed().toInt(), outcome);
    }
    // Neither the tool nor its child runs on. A killed program's tools end
    // a moment after it: their keeper learns of its death from the kernel.
    for (const qint64 pid : std::as_const(m_pids))
        QTRY_VERIFY2_WITH_TIMEOUT(ProcessGone(pid),
                                  qPrintable(QStringLiteral("%1 still runs").arg(pid)), 10000);
}

void TestToolRunner::argumentsReachTheProgramLiterally() {
    const QString out = path("args");
    const QStringList arguments{out, "with blank", "*",       "$HOME", "a'b\"c",
                                "",  "; rm -rf",   "中文 名", "-o-y"};
    ToolCommand c = command(tool("args.sh", "out=\"$1\"; shift; printf '%s\\0' \"$@\" > \"$out\""));
    c.arguments = arguments;
    ToolRunner runner;
    QVERIFY(runner.run(c).succeeded());
    QByteArray bytes = ReadFile(out);
    QVERIFY(bytes.endsWith('\0'));
    bytes.chop(1);
    QStringList seen;
    for (const QByteArray& part : bytes.split('\0'))
        seen << QString::fromUtf8(part);
    QCOMPARE(seen, arguments.mid(1));
}

void TestToolRunner::workingDirectory_data() {
    QTest::addColumn<QString>("directory");
    QTest::newRow("given") << "work dir/目录";
    QTest::newRow("empty: the current one") << "";
}

void TestToolRunner::workingDirectory() {
    QFETCH(QString, directory);
    const QString out = path("cwd.txt");
    ToolCommand c = command(tool("pwd.sh", "pwd -P > \"$1\""));
    c.arguments = QStringList{out};
    QString expected = QFileInfo(QDir::currentPath()).canonicalFilePath();
    if (!directory.isEmpty()) {
        QVERIFY(QDir().mkpath(path(directory)));
        c.workingDirectory = path(directory);
        expected = QFileInfo(path(directory)).canonicalFilePath();
    }
    ToolRunner runner;
    QVERIFY(runner.run(c).succeeded());
    QCOMPARE(QString::fromUtf8(ReadFile(out)).trimmed(), expected);
}

void TestToolRunner::percentStepByStep() {
    // 7-Zip's -bsp1 style: a percentage rewritten in place with backspaces or
    // a carriage return. Each step waits until the observer saw the last one.
    const QString program =
        tool("progress.sh",
             QStringLiteral("wait_for() { while [ ! -e \"%1/ack$1\" ]; do sleep 0.02; done; }\n"
                            "printf ' 10%%'; wait_for 10\n"
                            "printf '\\b\\b\\b\\b 55%%'; wait_for 55\n"
                            "printf '\\r100%%'; wait_for 100\n"
                            "printf '\\nEverything is Ok\\n'")
                 .arg(m_dir->path()));
    ToolCommand c = command(program);
    c.reportsPercent = true;
    ToolRunner runner;
    RecordingObserver observer;
    observer.onProgress = [&](int percent) {
        WriteFile(path(QStringLiteral("ack%1").arg(percent)), "");
    };
    runner.setObserver(&observer);
    QVERIFY(runner.run(c).succeeded());
    QCOMPARE(observer.progress, QList<int>({10, 55, 100}));
    QCOMPARE(observer.events.first(), QString("started Working"));
    QCOMPARE(observer.events.last(), QString("finished"));
}

void TestToolRunner::percentInOneWrite() {
    // However the output is cut into reads, the percentages come in order and
    // the last one is the last the tool wrote.
    ToolCommand c = command(tool("progress.sh", "printf ' 10%%\\b\\b\\b\\b 55%%\\r100%%'"));
    c.reportsPercent = true;
    ToolRunner runner;
    RecordingObserver observer;
    runner.setObserver(&observer);
    QVERIFY(runner.run(c).succeeded());
    QVERIFY(!observer.progress.isEmpty());
    QCOMPARE(observer.progress.last(), 100);
    QList<int> remaining{10, 55, 100};
    for (const int percent : observer.progress) {
        while (!remaining.isEmpty() && remaining.first() != percent)
            remaining.removeFirst();
        QVERIFY2(!remaining.isEmpty(), "a percentage out of order or never written");
        remaining.removeFirst();
    }
}

void TestToolRunner::percentIgnoredUnlessReported() {
    ToolCommand c = command(tool("progress.sh", "printf ' 10%%\\b\\b\\b\\b 55%%\\r100%%'"));
    ToolRunner runner;
    RecordingObserver observer;
    runner.setObserver(&observer);
    QVERIFY(runner.run(c).succeeded());
    QVERIFY(observer.progress.isEmpty());
    QCOMPARE(observer.starts, 1);
}

void TestToolRunner::quietRunTicksAtHumanPace() {
    // The waiting thread sleeps between ticks: a one-second quiet program
    // sees a handful of ticks (one every 300 ms), never a spin's thousands.
    ToolCommand c = command(QStringLiteral("/bin/sleep"));
    c.arguments = QStringList{"1"};
    ToolRunner runner;
    RecordingObserver observer;
    runner.setObserver(&observer);
    QVERIFY(runner.run(c).succeeded());
    QCOMPARE(observer.starts, 1);
    QCOMPARE(observer.finishes, 1);
    QVERIFY2(observer.ticks >= 1 && observer.ticks <= 10,
             qPrintable(QStringLiteral("%1 ticks").arg(observer.ticks)));
    QVERIFY(observer.runningAtStart);
    QCOMPARE(observer.events.first(), QString("started Working"));
    QCOMPARE(observer.events.last(), QString("finished"));
    QVERIFY(observer.progress.isEmpty());
    QVERIFY(!runner.isRunning());
}

void TestToolRunner::programThatEndsAtOnce() {
    // The program may end while the observer is still starting.
    ToolRunner runner;
    RecordingObserver observer;
    observer.onStart = [](ToolRunner&) { QThread::msleep(50); };
    runner.setObserver(&observer);
    QVERIFY(runner.run(command(tool("ok.sh", "exit 0"))).succeeded());
    QCOMPARE(observer.starts, 1);
    QCOMPARE(observer.finishes, 1);
    QCOMPARE(observer.events.last(), QString("finished"));
}

void TestToolRunner::backgroundWithoutObserverRunsHere_data() {
    QTest::addColumn<bool>("workResult");
    QTest::newRow("true") << true;
    QTest::newRow("false") << false;
}

void TestToolRunner::backgroundWithoutObserverRunsHere() {
    QFETCH(bool, workResult);
    ToolRunner runner;
    QThread* workThread = nullptr;
    int calls = 0;
    QCOMPARE(runner.runInBackground("Busy",
                                    [&] {
                                        ++calls;
                                        workThread = QThread::currentThread();
                                        return workResult;
                                    }),
             workResult);
    QCOMPARE(calls, 1);
    QCOMPARE(workThread, QThread::currentThread());

    // Work that reports percentages has nobody to tell: it still runs here.
    QCOMPARE(runner.runInBackground("Busy",
                                    [&](const ToolRunner::PercentCallback& progress) {
                                        progress(50);
                                        workThread = QThread::currentThread();
                                        ++calls;
                                        return workResult;
                                    }),
             workResult);
    QCOMPARE(calls, 2);
    QCOMPARE(workThread, QThread::currentThread());
}

void TestToolRunner::backgroundWithObserver_data() {
    QTest::addColumn<bool>("workResult");
    QTest::newRow("true") << true;
    QTest::newRow("false") << false;
}

void TestToolRunner::backgroundWithObserver() {
    QFETCH(bool, workResult);
    ToolRunner runner;
    RecordingObserver observer;
    std::atomic<bool> ticked{false};
    observer.onTick = [&] { ticked = true; };
    // A stop request kills nothing here: work that does not look at it runs
    // to its end and its result stands.
    observer.onStart = [](ToolRunner& r) { r.requestStop(); };
    runner.setObserver(&observer);
    QThread* workThread = nullptr;
    std::atomic<bool> completed{false};
    const bool result =
        runner.runInBackground("Compressing", [&](const ToolRunner::PercentCallback& progress) {
            workThread = QThread::currentThread();
            progress(10);
            progress(10); // no change: not passed on
            progress(55);
            // The waiting thread keeps ticking while the work runs.
            for (int i = 0; i < 1000 && !ticked; ++i)
                QThread::msleep(10);
            progress(100);
            completed = true;
            return workResult;
        });
    QCOMPARE(result, workResult);
    QVERIFY(completed);
    QVERIFY(ticked);
    QVERIFY(workThread != QThread::currentThread());
    QCOMPARE(observer.starts, 1);
    QCOMPARE(observer.finishes, 1);
    QVERIFY(observer.runningAtStart);
    // The percentages reach the observer on the waiting thread, in order,
    // before the end.
    QCOMPARE(observer.progress, QList<int>({10, 55, 100}));
    QCOMPARE(observer.events.first(), QString("started Compressing"));
    QCOMPARE(observer.events.last(), QString("finished"));
    QVERIFY(!runner.isRunning());
}

void TestToolRunner::backgroundWorkSeesStopRequest() {
    ToolRunner runner;
    RecordingObserver observer;
    // The user stops at the first tick; the work looks at the request.
    observer.onTick = [&] {
        if (observer.ticks == 1)
            runner.requestStop();
    };
    runner.setObserver(&observer);
    std::atomic<bool> sawStop{false};
    const bool result = runner.runInBackground("Signing", [&] {
        for (int i = 0; i < 1000 && !runner.stopRequested(); ++i)
            QThread::msleep(10);
        sawStop = runner.stopRequested();
        return !sawStop;
    });
    QVERIFY(sawStop);
    QVERIFY(!result);
    QCOMPARE(observer.finishes, 1);
    // The request ended with its work: the next work and the next program
    // start afresh.
    QVERIFY(!runner.stopRequested());
    bool staleStop = true;
    QVERIFY(runner.runInBackground("Again", [&] {
        staleStop = runner.stopRequested();
        return true;
    }));
    QVERIFY(!staleStop);
    QVERIFY(runner.run(command(tool("ok.sh", "exit 0"))).succeeded());
}

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.value(1) == QLatin1String("--worker"))
        return runWorker(args.mid(2));
    TestToolRunner test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_ToolRunner.moc"
