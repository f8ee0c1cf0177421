#include "gui/CCorvaneApp.h"
#include "gui/SingleInstance.h"
#include "gui/Startup.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Starts a copy of the program from dir, headless.
std::unique_ptr<QProcess> startProgram(const QString& executable) {
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(executable, {});
    return process;
}

bool instanceListening(const QString& key) {
    QLocalSocket socket;
    socket.connectToServer(key);
    const bool connected = socket.waitForConnected(200);
    // Reading the answer lets the instance finish its side cleanly.
    if (connected)
        socket.waitForReadyRead(2000);
    return connected;
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void noKeptTreeNoPrompt();
    void resumeYesKeepsTreeAndTakesUpArchive();
    void resumeYesWithoutArchiveLeavesArchivePathEmpty();
    void resumeNoRemovesOnlyTheTree();
    void appDirectoryOfExecutable_data();
    void appDirectoryOfExecutable();
    void secondStartEndsAndFirstKeepsRunning();
    void bringForwardNeverShowsBusyDialog();
};

void TestStartup::noKeptTreeNoPrompt() {
    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    OfferToResume();
    QVERIFY(dialogs.boxes.isEmpty());
    QVERIFY(theApp().WorkingArchivePath.isEmpty());
}

void TestStartup::resumeYesKeepsTreeAndTakesUpArchive() {
    TestBundle bundle;
    QVERIFY(WriteFile(bundle.file("srctemp/system/build.prop"), "ro.build.version.release=5\n"));
    QVERIFY(WriteFile(bundle.file("zipTemp/temp.zip"), "zip"));
    ScriptedUiDialogs dialogs;
    dialogs.answers.enqueue(UiDialogs::Answer::Yes);
    OfferToResume();
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.boxes[0].text, QString("Do you want to continue the last operation?"));
    QCOMPARE(dialogs.boxes[0].caption, QString("Velkor"));
    QCOMPARE(dialogs.boxes[0].buttons, UiDialogs::Buttons::YesNo);
    QVERIFY(!dialogs.boxes[0].hadOwner);
    QVERIFY(FileHelpers::PathExists(bundle.file("srctemp/system/build.prop")));
    QCOMPARE(theApp().WorkingArchivePath, bundle.file("zipTemp/temp.zip"));
}

void TestStartup::resumeYesWithoutArchiveLeavesArchivePathEmpty() {
    TestBundle bundle;
    QVERIFY(WriteFile(bundle.file("srctemp/logo.img"), "x"));
    ScriptedUiDialogs dialogs;
    dialogs.answers.enqueue(UiDialogs::Answer::Yes);
    OfferToResume();
    QVERIFY(theApp().WorkingArchivePath.isEmpty());
    QVERIFY(FileHelpers::PathExists(bundle.file("srctemp/logo.img")));
}

void TestStartup::resumeNoRemovesOnlyTheTree() {
    TestBundle bundle;
    QVERIFY(WriteFile(bundle.file("srctemp/system/app/Music.apk"), "x"));
    QVERIFY(WriteFile(bundle.file("zipTemp/temp.zip"), "zip"));
    QVERIFY(WriteFile(bundle.file("Apktemp/Foo.apk"), "apk"));
    ScriptedUiDialogs dialogs;
    dialogs.answers.enqueue(UiDialogs::Answer::No);
    OfferToResume();
    QVERIFY(!FileHelpers::PathExists(bundle.file("srctemp")));
    QVERIFY(FileHelpers::PathExists(bundle.file("zipTemp/temp.zip")));
    QVERIFY(FileHelpers::PathExists(bundle.file("Apktemp/Foo.apk")));
    QVERIFY(theApp().WorkingArchivePath.isEmpty());
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
    const QString key = SingleInstance(executable).key();

    auto first = startProgram(executable);
    QVERIFY(first->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceListening(key), 20000);

    // Later starts end at once, without taking over.
    for (int i = 0; i < 2; ++i) {
        auto second = startProgram(executable);
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 0);
        QCOMPARE(first->state(), QProcess::Running);
    }

    // The lock dies with its holder, even when it crashes: the next start is
    // the first instance again.
    first->kill();
    QVERIFY(first->waitForFinished(20000));
    auto third = startProgram(executable);
    QVERIFY(third->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceListening(key), 20000);
    QCOMPARE(third->state(), QProcess::Running);
    third->kill();
    QVERIFY(third->waitForFinished(20000));

    // A workspace was made beside the copy (no package needed).
    QVERIFY(FileHelpers::PathExists(dir.filePath("Apktemp")));
    QVERIFY(FileHelpers::PathExists(dir.filePath("zipTemp")));
}

void TestStartup::bringForwardNeverShowsBusyDialog() {
    TestBundle bundle;
    QDialog main;
    main.setWindowTitle("Velkor V4.0.0.0");
    theApp().MainWindow = &main;
    theApp().CreateBusyDialog();
    main.showMinimized();
    BringInstanceForward();
    QVERIFY(!main.isMinimized());
    QVERIFY(theApp().BusyDialog->isHidden());

    QDialog question(&main);
    question.setWindowModality(Qt::ApplicationModal);
    question.show();
    QCOMPARE(QApplication::activeModalWidget(), &question);
    BringInstanceForward();
    QVERIFY(question.isVisible());
    QVERIFY(theApp().BusyDialog->isHidden());
    question.hide();
    theApp().DestroyBusyDialog();
    theApp().MainWindow = nullptr;
}

QTEST_MAIN(TestStartup)
#include "tst_Startup.moc"
