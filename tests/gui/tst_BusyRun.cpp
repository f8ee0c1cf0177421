#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QFileInfo>

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {

// A stand-in main window with the four controls the busy run disables, which
// records every change of their enabled state.
class MainControls : public QDialog {
public:
    MainControls() {
        for (const int id : {IDC_BROWSE, IDC_SAVE, IDC_CANCEL}) {
            auto* button = new QPushButton(this);
            SetControlId(button, id);
            button->installEventFilter(this);
        }
        auto* tab = new QTabWidget(this);
        SetControlId(tab, IDC_TAB);
        tab->installEventFilter(this);
    }
    bool allEnabled() const {
        for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
            if (!FindControl(this, id)->isEnabled())
                return false;
        return true;
    }
    QList<int> disabledOrder;
    int enableChanges = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::EnabledChange) {
            ++enableChanges;
            auto* widget = static_cast<QWidget*>(watched);
            if (!widget->isEnabled())
                disabledOrder << ControlId(widget);
        }
        return false;
    }
};

// Counts how often a widget is shown.
class ShowCounter : public QObject {
public:
    int shows = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Show)
            ++shows;
        return false;
    }
};

} // namespace

class TestBusyRun : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void dotSuffixes_data();
    void dotSuffixes();
    void missingToolNeverShowsOrDisables();
    void programThatEndsAtOnce();
    void exitCodeIsKept();
    void stoppedRunKillsAndNextRunWorks();
    void closeBoxStopsUnderModalMainWindow();
    void crashIsNotSuccess();
    void workingDirectoryIsUsed();

private:
    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<MainControls> m_main;
};

void TestBusyRun::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_main = std::make_unique<MainControls>();
    m_main->show();
    theApp().MainWindow = m_main.get();
    theApp().CreateBusyDialog();
}

void TestBusyRun::cleanup() {
    theApp().DestroyBusyDialog();
    m_main.reset();
    m_bundle.reset();
}

void TestBusyRun::dotSuffixes_data() {
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("suffix");
    QTest::newRow("0") << 0 << "";
    QTest::newRow("1") << 1 << ".";
    QTest::newRow("6") << 6 << "......";
    QTest::newRow("7 wraps") << 7 << "";
    QTest::newRow("8 wake-ups") << 8 << ".";
}

void TestBusyRun::dotSuffixes() {
    QFETCH(int, step);
    QFETCH(QString, suffix);
    QCOMPARE(BusyDotSuffix(step), suffix);
}

void TestBusyRun::missingToolNeverShowsOrDisables() {
    ShowCounter shows;
    theApp().BusyDialog->installEventFilter(&shows);
    const bool ok = theApp().RunToolWithBusyDialog(m_bundle->file("Config/no-such-tool"), {},
                                                   QString(), "Decompressing files", true);
    QVERIFY(!ok);
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::FailedToStart);
    QCOMPARE(shows.shows, 0);
    QCOMPARE(m_main->enableChanges, 0);
    QVERIFY(theApp().BusyDialog->isHidden());
}

void TestBusyRun::programThatEndsAtOnce() {
    ShowCounter shows;
    theApp().BusyDialog->installEventFilter(&shows);
    m_bundle->replaceToolWithScript("Config/7za", "exit 0");
    QVERIFY(theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {}, QString(),
                                           "Decompressing files", true));
    QCOMPARE(shows.shows, 1);
    QVERIFY(theApp().BusyDialog->isHidden());
    QCOMPARE(m_main->disabledOrder, QList<int>({IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL}));
    QVERIFY(m_main->allEnabled());
    QVERIFY(theApp().BusyDialog->busyText().startsWith("Decompressing files"));
    QVERIFY(!theApp().IsToolRunning());
}

void TestBusyRun::exitCodeIsKept() {
    m_bundle->replaceToolWithScript("Config/7za", "exit 2");
    // It ran to its end: the run itself succeeds, the code tells the rest.
    QVERIFY(theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {}, QString(), "x", true));
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::Exited);
    QCOMPARE(theApp().LastToolRun.exitCode, 2);
    QVERIFY(!theApp().LastToolRun.succeeded());
}

void TestBusyRun::stoppedRunKillsAndNextRunWorks() {
    const QString marker = m_bundle->file("still-running");
    m_bundle->replaceToolWithScript(
        "Config/7za",
        QString("sleep 30 </dev/null >/dev/null 2>&1\necho survived > '%1'").arg(marker));
    bool toolRunningSeen = false;
    QTimer::singleShot(200, [&] {
        toolRunningSeen =
            theApp().IsToolRunning() && theApp().BusyDialog->isVisible() && !m_main->allEnabled();
        theApp().BusyDialog->close(); // the close box
    });
    QVERIFY(!theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {}, QString(),
                                            "Decompressing files", true));
    QVERIFY(toolRunningSeen);
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::Stopped);
    QCOMPARE(theApp().BusyDialog->NotStopped, 1);
    QVERIFY(theApp().BusyDialog->isHidden());
    QVERIFY(m_main->allEnabled());
    QVERIFY(!FileHelpers::PathExists(marker));

    m_bundle->replaceToolWithScript("Config/7za", "exit 0");
    QVERIFY(theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {}, QString(), "x", true));
}

void TestBusyRun::closeBoxStopsUnderModalMainWindow() {
    // The main window runs modally; the busy dialog must still take the
    // user's input (a window blocked by a modal one ignores it).
    m_main->hide();
    m_main->setWindowModality(Qt::ApplicationModal);
    m_main->show();
    QCOMPARE(QApplication::activeModalWidget(), m_main.get());
    m_bundle->replaceToolWithScript("Config/7za", "exec sleep 30");
    bool stoppedByKey = false;
    QTimer::singleShot(200, [&] {
        QWindow* window = theApp().BusyDialog->windowHandle();
        if (window)
            QTest::keyClick(window, Qt::Key_Escape);
        stoppedByKey = theApp().BusyDialog->NotStopped == 0;
        if (!stoppedByKey)
            theApp().BusyDialog->reject();
    });
    QVERIFY(
        !theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {}, QString(), "x", true));
    QVERIFY2(stoppedByKey, "the busy dialog did not take the user's input");
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::Stopped);
}

void TestBusyRun::crashIsNotSuccess() {
    m_bundle->replaceToolWithScript("Config/7za", "kill -SEGV $$");
    QVERIFY(
        !theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {}, QString(), "x", true));
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::Crashed);
}

void TestBusyRun::workingDirectoryIsUsed() {
    const QString out = m_bundle->file("Config/cwd.txt");
    m_bundle->replaceToolWithScript("Config/7za", "pwd > cwd.txt");
    QVERIFY(theApp().RunToolWithBusyDialog(m_bundle->file("Config/7za"), {},
                                           m_bundle->file("Config"), "x", false));
    QCOMPARE(QString::fromUtf8(ReadFile(out)).trimmed(),
             QFileInfo(m_bundle->file("Config")).canonicalFilePath());
}

QTEST_MAIN(TestBusyRun)
#include "tst_BusyRun.moc"
