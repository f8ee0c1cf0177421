#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/CApkEditView.h"
#include "gui/CImageView.h"
#include "gui/CConfigView.h"
#include "gui/DialogBuilder.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void startWithoutKeptTree();
    void keptTreeVersionIsProbed();
    void templateGeometry_data();
    void templateGeometry();
    void pageSwitching();
    void apkTabReReadsItsDirectory();
    void escapeAndCloseBoxAskToSave_data();
    void escapeAndCloseBoxAskToSave();
    void cancelIgnoredWhileToolRuns();
    void enterRunsSaveUnlessOnAnotherButton();

private:
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneDlg> m_dlg;
};

void TestMainWindow::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
}

void TestMainWindow::cleanup() {
    m_dlg.reset();
    theApp().DestroyBusyDialog();
    m_dialogs.reset();
    m_bundle.reset();
}

void TestMainWindow::startWithoutKeptTree() {
    m_dlg = std::make_unique<CCorvaneDlg>();
    QVERIFY(m_dlg->OnInitDialog());
    m_dlg->show();
    QCOMPARE(m_dlg->windowTitle(), QString("Velkor V4.0.0.0"));
    QCOMPARE(m_dlg->minimumSize(), m_dlg->maximumSize());
    QVERIFY(m_dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(m_dlg->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(m_dlg->TabControl->count(), 4);
    const QStringList tabs{"Image", "System Pre-installed APK", "Data Pre-installed APK",
                           "Settings"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(m_dlg->TabControl->tabText(i), tabs[i]);
    QVERIFY(m_dlg->ImagePage->isVisible());
    QVERIFY(!m_dlg->SystemApkPage->isVisible());
    QCOMPARE(m_dlg->SystemApkPage->IsSystemPage, 1);
    QCOMPARE(m_dlg->DataApkPage->IsSystemPage, 0);
    QCOMPARE(m_dlg->SystemApkPage->RootDirectory, m_bundle->file("srctemp/system"));
    QCOMPARE(m_dlg->DataApkPage->RootDirectory, m_bundle->file("srctemp/userdata"));
    QCOMPARE(m_dlg->ImagePage->RootDirectory, m_bundle->file("srctemp"));
    QCOMPARE(m_dlg->SettingsPage->RootDirectory, m_bundle->file("srctemp"));
    QCOMPARE(m_dlg->SystemApkPage->ApkList->count(), 0);
    QCOMPARE(theApp().AndroidMajorVersion, 4);
    QCOMPARE(theApp().MainWindow.data(), m_dlg.get());
    QVERIFY(FileHelpers::PathExists(m_bundle->file("Apktemp")));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("zipTemp")));
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void TestMainWindow::keptTreeVersionIsProbed() {
    QVERIFY(
        WriteFile(m_bundle->file("srctemp/system/build.prop"), "ro.build.version.release=5.1.1\n"));
    QVERIFY(WriteFile(m_bundle->file("srctemp/system/app/Browser/Browser.apk"), "apk"));
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    QCOMPARE(theApp().AndroidMajorVersion, 5);
    // Listed as soon as the tab is selected, before any package is opened.
    m_dlg->TabControl->setCurrentIndex(1);
    QCOMPARE(m_dlg->SystemApkPage->ApkPaths,
             QStringList({m_bundle->file("srctemp/system/app/Browser/Browser.apk")}));
}

void TestMainWindow::templateGeometry_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QRect>("units");
    QTest::newRow("Save") << int(IDC_SAVE) << QRect(146, 329, 50, 14);
    QTest::newRow("Cancel") << int(IDC_CANCEL) << QRect(357, 329, 50, 14);
    QTest::newRow("Tab") << int(IDC_TAB) << QRect(7, 42, 542, 280);
    QTest::newRow("Path") << int(IDC_PACKAGE_PATH) << QRect(51, 18, 425, 15);
    QTest::newRow("Browse") << int(IDC_BROWSE) << QRect(489, 18, 52, 15);
}

void TestMainWindow::templateGeometry() {
    QFETCH(int, id);
    QFETCH(QRect, units);
    CCorvaneDlg dlg;
    const DialogUnits du(dlg.font());
    QCOMPARE(FindControl(&dlg, id)->geometry(),
             du.toPixels(units.x(), units.y(), units.width(), units.height()));
    QCOMPARE(dlg.size(), QSize(du.toPixelsX(556), du.toPixelsY(350)));
    QVERIFY(Control<QLineEdit>(&dlg, IDC_PACKAGE_PATH)->isReadOnly());
    QVERIFY(dlg.font().pointSize() == 8);
}

void TestMainWindow::pageSwitching() {
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    m_dlg->show();
    const QList<QWidget*> pages{m_dlg->ImagePage, m_dlg->SystemApkPage, m_dlg->DataApkPage,
                                m_dlg->SettingsPage};
    for (const int tab : {1, 2, 3, 0, 2}) {
        m_dlg->TabControl->setCurrentIndex(tab);
        for (int i = 0; i < pages.size(); ++i)
            QCOMPARE(pages[i]->isVisible(), i == tab);
        // Each page fills the area below the tab headers.
        QVERIFY(pages[tab]->width() > m_dlg->TabControl->width() - 20);
    }
}

void TestMainWindow::apkTabReReadsItsDirectory() {
    QVERIFY(WriteFile(m_bundle->file("srctemp/system/app/Music.apk"), "apk"));
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    m_dlg->show();
    m_dlg->TabControl->setCurrentIndex(1);
    QCOMPARE(m_dlg->SystemApkPage->ApkCount, 1);
    m_dlg->SystemApkPage->ApkList->selectAll();
    m_dlg->SystemApkPage->deleteButton()->setEnabled(true);

    QVERIFY(WriteFile(m_bundle->file("srctemp/system/app/Camera.apk"), "apk"));
    m_dlg->TabControl->setCurrentIndex(0);
    m_dlg->TabControl->setCurrentIndex(1);
    QCOMPARE(m_dlg->SystemApkPage->ApkCount, 2);
    QVERIFY(!m_dlg->SystemApkPage->deleteButton()->isEnabled());
    // The data page lists only its own partition.
    m_dlg->TabControl->setCurrentIndex(2);
    QCOMPARE(m_dlg->DataApkPage->ApkCount, 0);
}

void TestMainWindow::escapeAndCloseBoxAskToSave_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Cancel button") << "button";
    QTest::newRow("Escape key") << "escape";
    QTest::newRow("close box") << "close";
    QTest::newRow("close box on the last tab") << "close on last tab";
}

void TestMainWindow::escapeAndCloseBoxAskToSave() {
    QFETCH(QString, how);
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    theApp().CreateBusyDialog();
    m_dlg->show();
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    if (how.endsWith("on last tab"))
        m_dlg->TabControl->setCurrentIndex(3);
    if (how == "button")
        Control<QPushButton>(m_dlg.get(), IDC_CANCEL)->click();
    else if (how == "escape")
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
    else
        m_dlg->close();
    QCOMPARE(m_dialogs->texts(), QStringList({"Do you want to save?"}));
    QCOMPARE(m_dialogs->boxes[0].caption, QString("Velkor"));
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(m_dlg->result(), int(QDialog::Rejected));
    QVERIFY(m_dlg->SystemApkPage == nullptr);
    QVERIFY(theApp().BusyDialog == nullptr);
    QVERIFY(FileHelpers::PathExists(m_bundle->file("log.txt")));
}

void TestMainWindow::cancelIgnoredWhileToolRuns() {
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    theApp().CreateBusyDialog();
    m_dlg->show();
    m_bundle->replaceToolWithScript("Config/7za", "exec sleep 30");
    bool stillOpen = false;
    QTimer::singleShot(200, [&] {
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
        m_dlg->close();
        m_dlg->reject();
        stillOpen = m_dlg->isVisible() && theApp().BusyDialog != nullptr;
        theApp().BusyDialog->reject();
    });
    QVERIFY(!theApp().ExtractArchive(m_bundle->file("x.zip"), m_bundle->file("out")));
    QVERIFY(stillOpen);
    QVERIFY(m_dialogs->boxes.isEmpty());
    QVERIFY(m_dlg->isVisible());
}

void TestMainWindow::enterRunsSaveUnlessOnAnotherButton() {
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    m_dlg->activateWindow();
    m_dlg->packagePathField()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(m_dialogs->texts(), QStringList({"Please open a firmware package first!"}));
    QVERIFY(m_dialogs->fileDialogs.isEmpty());

    Control<QPushButton>(m_dlg.get(), IDC_BROWSE)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(m_dialogs->fileDialogs.size(), 1); // Browse's open dialog, cancelled
    QCOMPARE(m_dialogs->boxes.size(), 1);
    QVERIFY(m_dlg->isVisible());
}

QTEST_MAIN(TestMainWindow)
#include "tst_MainWindow.moc"
