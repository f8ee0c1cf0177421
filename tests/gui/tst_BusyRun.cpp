#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/package/PackageTools.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "gui/DialogTemplates.h"
#include "gui/ProgressDialog.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWindow>

namespace {

// A stand-in main window with the four controls a busy run disables, which
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

const QList<int> kDisableOrder{IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL};

} // namespace

// The busy dialog of the windows: CCorvaneApp watches its runner's programs.
class TestBusyRun : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void dotSuffixes_data();
    void dotSuffixes();
    void missingToolNeverShowsOrDisables();
    void programThatEndsAtOnce();
    void dotsAdvanceOnlyOnTicks();
    void percentageShownWhenReported();
    void closeBoxStopsAndNextRunWorks();
    void escapeStopsUnderModalMainWindow();
    void backgroundWorkShowsTheDialog();
    void closeBoxStopsBackgroundWork();
    void apkSigningRunsBehindTheDialog();

private:
    QString file(const QString& relative) const { return m_bundle->file(relative); }
    bool extract(QString* error = nullptr);

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<MainControls> m_main;
    std::unique_ptr<CCorvaneApp> m_app;
    ShowCounter m_shows;
};

void TestBusyRun::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(WriteZip(file("pkg.zip"), {{"a.txt", "a"}}));
    m_main = std::make_unique<MainControls>();
    m_main->show();
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    m_app->SetMainWindow(m_main.get());
    m_app->CreateBusyDialog();
    m_shows.shows = 0;
    m_app->BusyDialog()->installEventFilter(&m_shows);
}

void TestBusyRun::cleanup() {
    m_app.reset();
    m_main.reset();
    m_bundle.reset();
}

bool TestBusyRun::extract(QString* error) {
    const Result result =
        ExtractArchive(m_app->Runner(), m_app->State().paths(), file("pkg.zip"), file("out"));
    if (error)
        *error = result.cause();
    return result.succeeded();
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
    m_bundle->removeTool("Config/7za");
    QString error;
    QVERIFY(!extract(&error));
    QVERIFY2(error.contains("could not be started"), qPrintable(error));
    QCOMPARE(m_shows.shows, 0);
    QCOMPARE(m_main->enableChanges, 0);
    QVERIFY(m_app->BusyDialog()->isHidden());
    QVERIFY(!m_app->IsToolRunning());
}

void TestBusyRun::programThatEndsAtOnce() {
    m_bundle->replaceToolWithScript("Config/7za", "exit 0");
    QVERIFY(extract());
    QCOMPARE(m_shows.shows, 1);
    QVERIFY(m_app->BusyDialog()->isHidden());
    QCOMPARE(m_main->disabledOrder, kDisableOrder);
    QVERIFY(m_main->allEnabled());
    QCOMPARE(m_app->BusyDialog()->busyText(), QString("Decompressing files"));
    QVERIFY(!m_app->IsToolRunning());
    QVERIFY(m_app->BusyDialog()->Runner() == nullptr);
}

void TestBusyRun::dotsAdvanceOnlyOnTicks() {
    // A quiet program of one second: the dots move a few times a second, so
    // the step advances a handful of times, never at the pace of a spin.
    m_bundle->replaceToolWithScript("Config/7za", "exec sleep 1");
    QStringList texts;
    bool controlsDisabledWhileRunning = true;
    QTimer sample;
    sample.setInterval(50);
    connect(&sample, &QTimer::timeout, this, [&] {
        if (!m_app->IsToolRunning())
            return;
        const QString text = m_app->BusyDialog()->busyText();
        if (texts.isEmpty() || texts.last() != text)
            texts << text;
        controlsDisabledWhileRunning = controlsDisabledWhileRunning && !m_main->allEnabled();
    });
    sample.start();
    QVERIFY(extract());
    sample.stop();
    QVERIFY2(m_app->BusyStep() >= 2 && m_app->BusyStep() <= 11,
             qPrintable(QStringLiteral("BusyStep %1").arg(m_app->BusyStep())));
    QCOMPARE(m_shows.shows, 1);
    QVERIFY(controlsDisabledWhileRunning);
    QVERIFY(m_main->allEnabled());
    QCOMPARE(m_main->disabledOrder, kDisableOrder);
    // Every text seen is the busy text with its dots, and they moved.
    QVERIFY2(texts.size() >= 2, qPrintable(texts.join('|')));
    for (const QString& text : texts) {
        QVERIFY(text.startsWith("Decompressing files"));
        QCOMPARE(text.mid(19), QString(text.size() - 19, '.'));
    }
    QCOMPARE(m_app->BusyDialog()->busyText(),
             "Decompressing files" + BusyDotSuffix(m_app->BusyStep() - 1));
}

void TestBusyRun::percentageShownWhenReported() {
    // 7-Zip rewrites its percentage in place; the tool waits until the
    // dialog has shown 55% before it finishes.
    const QString seen = file("seen");
    m_bundle->replaceToolWithScript("Config/7za",
                                    QString("printf ' 10%%\\b\\b\\b\\b 55%%'\n"
                                            "while [ ! -e '%1' ]; do sleep 0.02; done\n"
                                            "printf '\\r100%%\\n'")
                                        .arg(seen));
    QStringList shown;
    QTimer sample;
    sample.setInterval(20);
    connect(&sample, &QTimer::timeout, this, [&] {
        const QString text = m_app->BusyDialog()->progressText();
        if (!text.isEmpty() && (shown.isEmpty() || shown.last() != text))
            shown << text;
        if (text == "55%")
            WriteFile(seen, "");
    });
    sample.start();
    QVERIFY(extract());
    sample.stop();
    QVERIFY2(shown.contains("55%"), qPrintable(shown.join('|')));
    QVERIFY2(shown.indexOf("10%") <= shown.indexOf("55%"), qPrintable(shown.join('|')));
    QVERIFY(m_app->BusyDialog()->progressText().isEmpty());

    // The next run starts without the old percentage, and a program that
    // reports none never shows one.
    m_bundle->replaceToolWithScript("Config/7za", "sleep 0.3");
    shown.clear();
    sample.start();
    QVERIFY(extract());
    sample.stop();
    QVERIFY2(shown.isEmpty(), qPrintable(shown.join('|')));
    QCOMPARE(m_shows.shows, 2);
}

void TestBusyRun::closeBoxStopsAndNextRunWorks() {
    const QString marker = file("still-running");
    const QString started = file("started");
    const QString cue = file("cue");
    m_bundle->replaceToolWithScript(
        "Config/7za", QString("touch '%1'\nwhile [ ! -e '%2' ]; do sleep 0.05; done\necho x > '%3'")
                          .arg(started, cue, marker));
    bool runningSeen = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!QFileInfo::exists(started))
            return;
        poll.stop();
        runningSeen =
            m_app->IsToolRunning() && m_app->BusyDialog()->isVisible() && !m_main->allEnabled();
        m_app->BusyDialog()->close(); // the close box
    });
    poll.start();
    QString error;
    QVERIFY(!extract(&error));
    QVERIFY(runningSeen);
    QVERIFY2(error.contains("stopped"), qPrintable(error));
    QVERIFY(m_app->BusyDialog()->isHidden());
    QVERIFY(m_main->allEnabled());
    QVERIFY(!m_app->IsToolRunning());
    // Killed: the loop that waits for its cue is gone with it.
    QVERIFY(WriteFile(cue, ""));
    QTest::qWait(300);
    QVERIFY(!QFileInfo::exists(marker));

    m_bundle->replaceToolWithScript("Config/7za", "exit 0");
    QVERIFY(extract());
    QCOMPARE(m_shows.shows, 2);
}

void TestBusyRun::escapeStopsUnderModalMainWindow() {
    // The main window runs modally; the busy dialog must still take the
    // user's input (a window blocked by a modal one ignores it).
    m_main->hide();
    m_main->setWindowModality(Qt::ApplicationModal);
    m_main->show();
    QCOMPARE(QApplication::activeModalWidget(), m_main.get());
    const QString started = file("started");
    m_bundle->replaceToolWithScript("Config/7za",
                                    QString("touch '%1'\nexec sleep 30").arg(started));
    bool stoppedByKey = false;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!QFileInfo::exists(started))
            return;
        poll.stop();
        if (QWindow* window = m_app->BusyDialog()->windowHandle())
            QTest::keyClick(window, Qt::Key_Escape);
        stoppedByKey = m_app->BusyDialog()->isHidden();
        if (!stoppedByKey)
            m_app->BusyDialog()->reject();
    });
    poll.start();
    QString error;
    QVERIFY(!extract(&error));
    QVERIFY2(stoppedByKey, "the busy dialog did not take the user's input");
    QVERIFY2(error.contains("stopped"), qPrintable(error));
}

void TestBusyRun::backgroundWorkShowsTheDialog() {
    bool workRan = false;
    QVERIFY(m_app->Runner().runInBackground("Compressing files", [&] {
        workRan = true;
        return true;
    }));
    QVERIFY(workRan);
    QCOMPARE(m_shows.shows, 1);
    QCOMPARE(m_main->disabledOrder, kDisableOrder);
    QVERIFY(m_main->allEnabled());
    QVERIFY(m_app->BusyDialog()->busyText().startsWith("Compressing files"));
    QVERIFY(m_app->BusyDialog()->isHidden());
    QVERIFY(!m_app->IsToolRunning());
}

void TestBusyRun::closeBoxStopsBackgroundWork() {
    ToolRunner& runner = m_app->Runner();
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&] {
        if (!m_app->BusyDialog()->isVisible())
            return;
        poll.stop();
        m_app->BusyDialog()->close(); // the close box
    });
    poll.start();
    bool sawStop = false;
    QVERIFY(!runner.runInBackground("Signing files", [&] {
        for (int i = 0; i < 1000 && !runner.stopRequested(); ++i)
            QThread::msleep(10);
        sawStop = runner.stopRequested();
        return !sawStop;
    }));
    QVERIFY(sawStop);
    QVERIFY(m_app->BusyDialog()->isHidden());
    QVERIFY(m_main->allEnabled());
    QVERIFY(!m_app->IsToolRunning());
}

// The add's APK signing works in-process behind the busy dialog, as the tools
// run.
void TestBusyRun::apkSigningRunsBehindTheDialog() {
    bool runningWhenSigned = false;
    SetFaultPointHookForTesting([&](const char* name) {
        if (QByteArray(name) == "apk:signed")
            runningWhenSigned = m_app->IsToolRunning();
        return FaultAction::None;
    });
    const Result result =
        SignArchive(m_app->Runner(), m_app->State().paths(),
                    TestBundle::buildBundle() + "/samples/add/Notes.apk", file("Notes.apk"));
    SetFaultPointHookForTesting(nullptr);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    QVERIFY(runningWhenSigned);
    QCOMPARE(m_shows.shows, 1);
    QVERIFY(!m_app->BusyDialog()->isVisible());
    QVERIFY(m_main->allEnabled());
}

QTEST_MAIN(TestBusyRun)
#include "tst_BusyRun.moc"
