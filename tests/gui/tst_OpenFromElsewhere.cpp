#include "core/base/FileHelpers.h"
#include "gui/CImageView.h"
#include "gui/SingleInstance.h"
#include "support/PackageFixture.h"

#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUrl>

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
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("handed"); // "<cwd>/" stands for the later start's directory
    QTest::newRow("no package") << ""
                                << "";
    QTest::newRow("relative") << "packages/update.zip"
                              << "<cwd>/packages/update.zip";
    QTest::newRow("absolute, non-ASCII, blanks") << "/srv/固件 builds/a\nb.zip"
                                                 << "/srv/固件 builds/a\nb.zip";
}

void TestOpenFromElsewhere::laterStartHandsItsPackageOver() {
    QFETCH(QString, given);
    QFETCH(QString, handed);
    QTemporaryDir workspace;
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
    QCOMPARE(requests.first().first().toString(),
             QString(handed).replace("<cwd>", QDir::currentPath()));
}

QTEST_MAIN(TestOpenFromElsewhere)
#include "tst_OpenFromElsewhere.moc"
