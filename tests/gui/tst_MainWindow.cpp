#include "core/base/FileHelpers.h"
#include "core/package/PackageTools.h"
#include "gui/CApkEditView.h"
#include "gui/CConfigView.h"
#include "gui/CImageView.h"
#include "gui/DialogBuilder.h"
#include "gui/ProgressDialog.h"
#include "support/PackageFixture.h"

#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startWithoutKeptTree();
    void keptTreeVersionIsProbed();
    void templateGeometry_data();
    void templateGeometry();
    void firmwareLabelAndTabOrder();
    void pageSwitching();
    void controlLookupsStayOnTheirPage();
    void apkTabReReadsItsDirectory();
    void escapeAndCloseBoxAskToSave_data();
    void escapeAndCloseBoxAskToSave();
    void cancelIgnoredWhileToolRuns();
    void enterRunsSaveUnlessOnAnotherButton();

private:
    QString file(const QString& relative) const { return m_bundle->file(relative); }
    // The window over the test's workspace, not yet initialised.
    void makeWindow() {
        m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
        m_dlg = std::make_unique<CCorvaneDlg>(*m_app);
    }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneApp> m_app;
    std::unique_ptr<CCorvaneDlg> m_dlg;
};

// One known font, so that the template's pixel sizes can be written down.
void TestMainWindow::initTestCase() {
    QApplication::setFont(QFont("DejaVu Sans"));
    QCOMPARE(QFontInfo(DialogFont(8)).family(), QString("DejaVu Sans"));
}

void TestMainWindow::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
}

void TestMainWindow::cleanup() {
    m_dlg.reset();
    m_app.reset();
    m_dialogs.reset();
    m_bundle.reset();
}

void TestMainWindow::controlLookupsStayOnTheirPage() {
    // The image and settings pages share the ids 1006 to 1008: a lookup from
    // the window finds neither page's button, a lookup from a page its own.
    makeWindow();
    QVERIFY(m_dlg->OnInitDialog());
    QCOMPARE(int(IDC_REPLACE_LOGO), int(IDC_OPEN_BUILD_PROP));
    QCOMPARE(FindControl(m_dlg.get(), IDC_REPLACE_LOGO), nullptr);
    auto* logo = Control<QPushButton>(m_dlg->ImagePage(), IDC_REPLACE_LOGO);
    auto* buildProp = Control<QPushButton>(m_dlg->SettingsPage(), IDC_OPEN_BUILD_PROP);
    QVERIFY(logo && buildProp && logo != buildProp);
    QVERIFY(logo->text().contains("logo", Qt::CaseInsensitive));
    QVERIFY(buildProp->text().contains("build.prop", Qt::CaseInsensitive));
    QVERIFY(Control<QPushButton>(m_dlg.get(), IDC_BROWSE));
}

void TestMainWindow::startWithoutKeptTree() {
    makeWindow();
    QVERIFY(m_dlg->OnInitDialog());
    m_dlg->show();
    QCOMPARE(m_dlg->windowTitle(), QString("Velkor V4.0.0.0"));
    QCOMPARE(m_dlg->minimumSize(), m_dlg->maximumSize());
    QVERIFY(m_dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(!(m_dlg->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(m_dlg->TabControl()->count(), 4);
    const QStringList tabs{"Image", "System Pre-installed APK", "Data Pre-installed APK",
                           "Settings"};
    for (int i = 0; i < 4; ++i)
        QCOMPARE(m_dlg->TabControl()->tabText(i), tabs[i]);
    QVERIFY(m_dlg->ImagePage()->isVisible());
    QVERIFY(!m_dlg->SystemApkPage()->isVisible());
    QCOMPARE(m_dlg->SystemApkPage()->PagePartition(), Partition::System);
    QCOMPARE(m_dlg->DataApkPage()->PagePartition(), Partition::Data);
    QCOMPARE(m_dlg->SystemApkPage()->RootDirectory(), file("srctemp/system"));
    QCOMPARE(m_dlg->DataApkPage()->RootDirectory(), file("srctemp/userdata"));
    QCOMPARE(m_dlg->ImagePage()->RootDirectory(), file("srctemp"));
    QCOMPARE(m_dlg->SettingsPage()->RootDirectory(), file("srctemp"));
    QCOMPARE(m_dlg->SystemApkPage()->ApkList()->count(), 0);
    QCOMPARE(m_app->State().androidMajorVersion(), 4);
    QCOMPARE(m_app->MainWindow(), m_dlg.get());
    QVERIFY(FileHelpers::PathExists(file("Apktemp")));
    QVERIFY(FileHelpers::PathExists(file("zipTemp")));
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void TestMainWindow::keptTreeVersionIsProbed() {
    QVERIFY(WriteFile(file("srctemp/system/build.prop"), "ro.build.version.release=5.1.1\n"));
    QVERIFY(WriteFile(file("srctemp/system/app/Browser/Browser.apk"), "apk"));
    makeWindow();
    m_dlg->OnInitDialog();
    QCOMPARE(m_app->State().androidMajorVersion(), 5);
    // Listed as soon as the tab is selected, before any package is opened.
    m_dlg->TabControl()->setCurrentIndex(1);
    QCOMPARE(m_dlg->SystemApkPage()->ApkPaths(),
             QStringList({file("srctemp/system/app/Browser/Browser.apk")}));
}

// Pixel positions of template 102 in DejaVu Sans 8 pt at 96 dpi (10.67 px),
// worked out from the font's own metrics (2048 units per em):
//   the advances of A-Z and a-z add up to 65813 units = 342.8 px, so the
//   average character width is 342 / 26 = 13 and the horizontal base unit
//   (13 + 1) / 2 = 7 px per 4 dialog units;
//   ascender 1901 and descender 483 units are 9.9 and 2.5 px, whole pixels
//   10 + 3, so the vertical base unit is 13 px per 8 dialog units.
// Each number is units * 7 / 4 or units * 13 / 8, halves rounded up.
void TestMainWindow::templateGeometry_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("Save (146, 329, 50, 14)") << int(IDC_SAVE) << QRect(256, 535, 88, 23);
    QTest::newRow("Cancel (357, 329, 50, 14)") << int(IDC_CANCEL) << QRect(625, 535, 88, 23);
    QTest::newRow("Tab (7, 42, 542, 280)") << int(IDC_TAB) << QRect(12, 68, 949, 455);
    QTest::newRow("Path (51, 18, 425, 15)") << int(IDC_PACKAGE_PATH) << QRect(89, 29, 744, 24);
    QTest::newRow("Browse (489, 18, 52, 15)") << int(IDC_BROWSE) << QRect(856, 29, 91, 24);
}

void TestMainWindow::templateGeometry() {
    QFETCH(int, id);
    QFETCH(QRect, pixels);
    makeWindow();
    QCOMPARE(m_dlg->font().pointSize(), 8);
    QCOMPARE(FindControl(m_dlg.get(), id)->geometry(), pixels);
    // 556 x 350 units.
    QCOMPARE(m_dlg->size(), QSize(973, 569));
    QVERIFY(Control<QLineEdit>(m_dlg.get(), IDC_PACKAGE_PATH)->isReadOnly());
}

// "Firmware" is centred in its rectangle (7, 20, 30, 8); the tab control is
// no tab stop: Tab moves between the buttons, the path and the page.
void TestMainWindow::firmwareLabelAndTabOrder() {
    makeWindow();
    QLabel* firmware = nullptr;
    for (QLabel* label : m_dlg->findChildren<QLabel*>())
        if (label->text() == "Firmware" && label->parentWidget() == m_dlg.get())
            firmware = label;
    QVERIFY(firmware);
    QCOMPARE(firmware->geometry(), QRect(12, 33, 53, 13));
    QCOMPARE(firmware->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    QCOMPARE(firmware->focusPolicy(), Qt::NoFocus);

    QVERIFY(m_dlg->OnInitDialog());
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    m_dlg->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
    QCOMPARE(m_dlg->TabControl()->focusPolicy(), Qt::NoFocus);
    Control<QPushButton>(m_dlg.get(), IDC_SAVE)->setFocus();
    // Round the whole chain, back to Save.
    QList<int> visited;
    for (int i = 0; i < 40 && !visited.contains(IDC_SAVE); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        QVERIFY(focus);
        QVERIFY2(focus != m_dlg->TabControl() && focus != m_dlg->TabControl()->tabBar(),
                 "the tab control took the focus");
        visited << ControlId(focus);
    }
    for (const int id : {IDC_CANCEL, IDC_PACKAGE_PATH, IDC_BROWSE, IDC_SAVE})
        QVERIFY2(visited.contains(id), qPrintable(QString::number(id)));
}

void TestMainWindow::pageSwitching() {
    makeWindow();
    m_dlg->OnInitDialog();
    m_dlg->show();
    const QList<QWidget*> pages{m_dlg->ImagePage(), m_dlg->SystemApkPage(), m_dlg->DataApkPage(),
                                m_dlg->SettingsPage()};
    for (const int tab : {1, 2, 3, 0, 2}) {
        m_dlg->TabControl()->setCurrentIndex(tab);
        for (int i = 0; i < pages.size(); ++i)
            QCOMPARE(pages[i]->isVisible(), i == tab);
        // Each page fills the area below the tab headers.
        QVERIFY(pages[tab]->width() > m_dlg->TabControl()->width() - 20);
    }
}

void TestMainWindow::apkTabReReadsItsDirectory() {
    QVERIFY(WriteFile(file("srctemp/system/app/Music.apk"), "apk"));
    makeWindow();
    m_dlg->OnInitDialog();
    m_dlg->show();
    m_dlg->TabControl()->setCurrentIndex(1);
    QCOMPARE(m_dlg->SystemApkPage()->ApkCount(), 1);
    m_dlg->SystemApkPage()->ApkList()->selectAll();
    m_dlg->SystemApkPage()->deleteButton()->setEnabled(true);

    QVERIFY(WriteFile(file("srctemp/system/app/Camera.apk"), "apk"));
    m_dlg->TabControl()->setCurrentIndex(0);
    m_dlg->TabControl()->setCurrentIndex(1);
    QCOMPARE(m_dlg->SystemApkPage()->ApkCount(), 2);
    QVERIFY(!m_dlg->SystemApkPage()->deleteButton()->isEnabled());
    // The data page lists only its own partition.
    m_dlg->TabControl()->setCurrentIndex(2);
    QCOMPARE(m_dlg->DataApkPage()->ApkCount(), 0);
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
    makeWindow();
    m_dlg->OnInitDialog();
    m_app->CreateBusyDialog();
    m_dlg->show();
    m_dialogs->answers.enqueue(UiDialogs::Answer::No);
    if (how.endsWith("on last tab"))
        m_dlg->TabControl()->setCurrentIndex(3);
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
    QVERIFY(m_dlg->SystemApkPage() == nullptr);
    QVERIFY(m_app->BusyDialog() == nullptr);
    QVERIFY(FileHelpers::PathExists(file("log.txt")));
}

void TestMainWindow::cancelIgnoredWhileToolRuns() {
    makeWindow();
    m_dlg->OnInitDialog();
    m_app->CreateBusyDialog();
    m_dlg->show();
    m_bundle->replaceToolWithScript("Config/7za", "exec sleep 30");
    bool stillOpen = false;
    QTimer::singleShot(200, [&] {
        QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
        m_dlg->close();
        m_dlg->reject();
        stillOpen = m_dlg->isVisible() && m_app->BusyDialog() != nullptr;
        m_app->BusyDialog()->reject();
    });
    QVERIFY(ExtractArchive(m_app->Runner(), m_app->State().paths(), file("x.zip"), file("out"))
                .failed());
    QVERIFY(stillOpen);
    QVERIFY(m_dialogs->boxes.isEmpty());
    QVERIFY(m_dlg->isVisible());
}

void TestMainWindow::enterRunsSaveUnlessOnAnotherButton() {
    makeWindow();
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
