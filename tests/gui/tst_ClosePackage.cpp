#include "core/base/DriveType.h"
#include "core/base/FileHelpers.h"
#include "core/workspace/ChangeLog.h"
#include "core/workspace/WorkspaceRecord.h"
#include "gui/GuiReporter.h"
#include "gui/Startup.h"
#include "support/PackageFixture.h"
#include "support/ZipFixture.h"

#include <QTest>

class TestClosePackage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void closingWithoutPackageWritesEmptyLog();
    void yesThenCancelledSaveStillCloses();
    void yesSavesThenCloses();
    void failedLogWriteIsReportedAndJournalKept();
    void logLinesWrittenAndNextStartOffersToResume();

private:
    QString file(const QString& relative) const { return m_window->file(relative); }
    // A line recorded as an edit records it (the run's lines and the journal).
    void record(const QString& line) {
        GuiReporter reporter(nullptr);
        RecordChange(m_window->app.Op(reporter), line);
    }
    void keepOpenPackage();

    std::unique_ptr<PackageWindow> m_window;
    ScriptedUiDialogs* m_dialogs = nullptr;
    CCorvaneDlg* m_dlg = nullptr;
};

void TestClosePackage::init() {
    SetDriveClassifierForTesting([](const QString&) { return false; });
    m_window = std::make_unique<PackageWindow>();
    m_dialogs = &m_window->dialogs;
    m_dlg = &m_window->dlg;
    QVERIFY(WriteFile(file("log.txt"), "log of an earlier run\r\n"));
    m_dlg->show();
}

void TestClosePackage::cleanup() {
    SetDriveClassifierForTesting(nullptr);
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_window.reset();
}

// A tree and working archive of a completely opened package.
void TestClosePackage::keepOpenPackage() {
    QVERIFY(WriteZip(file("zipTemp/temp.zip"), {{"logo.img", "logo"}}));
    QVERIFY(WriteFile(file("srctemp/logo.img"), "logo"));
    WorkspaceRecord record;
    record.stage = WorkspaceRecord::Stage::Open;
    record.package = file("packages/update.zip");
    QVERIFY(record.write(file("zipTemp/workspace.state")));
    m_window->state().setWorkingArchivePath(file("zipTemp/temp.zip"));
}

void TestClosePackage::closingWithoutPackageWritesEmptyLog() {
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Do you want to save?"}));
    QVERIFY(!m_dlg->isVisible());
    QVERIFY(FileHelpers::PathExists(file("log.txt")));
    QCOMPARE(ReadFile(file("log.txt")), QByteArray());
    QVERIFY(FileHelpers::PathExists(file("Apktemp")));
    QVERIFY(FileHelpers::PathExists(file("zipTemp")));
}

void TestClosePackage::yesThenCancelledSaveStillCloses() {
    keepOpenPackage();
    record("2015- 3- 5  9: 5: 7: DELETE \"x\"");
    QVERIFY(FileHelpers::PathExists(file("zipTemp/log.journal")));
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(ReadFile(file("log.txt")), QByteArray("2015- 3- 5  9: 5: 7: DELETE \"x\"\r\n"));
    QVERIFY(m_window->state().changeLog().isEmpty());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/log.journal")));
}

void TestClosePackage::yesSavesThenCloses() {
    keepOpenPackage();
    m_dialogs->answers.enqueue(UiDialogs::Answer::Yes);
    m_dialogs->saveResults.enqueue(file("saved.zip"));
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Do you want to save?", "Save succeed"}));
    QCOMPARE(ReadZip(file("saved.zip")).value("logo.img"), QByteArray("logo"));
    QVERIFY(!m_dlg->isVisible());
}

// The log does not reach its file: the user is told, the window still
// closes, and the journal keeps the lines for the next start.
void TestClosePackage::failedLogWriteIsReportedAndJournalKept() {
    record("first");
    const QString log = file("log.txt");
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::WriteFile && path.startsWith(log);
    });
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    m_dlg->OnCancelClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Do you want to save?", "Failed to write log.txt"}));
    QCOMPARE(m_dialogs->boxes[1].icon, UiDialogs::Icon::Exclamation);
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(ReadFile(file("zipTemp/log.journal")), QByteArray("first\n"));
}

void TestClosePackage::logLinesWrittenAndNextStartOffersToResume() {
    keepOpenPackage();
    record("first");
    record("second 中文");
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    m_dlg->OnCancelClicked();
    QCOMPARE(ReadFile(file("log.txt")), QByteArray("first\r\nsecond \xD6\xD0\xCE\xC4\r\n"));
    QVERIFY(FileHelpers::PathExists(file("srctemp/logo.img")));

    ScriptedUiDialogs nextStart;
    nextStart.answers.enqueue(UiDialogs::Answer::Yes);
    CCorvaneApp next(m_window->bundle.path());
    OfferToResume(next);
    QCOMPARE(nextStart.texts(),
             QStringList(
                 {"Do you want to continue the last operation?\n\nPackage: update.zip\nFolder: " +
                  file("packages")}));
    QCOMPARE(next.State().workingArchivePath(), file("zipTemp/temp.zip"));
    // The closed run's lines are in log.txt, not carried again.
    QVERIFY(next.State().changeLog().isEmpty());
}

QTEST_MAIN(TestClosePackage)
#include "tst_ClosePackage.moc"
