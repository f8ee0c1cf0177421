#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "gui/CImageView.h"
#include "gui/SingleInstance.h"
#include "gui/Startup.h"
#include "support/PackageFixture.h"
#include "support/ZipFixture.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMimeData>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A package reaches the window from elsewhere than Browse: the command line,
// a later start, a drop. It opens as Browse opens it, once the window waits
// for the user.
class TestOpenFromElsewhere : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void packageOpensAsBrowseOpensIt();
    void packageWaitsForTheQuestionInProgress();
    void laterPackageReplacesOneThatWaits();
    void dragAcceptsOnlyOneLocalZip_data();
    void dragAcceptsOnlyOneLocalZip();
    void droppedPackageOpens();
    void laterStartHandsItsPackageOver_data();
    void laterStartHandsItsPackageOver();
    void channelIsPrivateAndBounded();
    void unsavedEditsAreOfferedForSavingFirst_data();
    void unsavedEditsAreOfferedForSavingFirst();
    void packageNamedAtStartAsksBeforeReplacingKeptWork_data();
    void packageNamedAtStartAsksBeforeReplacingKeptWork();

private:
    QString writePackage(const QString& name) {
        return m_window->writePackage(name, {{"system/build.prop", "ro.build.version.release=5\n"},
                                             {"system/app/Music.apk", "apk"}});
    }

    std::unique_ptr<PackageWindow> m_window;
};

void TestOpenFromElsewhere::init() {
    m_window = std::make_unique<PackageWindow>();
    m_window->dlg.show();
}

void TestOpenFromElsewhere::cleanup() {
    m_window.reset();
}

void TestOpenFromElsewhere::packageOpensAsBrowseOpensIt() {
    const QString package = writePackage("from elsewhere 固件.zip");
    m_window->dlg.OpenPackageWhenIdle(package);
    QTRY_COMPARE(m_window->dlg.packagePathField()->text(), package);
    QCOMPARE(m_window->dialogs.texts(), QStringList({"UnZip file successfully"}));
    QCOMPARE(m_window->state().workingArchivePath(), m_window->file("zipTemp/temp.zip"));
    QVERIFY(FileHelpers::PathExists(m_window->file("srctemp/system/app/Music.apk")));
    // No file dialog was shown.
    QVERIFY(m_window->dialogs.fileDialogs.isEmpty());
}

void TestOpenFromElsewhere::packageWaitsForTheQuestionInProgress() {
    const QString package = writePackage("waiting.zip");
    QDialog question(&m_window->dlg);
    question.setWindowModality(Qt::ApplicationModal);
    question.show();
    QCOMPARE(QApplication::activeModalWidget(), &question);

    m_window->dlg.OpenPackageWhenIdle(package);
    // Answered only once the question is: nothing opens under it.
    QSignalSpy textChanged(m_window->dlg.packagePathField(), &QLineEdit::textChanged);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QVERIFY(!m_window->dlg.IsIdle());
    QCOMPARE(textChanged.count(), 0);
    QVERIFY(m_window->dialogs.boxes.isEmpty());

    question.hide();
    QTRY_COMPARE(m_window->dlg.packagePathField()->text(), package);
    QCOMPARE(m_window->dialogs.texts(), QStringList({"UnZip file successfully"}));
}

void TestOpenFromElsewhere::laterPackageReplacesOneThatWaits() {
    const QString first = writePackage("first.zip");
    const QString second = writePackage("second.zip");
    QDialog question(&m_window->dlg);
    question.setWindowModality(Qt::ApplicationModal);
    question.show();
    m_window->dlg.OpenPackageWhenIdle(first);
    m_window->dlg.OpenPackageWhenIdle(second);
    question.hide();
    QTRY_COMPARE(m_window->dlg.packagePathField()->text(), second);
    // The first is not opened after it.
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    QCOMPARE(m_window->dialogs.texts(), QStringList({"UnZip file successfully"}));
    QCOMPARE(m_window->dlg.packagePathField()->text(), second);
}

void TestOpenFromElsewhere::dragAcceptsOnlyOneLocalZip_data() {
    QTest::addColumn<QStringList>("urls"); // "<dir>" stands for the packages' folder
    QTest::addColumn<bool>("accepted");
    QTest::newRow("one zip") << QStringList{"file://<dir>/a.zip"} << true;
    QTest::newRow("upper-case suffix") << QStringList{"file://<dir>/B.ZIP"} << true;
    QTest::newRow("two zips") << QStringList{"file://<dir>/a.zip", "file://<dir>/B.ZIP"} << false;
    QTest::newRow("an apk") << QStringList{"file://<dir>/Music.apk"} << false;
    QTest::newRow("a folder named .zip") << QStringList{"file://<dir>/folder.zip"} << false;
    QTest::newRow("missing zip") << QStringList{"file://<dir>/missing.zip"} << false;
    QTest::newRow("remote zip") << QStringList{"https://example.invalid/a.zip"} << false;
    QTest::newRow("no urls") << QStringList() << false;
}

void TestOpenFromElsewhere::dragAcceptsOnlyOneLocalZip() {
    QFETCH(QStringList, urls);
    QFETCH(bool, accepted);
    const QString dir = QFileInfo(writePackage("a.zip")).absolutePath();
    QVERIFY(QFile::copy(dir + "/a.zip", dir + "/B.ZIP"));
    QVERIFY(WriteFile(dir + "/Music.apk", "apk"));
    QVERIFY(QDir().mkpath(dir + "/folder.zip"));

    QMimeData data;
    QList<QUrl> list;
    for (QString url : urls)
        list << QUrl(url.replace("<dir>", dir));
    if (!list.isEmpty())
        data.setUrls(list);
    else
        data.setText("a.zip");
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&m_window->dlg, &enter);
    QCOMPARE(enter.isAccepted(), accepted);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&m_window->dlg, &drop);
    QCOMPARE(drop.isAccepted(), accepted);
    if (!accepted) {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        QVERIFY(m_window->dialogs.boxes.isEmpty());
        QVERIFY(m_window->dlg.packagePathField()->text().isEmpty());
    }
}

void TestOpenFromElsewhere::droppedPackageOpens() {
    const QString package = writePackage("dropped.zip");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(package)});
    QDragEnterEvent entered(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&m_window->dlg, &entered);
    QVERIFY(entered.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&m_window->dlg, &drop);
    QVERIFY(drop.isAccepted());
    // Opened after the drop's event, not inside it.
    QVERIFY(m_window->dlg.packagePathField()->text().isEmpty());
    QTRY_COMPARE(m_window->dlg.packagePathField()->text(), package);
    QCOMPARE(m_window->dialogs.texts(), QStringList({"UnZip file successfully"}));

    // While a run or a question is in progress, drops are refused.
    QDialog question(&m_window->dlg);
    question.setWindowModality(Qt::ApplicationModal);
    question.show();
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&m_window->dlg, &enter);
    QVERIFY(!enter.isAccepted());
    question.hide();
}

void TestOpenFromElsewhere::laterStartHandsItsPackageOver_data() {
    QTest::addColumn<QString>("given");  // relative to the later start's directory <cwd>
    QTest::addColumn<QString>("made");   // "file", "folder", "fifo" or "" (nothing there)
    QTest::addColumn<QString>("handed"); // what the window is asked to open
    QTest::newRow("no package") << ""
                                << ""
                                << "";
    QTest::newRow("relative") << "packages/update.zip"
                              << "file"
                              << "<cwd>/packages/update.zip";
    QTest::newRow("absolute, non-ASCII, blanks, line break") << "<cwd>/固件 builds/a\nb.zip"
                                                             << "file"
                                                             << "<cwd>/固件 builds/a\nb.zip";
    // Only a regular file is opened on another start's word; the window
    // still comes forward.
    QTest::newRow("missing") << "packages/gone.zip"
                             << ""
                             << "";
    QTest::newRow("folder") << "packages/folder.zip"
                            << "folder"
                            << "";
    QTest::newRow("fifo") << "packages/pipe.zip"
                          << "fifo"
                          << "";
}

void TestOpenFromElsewhere::laterStartHandsItsPackageOver() {
    QFETCH(QString, given);
    QFETCH(QString, made);
    QFETCH(QString, handed);
    QTemporaryDir workspace;
    QTemporaryDir cwd;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(cwd.path()));
    const auto restore = qScopeGuard([&] { QDir::setCurrent(previous); });
    given.replace("<cwd>", cwd.path());
    handed.replace("<cwd>", cwd.path());
    const QString target = QFileInfo(given).absoluteFilePath();
    if (!made.isEmpty())
        QVERIFY(QDir().mkpath(QFileInfo(target).absolutePath()));
    if (made == "file")
        QVERIFY(WriteFile(target, "PK"));
    else if (made == "folder")
        QVERIFY(QDir().mkpath(target));
    else if (made == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(target).constData(), 0600), 0);

    SingleInstance first(workspace.path());
    QCOMPARE(first.acquire(), SingleInstance::Result::Acquired);
    QSignalSpy requests(&first, &SingleInstance::activationRequested);

    // The later start is another process in life; here a thread, since it
    // waits for the answer.
    bool answered = false;
    std::unique_ptr<QThread> later(QThread::create([&] {
        SingleInstance instance(workspace.path());
        answered = instance.notifyFirstInstance(given);
    }));
    later->start();
    QTRY_VERIFY(later->isFinished());
    QVERIFY(answered);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.first().first().toString(), handed);
}

// The channel is no door for other users: a socket file in a folder only this
// user enters (nothing in the abstract namespace), messages of bounded size
// and form, a bounded number of callers.
void TestOpenFromElsewhere::channelIsPrivateAndBounded() {
    QTemporaryDir workspace;
    QTemporaryDir runtime;
    QVERIFY(QFile::setPermissions(runtime.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray previousRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const auto restore = qScopeGuard([&] { qputenv("XDG_RUNTIME_DIR", previousRuntime); });

    SingleInstance first(workspace.path());
    QCOMPARE(first.acquire(), SingleInstance::Result::Acquired);
    QVERIFY(first.socketPath().startsWith(runtime.path() + "/"));
    QVERIFY(QFileInfo(first.socketPath()).exists());
    QFile table("/proc/net/unix");
    QVERIFY(table.open(QIODevice::ReadOnly));
    QVERIFY(!table.readAll().contains("@" + first.key().toUtf8()));
    QSignalSpy requests(&first, &SingleInstance::activationRequested);

    // A message of another form, or longer than any path, is cut off.
    for (const QByteArray& bytes :
         {QByteArray("\x00\x00\x00\x10/etc/passwd", 15), QByteArray("corvane-instance 1\n99999\n/"),
          "corvane-instance 1\n5000\n/" + QByteArray(5000, 'a')}) {
        QLocalSocket socket;
        socket.connectToServer(first.socketPath());
        QVERIFY(socket.waitForConnected(3000));
        socket.write(bytes);
        socket.flush();
        QTRY_COMPARE(socket.state(), QLocalSocket::UnconnectedState);
    }
    QCOMPARE(requests.count(), 0);

    // Callers that say nothing take up a few places, no more.
    std::vector<std::unique_ptr<QLocalSocket>> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(std::make_unique<QLocalSocket>());
        idle.back()->connectToServer(first.socketPath());
    }
    QTRY_VERIFY(std::count_if(idle.begin(), idle.end(), [](const auto& socket) {
                    return socket->state() == QLocalSocket::UnconnectedState;
                }) >= 12);
    for (auto& socket : idle)
        socket->abort();
    idle.clear();

    // Another user's process is refused whatever it says (when this test may
    // take another user's identity).
    if (::geteuid() == 0) {
        const QByteArray path = QFile::encodeName(first.socketPath());
        // The folder is the user's own: another user cannot even reach the
        // socket; opened up, the peer check still refuses.
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::Permissions(0x7777)));
        QCOMPARE(::chmod(path.constData(), 0777), 0);
        // The child tells through a pipe how its request ended: '0' cut off,
        // '1' answered, other digits a failure of its own.
        const QByteArray message = "corvane-instance 1\n0\n";
        int report[2];
        QCOMPARE(::pipe(report), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            const auto end = [&](char code) {
                (void)!::write(report[1], &code, 1);
                ::_exit(0);
            };
            ::alarm(20);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                end('2');
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                end('3');
            if (::write(fd, message.constData(), size_t(message.size())) != message.size())
                end('4');
            char answer[2];
            end(::read(fd, answer, sizeof answer) > 0 ? '1' : '0');
        }
        ::close(report[1]);
        QCOMPARE(::fcntl(report[0], F_SETFL, O_NONBLOCK), 0);
        char code = 0;
        const auto reported = [&] {
            if (code == 0 && ::read(report[0], &code, 1) != 1)
                code = 0;
            return code != 0;
        };
        QTRY_VERIFY(reported());
        ::close(report[0]);
        ::waitpid(child, nullptr, 0);
        QCOMPARE(code, '0');
        QCOMPARE(requests.count(), 0);
        QVERIFY(QFile::setPermissions(runtime.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    // The user's own later start is still heard.
    bool answered = false;
    std::unique_ptr<QThread> later(QThread::create([&] {
        SingleInstance instance(workspace.path());
        answered = instance.notifyFirstInstance();
    }));
    later->start();
    QTRY_VERIFY(later->isFinished());
    QVERIFY(answered);
    QCOMPARE(requests.count(), 1);
}

void TestOpenFromElsewhere::unsavedEditsAreOfferedForSavingFirst_data() {
    QTest::addColumn<bool>("browse"); // else handed over by a later start
    QTest::addColumn<bool>("edited");
    QTest::addColumn<UiDialogs::Answer>("answer");
    QTest::addColumn<bool>("saveChosen"); // Yes: the save dialog is confirmed
    QTest::addColumn<bool>("replaced");
    using A = UiDialogs::Answer;
    QTest::newRow("no edits, no question") << true << false << A::No << false << true;
    QTest::newRow("browse, yes, saved") << true << true << A::Yes << true << true;
    QTest::newRow("browse, yes, save cancelled") << true << true << A::Yes << false << false;
    QTest::newRow("browse, no") << true << true << A::No << false << true;
    QTest::newRow("browse, question closed") << true << true << A::Closed << false << false;
    QTest::newRow("later start, yes, saved") << false << true << A::Yes << true << true;
    QTest::newRow("later start, no") << false << true << A::No << false << true;
    QTest::newRow("later start, question closed") << false << true << A::Closed << false << false;
}

// Another package replaces the open one only once its unsaved edits are
// saved or let go.
void TestOpenFromElsewhere::unsavedEditsAreOfferedForSavingFirst() {
    QFETCH(bool, browse);
    QFETCH(bool, edited);
    QFETCH(UiDialogs::Answer, answer);
    QFETCH(bool, saveChosen);
    QFETCH(bool, replaced);
    SetDriveClassifierForTesting([](const QString&) { return false; });
    const QString first = writePackage("first.zip");
    const QString second = writePackage("second.zip");
    m_window->open(first);
    QCOMPARE(m_window->dlg.packagePathField()->text(), first);
    const QByteArray editedProp = "ro.build.version.release=5\nro.customer=acme\n";
    if (edited)
        QVERIFY(WriteFile(m_window->file("srctemp/system/build.prop"), editedProp));
    m_window->dialogs.boxes.clear();
    m_window->dialogs.answers.enqueue(answer);
    const QString output = m_window->file("out/saved.zip");
    QDir().mkpath(m_window->file("out"));
    if (saveChosen)
        m_window->dialogs.saveResults.enqueue(output);

    if (browse) {
        m_window->open(second);
    } else {
        m_window->dlg.OpenPackageWhenIdle(second);
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents();
    }

    QStringList expected;
    if (edited)
        expected << "Do you want to save?";
    if (saveChosen)
        expected << "Save succeed";
    if (replaced)
        expected << "UnZip file successfully";
    QTRY_COMPARE(m_window->dialogs.texts(), expected);
    if (edited) {
        const auto& box = m_window->dialogs.boxes.constFirst();
        QCOMPARE(box.caption, QString("Velkor"));
        QCOMPARE(box.buttons, UiDialogs::Buttons::YesNo);
    }
    QCOMPARE(m_window->dlg.packagePathField()->text(), replaced ? second : first);
    // The edit is in the saved package, or still in the tree when kept.
    if (saveChosen)
        QCOMPARE(ReadZip(output).value("system/build.prop"), editedProp);
    if (!replaced)
        QCOMPARE(ReadFile(m_window->file("srctemp/system/build.prop")), editedProp);
    SetDriveClassifierForTesting(nullptr);
}

void TestOpenFromElsewhere::packageNamedAtStartAsksBeforeReplacingKeptWork_data() {
    QTest::addColumn<UiDialogs::Answer>("resume");
    QTest::addColumn<UiDialogs::Answer>("save");
    QTest::addColumn<bool>("replaced");
    using A = UiDialogs::Answer;
    QTest::newRow("not continued") << A::No << A::No << true;
    QTest::newRow("continued, not saved") << A::Yes << A::No << true;
    QTest::newRow("continued, question closed") << A::Yes << A::Closed << false;
}

// Start-up with kept work and a package on the command line: the kept work
// is offered first, and replaced only once the user lets it go.
void TestOpenFromElsewhere::packageNamedAtStartAsksBeforeReplacingKeptWork() {
    QFETCH(UiDialogs::Answer, resume);
    QFETCH(UiDialogs::Answer, save);
    QFETCH(bool, replaced);
    const QString kept = writePackage("kept.zip");
    const QString named = writePackage("named.zip");
    m_window->open(kept);
    m_window->dialogs.boxes.clear();
    // A later start finds the kept work (its state starts empty).
    m_window->state().setWorkingArchivePath(QString());
    m_window->dialogs.answers.enqueue(resume);
    m_window->dialogs.answers.enqueue(save);
    OfferToResume(m_window->app);
    m_window->dlg.OpenPackageWhenIdle(named);
    for (int i = 0; i < 10; ++i)
        QCoreApplication::processEvents();
    QStringList texts = m_window->dialogs.texts();
    QVERIFY(!texts.isEmpty());
    QVERIFY2(texts.takeFirst().startsWith("Do you want to continue the last operation?"),
             qPrintable(m_window->dialogs.texts().join('|')));
    QStringList expected;
    if (resume == UiDialogs::Answer::Yes)
        expected << "Do you want to save?";
    if (replaced)
        expected << "UnZip file successfully";
    QCOMPARE(texts, expected);
    QCOMPARE(m_window->dlg.packagePathField()->text(), replaced ? named : kept);
    if (!replaced)
        QVERIFY(FileHelpers::PathExists(m_window->file("srctemp/system/app/Music.apk")));
}

QTEST_MAIN(TestOpenFromElsewhere)
#include "tst_OpenFromElsewhere.moc"
