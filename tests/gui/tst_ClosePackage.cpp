#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/Startup.h"
#include "core/DriveType.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"
#include "core/FileHelpers.h"

#include <QTest>

class TestClosePackage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void closingWithoutPackageWritesEmptyLog();
    void yesThenCancelledSaveStillCloses();
    void yesSavesThenCloses();
    void logLinesWrittenAndNextStartOffersToResume();

private:
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneDlg> m_dlg;
};

void TestClosePackage::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    SetDriveClassifierForTesting([](const QString&) { return false; });
    QVERIFY(WriteFile(m_bundle->file("log.txt"), "log of an earlier run\r\n"));
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    theApp().CreateBusyDialog();
    m_dlg->show();
}

void TestClosePackage::cleanup() {
    SetDriveClassifierForTesting(nullptr);
    m_dlg.reset();
    theApp().DestroyBusyDialog();
    m_dialogs.reset();
    m_bundle.reset();
}

void TestClosePackage::closingWithoutPackageWritesEmptyLog() {
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Do you want to save?"}));
    QVERIFY(!m_dlg->isVisible());
    QVERIFY(FileHelpers::PathExists(m_bundle->file("log.txt")));
    QCOMPARE(ReadFile(m_bundle->file("log.txt")), QByteArray());
    QVERIFY(FileHelpers::PathExists(m_bundle->file("Apktemp")));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("zipTemp")));
}

void TestClosePackage::yesThenCancelledSaveStillCloses() {
    QVERIFY(WriteZip(m_bundle->file("zipTemp/temp.zip"), {{"logo.img", "logo"}}));
    theApp().WorkingArchivePath = m_bundle->file("zipTemp/temp.zip");
    theApp().ChangeLog << "2015- 3- 5  9: 5: 7: DELETE \"x\"";
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(ReadFile(m_bundle->file("log.txt")),
             QByteArray("2015- 3- 5  9: 5: 7: DELETE \"x\"\r\n"));
    QVERIFY(theApp().ChangeLog.isEmpty());
}

void TestClosePackage::yesSavesThenCloses() {
    QVERIFY(WriteZip(m_bundle->file("zipTemp/temp.zip"), {{"logo.img", "logo"}}));
    theApp().WorkingArchivePath = m_bundle->file("zipTemp/temp.zip");
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_dialogs->saveResults.enqueue(m_bundle->file("saved.zip"));
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Do you want to save?", "Save succeed"}));
    QCOMPARE(ReadZip(m_bundle->file("saved.zip")).value("logo.img"), QByteArray("logo"));
    QVERIFY(!m_dlg->isVisible());
}

void TestClosePackage::logLinesWrittenAndNextStartOffersToResume() {
    QVERIFY(WriteFile(m_bundle->file("srctemp/logo.img"), "logo"));
    theApp().ChangeLog << "first"
                       << "second 中文";
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    m_dlg->OnCancelClicked();
    QCOMPARE(ReadFile(m_bundle->file("log.txt")),
             QByteArray("first\r\nsecond \xD6\xD0\xCE\xC4\r\n"));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("srctemp/logo.img")));

    ScriptedUiDialogs nextStart;
    nextStart.answers.enqueue(UiDialogs::Answer::Yes);
    OfferToResume();
    QCOMPARE(nextStart.texts(), QStringList({"Do you want to continue the last operation?"}));
}

QTEST_MAIN(TestClosePackage)
#include "tst_ClosePackage.moc"
