#include "core/base/FileHelpers.h"
#include "core/base/InstanceMessage.h"
#include "core/base/WorkspacePaths.h"
#include "core/workspace/WorkspaceRecord.h"
#include "gui/CCorvaneApp.h"
#include "gui/ProgressDialog.h"
#include "gui/SingleInstance.h"
#include "gui/Startup.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QApplication>
#include <QDataStream>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(WorkspaceRecord::Stage)
Q_DECLARE_METATYPE(UiDialogs::Answer)

namespace {

// Starts a copy of the program, headless, with its own temporary directory.
std::unique_ptr<QProcess> startProgram(const QString& executable, const QString& tmpdir,
                                       const QStringList& arguments = {}) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TMPDIR", tmpdir);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(executable, arguments);
    return process;
}

bool instanceListening(const QString& socketPath) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    const bool connected = socket.waitForConnected(200);
    // A request without a package; reading the answer lets the instance
    // finish its side cleanly.
    if (connected) {
        const QByteArray request = InstanceMessage::encode(QString());
        socket.write(request);
        socket.flush();
        socket.waitForReadyRead(2000);
    }
    return connected;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void resume_data();
    void resume();
    void appDirectoryOfExecutable_data();
    void appDirectoryOfExecutable();
    void secondStartEndsAndFirstKeepsRunning();
    void instanceFoundWhateverTheTemporaryDirectory();
    void unusableLockIsReported();
    void silentHolderIsReported();
    void staleLockOnFullDiskNamesTheDisk();
    void bringForwardNeverShowsBusyDialog();
    void packageArgument_data();
    void packageArgument();
    void packageOnTheCommandLineOpens();

private:
    // Every temporary file of this test lies here and goes with it.
    std::unique_ptr<QTemporaryDir> m_tmp;
    QByteArray m_oldTmpdir;
    bool m_hadTmpdir = false;
};

void TestStartup::initTestCase() {
    m_tmp = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/tst_Startup-XXXXXX");
    QVERIFY(m_tmp->isValid());
    m_hadTmpdir = qEnvironmentVariableIsSet("TMPDIR");
    m_oldTmpdir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(m_tmp->path()));
    QCOMPARE(QDir::tempPath(), m_tmp->path());
}

void TestStartup::cleanupTestCase() {
    if (m_hadTmpdir)
        qputenv("TMPDIR", m_oldTmpdir);
    else
        qunsetenv("TMPDIR");
    const QString path = m_tmp->path();
    m_tmp.reset();
    QVERIFY(!QFileInfo::exists(path));
}

void TestStartup::resume_data() {
    QTest::addColumn<bool>("tree");
    QTest::addColumn<WorkspaceRecord::Stage>("stage");
    QTest::addColumn<bool>("readableArchive");
    QTest::addColumn<UiDialogs::Answer>("answer");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("treeKept");
    QTest::addColumn<bool>("archiveTakenUp");
    QTest::addColumn<bool>("warned");
    using S = WorkspaceRecord::Stage;
    using A = UiDialogs::Answer;
    // tree, stage, archive, answer -> asked, tree kept, archive taken up, warned
    QTest::newRow("nothing kept") << false << S::None << false << A::Yes << false << false << false
                                  << false;
    QTest::newRow("open, yes") << true << S::Open << true << A::Yes << true << true << true
                               << false;
    QTest::newRow("open, no") << true << S::Open << true << A::No << true << false << false
                              << false;
    QTest::newRow("open, question closed")
        << true << S::Open << true << A::Closed << true << false << false << false;
    QTest::newRow("open, archive unreadable")
        << true << S::Open << false << A::Yes << false << false << false << true;
    QTest::newRow("opening interrupted")
        << true << S::Opening << true << A::Yes << false << false << false << true;
    QTest::newRow("tree without record")
        << true << S::None << true << A::Yes << false << false << false << true;
}

void TestStartup::resume() {
    QFETCH(bool, tree);
    QFETCH(WorkspaceRecord::Stage, stage);
    QFETCH(bool, readableArchive);
    QFETCH(UiDialogs::Answer, answer);
    QFETCH(bool, asked);
    QFETCH(bool, treeKept);
    QFETCH(bool, archiveTakenUp);
    QFETCH(bool, warned);

    TestBundle bundle;
    QVERIFY(bundle.path().startsWith(m_tmp->path()));
    const QString package = bundle.file("packages/update.zip");
    QVERIFY(QDir().mkpath(bundle.file("zipTemp")));
    if (tree)
        QVERIFY(
            WriteFile(bundle.file("srctemp/system/build.prop"), "ro.build.version.release=5\n"));
    if (readableArchive)
        QVERIFY(WriteZip(bundle.file("zipTemp/temp.zip"), {{"system/build.prop", "x"}}));
    else
        QVERIFY(WriteFile(bundle.file("zipTemp/temp.zip"), "zip"));
    if (stage != WorkspaceRecord::Stage::None) {
        WorkspaceRecord record;
        record.stage = stage;
        record.package = package;
        QVERIFY(record.write(bundle.file("zipTemp/workspace.state")));
    }
    QVERIFY(WriteFile(bundle.file("Apktemp/Foo.apk"), "apk"));

    ScriptedUiDialogs dialogs;
    dialogs.answers.enqueue(answer);
    CCorvaneApp app(bundle.path());
    OfferToResume(app);

    QCOMPARE(dialogs.boxes.size(), int(asked) + int(warned));
    if (asked) {
        const auto& box = dialogs.boxes[0];
        QCOMPARE(box.text, QString("Do you want to continue the last operation?\n\nPackage: "
                                   "update.zip\nFolder: ") +
                               bundle.file("packages"));
        QCOMPARE(box.caption, QString("Velkor"));
        QCOMPARE(box.buttons, UiDialogs::Buttons::YesNo);
        QCOMPARE(box.icon, UiDialogs::Icon::None);
        QVERIFY(!box.hadOwner);
    }
    if (warned) {
        const auto& box = dialogs.boxes[0];
        QCOMPARE(box.text, stage == WorkspaceRecord::Stage::None
                               ? QString("The last package did not finish opening; its files "
                                         "were cleared.")
                               : QString("The last package \"%1\" did not finish opening; its "
                                         "files were cleared.")
                                     .arg(package));
        QCOMPARE(box.buttons, UiDialogs::Buttons::Ok);
        QCOMPARE(box.icon, UiDialogs::Icon::Exclamation);
        QCOMPARE(box.caption, ApplicationTitle());
        QVERIFY(!box.hadOwner);
    }
    QCOMPARE(FileHelpers::PathExists(bundle.file("srctemp")), treeKept);
    QCOMPARE(app.State().workingArchivePath(),
             archiveTakenUp ? bundle.file("zipTemp/temp.zip") : QString());
    // Only the tree is ever cleared: the archive stays. What an add left in
    // "Apktemp" belongs to no work and goes whatever the answer.
    QVERIFY(FileHelpers::PathExists(bundle.file("zipTemp/temp.zip")));
    QVERIFY(!FileHelpers::PathExists(bundle.file("Apktemp/Foo.apk")));
}

void TestStartup::appDirectoryOfExecutable_data() {
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("directory");
    QTest::newRow("bundle") << "/opt/corvane/Corvane"
                            << "/opt/corvane";
    QTest::newRow("blanks trimmed") << "  /opt/my tools/Corvane \n"
                                    << "/opt/my tools";
    QTest::newRow("root") << "/Corvane"
                          << "";
}

void TestStartup::appDirectoryOfExecutable() {
    QFETCH(QString, executable);
    QFETCH(QString, directory);
    QCOMPARE(WorkspacePaths::directoryOfExecutable(executable), directory);
    // No working path gets a doubled separator, even at the root.
    QVERIFY(!WorkspacePaths(directory).extractedTree().contains("//"));
}

void TestStartup::secondStartEndsAndFirstKeepsRunning() {
    QTemporaryDir dir;
    const QString executable = dir.filePath("Corvane");
    QVERIFY(QFile::copy(TestBundle::buildBundle() + "/Corvane", executable));
    const QString key = SingleInstance(dir.path()).socketPath();

    auto first = startProgram(executable, m_tmp->path());
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceListening(key), 20000);
    QVERIFY(FileHelpers::PathExists(dir.filePath(".corvane.lock")));

    // Later starts end at once, without taking over.
    for (int i = 0; i < 2; ++i) {
        auto second = startProgram(executable, m_tmp->path());
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);
    }

    // The lock dies with its holder, even when it crashes: the next start is
    // the first instance again.
    first->kill();
    QVERIFY(first->waitForFinished(20000));
    auto third = startProgram(executable, m_tmp->path());
    QVERIFY(third->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceListening(key), 20000);
    QCOMPARE(third->state(), QProcess::Running);
    third->kill();
    QVERIFY(third->waitForFinished(20000));

    // A workspace was made beside the copy (no package needed).
    QVERIFY(FileHelpers::PathExists(dir.filePath("Apktemp")));
    QVERIFY(FileHelpers::PathExists(dir.filePath("zipTemp")));
}

// The instance belongs to the workspace: starts that see different
// temporary directories still find it, and other workspaces are apart.
void TestStartup::instanceFoundWhateverTheTemporaryDirectory() {
    QTemporaryDir dir;
    QTemporaryDir otherDir;
    const QString executable = dir.filePath("Corvane");
    const QString other = otherDir.filePath("Corvane");
    QVERIFY(QFile::copy(TestBundle::buildBundle() + "/Corvane", executable));
    QVERIFY(QFile::copy(TestBundle::buildBundle() + "/Corvane", other));
    QVERIFY(QDir().mkpath(m_tmp->filePath("first tmp")));
    QVERIFY(QDir().mkpath(m_tmp->filePath("second tmp")));
    const QString key = SingleInstance(dir.path()).socketPath();
    QVERIFY(key != SingleInstance(otherDir.path()).socketPath());

    auto first = startProgram(executable, m_tmp->filePath("first tmp"));
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceListening(key), 20000);

    auto second = startProgram(executable, m_tmp->filePath("second tmp"));
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);

    // Another workspace runs an instance of its own beside it.
    auto elsewhere = startProgram(other, m_tmp->filePath("second tmp"));
    QVERIFY(elsewhere->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceListening(SingleInstance(otherDir.path()).socketPath()),
                             20000);
    QCOMPARE(elsewhere->state(), QProcess::Running);

    for (QProcess* process : {first.get(), elsewhere.get()}) {
        process->kill();
        QVERIFY(process->waitForFinished(20000));
    }
}

// A lock that cannot be taken for another reason than a live instance (its
// path is taken by a directory) is reported, and the program ends with 1.
void TestStartup::unusableLockIsReported() {
    const QString appDirectory =
        WorkspacePaths::directoryOfExecutable(QCoreApplication::applicationFilePath());
    const QString lock = appDirectory + "/.corvane.lock";
    QDir().rmdir(lock); // left by an earlier run that crashed here
    QVERIFY(!FileHelpers::PathExists(lock));
    QVERIFY(QDir().mkdir(lock));

    SingleInstance instance(appDirectory);
    QCOMPARE(instance.lockPath(), lock);
    const SingleInstance::Result result = instance.acquire();
    const QString cause = instance.errorString();

    ScriptedUiDialogs dialogs;
    const int exitCode = result == SingleInstance::Result::Failed ? RunCorvane() : -1;
    QVERIFY(QDir().rmdir(lock));

    QCOMPARE(result, SingleInstance::Result::Failed);
    QVERIFY(!cause.isEmpty());
    QCOMPARE(exitCode, 1);
    QCOMPARE(dialogs.texts(),
             QStringList(
                 {QString("The workspace \"%1\" cannot be locked: %2").arg(appDirectory, cause)}));
    QCOMPARE(dialogs.boxes[0].icon, UiDialogs::Icon::Exclamation);
    // Nothing of a workspace was made.
    QVERIFY(!FileHelpers::PathExists(appDirectory + "/zipTemp"));
}

// The lock of an ended process cannot be replaced on a full disk: that is
// what is reported, not a live instance that does not answer. A real full
// disk: a small tmpfs (skipped where no test may mount one).
void TestStartup::staleLockOnFullDiskNamesTheDisk() {
    const QString point = m_tmp->filePath("full disk");
    QVERIFY(QDir().mkpath(point));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", point}) != 0)
        QSKIP("this machine lets no test mount a small file system");
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {"-l", point}); });
    // A lock as a killed instance left it: the pid of an ended process.
    QProcess ended;
    ended.start("sh", {"-c", "echo $$"});
    QVERIFY(ended.waitForFinished(20000));
    const QByteArray endedPid = ended.readAllStandardOutput().trimmed();
    QVERIFY(endedPid.toLongLong() > 0);
    const QString lockPath = point + "/.corvane.lock";
    {
        QLockFile lock(lockPath);
        QVERIFY(lock.tryLock(0));
        QByteArray info = ReadFile(lockPath);
        lock.unlock();
        info = endedPid + info.mid(info.indexOf('\n'));
        QVERIFY(WriteFile(lockPath, info));
    }
    // The disk is full.
    QFile filler(point + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();

    SingleInstance instance(point);
    QCOMPARE(instance.acquire(), SingleInstance::Result::Failed);
    QVERIFY2(instance.errorString().contains(QString("cannot write the lock \"%1\"").arg(lockPath)),
             qPrintable(instance.errorString()));
    QVERIFY2(instance.errorString().endsWith("the disk is full"),
             qPrintable(instance.errorString()));
    // Once there is room again, the lock is taken over.
    QVERIFY(QFile::remove(point + "/filler"));
    SingleInstance again(point);
    QCOMPARE(again.acquire(), SingleInstance::Result::Acquired);
}

void TestStartup::silentHolderIsReported() {
    // A live process (this one) holds the workspace's lock but listens for
    // no later start.
    const QString appDirectory =
        WorkspacePaths::directoryOfExecutable(QCoreApplication::applicationFilePath());
    QLockFile lock(appDirectory + "/.corvane.lock");
    QVERIFY(lock.tryLock(0));

    ScriptedUiDialogs dialogs;
    const int exitCode = RunCorvane();
    lock.unlock();

    QCOMPARE(exitCode, 0);
    QCOMPARE(dialogs.texts(),
             QStringList({QString("Corvane is already running with the workspace \"%1\" but does "
                                  "not answer.")
                              .arg(appDirectory)}));
    QCOMPARE(dialogs.boxes[0].icon, UiDialogs::Icon::Exclamation);
}

void TestStartup::bringForwardNeverShowsBusyDialog() {
    TestBundle bundle;
    CCorvaneApp app(bundle.path());
    QDialog main;
    main.setWindowTitle("Velkor V4.0.0.0");
    app.SetMainWindow(&main);
    app.CreateBusyDialog();
    main.showMinimized();
    BringInstanceForward(&main);
    QVERIFY(!main.isMinimized());
    QVERIFY(app.BusyDialog()->isHidden());

    QDialog question(&main);
    question.setWindowModality(Qt::ApplicationModal);
    question.show();
    QCOMPARE(QApplication::activeModalWidget(), &question);
    BringInstanceForward(&main);
    QVERIFY(question.isVisible());
    QVERIFY(app.BusyDialog()->isHidden());
    question.hide();
}

void TestStartup::packageArgument_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("package");
    QTest::newRow("none") << QStringList{"Corvane"} << "";
    QTest::newRow("one") << QStringList{"Corvane", "update.zip"} << "update.zip";
    QTest::newRow("after an option") << QStringList{"Corvane", "-v", "update.zip"} << "update.zip";
    QTest::newRow("only options") << QStringList{"Corvane", "--x"} << "";
    QTest::newRow("after --") << QStringList{"Corvane", "--", "-odd.zip"} << "-odd.zip";
    QTest::newRow("first of two") << QStringList{"Corvane", "a.zip", "b.zip"} << "a.zip";
}

void TestStartup::packageArgument() {
    QFETCH(QStringList, arguments);
    QTEST(PackageArgument(arguments), "package");
}

// "Corvane update.zip" opens the package once its window is up: its tree is
// unpacked into the workspace. A later start with another package hands it
// over and ends.
void TestStartup::packageOnTheCommandLineOpens() {
    QTemporaryDir dir;
    const QString executable = dir.filePath("Corvane");
    QVERIFY(QFile::copy(TestBundle::buildBundle() + "/Corvane", executable));
    // The bundle's tools (7-Zip) beside the copy.
    QVERIFY(QFile::link(TestBundle::buildBundle() + "/Config", dir.filePath("Config")));
    const QString package = m_tmp->filePath("packages 固件/update.zip");
    QVERIFY(QDir().mkpath(QFileInfo(package).absolutePath()));
    QVERIFY(WriteZip(package, {{"system/build.prop", "ro.build.version.release=5\n"},
                               {"system/app/Music.apk", "apk"}}));

    auto first = startProgram(executable, m_tmp->path(), {package});
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(FileHelpers::PathExists(dir.filePath("srctemp/system/app/Music.apk")),
                             30000);
    // The working archive may still be being written when the tree is there.
    QTRY_COMPARE_WITH_TIMEOUT(ReadFile(dir.filePath("zipTemp/temp.zip")), ReadFile(package), 30000);

    auto second = startProgram(executable, m_tmp->path(), {package});
    QVERIFY(second->waitForFinished(20000));
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);
    first->kill();
    QVERIFY(first->waitForFinished(20000));
}

QTEST_MAIN(TestStartup)
#include "tst_Startup.moc"
