#include "gui/CApkEditView.h"
#include "gui/CCorvaneApp.h"
#include "gui/QtUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

// The real question boxes, answered the way a user answers them.
class TestQuestions : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void escapeLeavesYesNoQuestionOpen();
    void escapeClosesPlainMessage();
    void deleteKeyAsksOnce_data();
    void deleteKeyAsksOnce();

private:
    // Acts on every question box that comes up (the modal loop runs it),
    // counting them; act returns whether the box is done with.
    void whileBoxesCome(const std::function<void(QMessageBox*)>& act) {
        m_timer = std::make_unique<QTimer>();
        m_timer->setInterval(20);
        connect(m_timer.get(), &QTimer::timeout, this, [this, act] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || box->property("seen").toBool())
                return;
            box->setProperty("seen", true);
            ++m_boxes;
            act(box);
        });
        m_timer->start();
    }
    static QAbstractButton* button(QMessageBox* box, QMessageBox::StandardButton which) {
        return box->button(which);
    }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<CCorvaneApp> m_app;
    QtUiDialogs m_dialogs;
    std::unique_ptr<QTimer> m_timer;
    int m_boxes = 0;
};

void TestQuestions::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    UiDialogs::setInstance(&m_dialogs);
    m_boxes = 0;
}

void TestQuestions::cleanup() {
    m_timer.reset();
    UiDialogs::setInstance(nullptr);
    m_app.reset();
    m_bundle.reset();
}

void TestQuestions::escapeLeavesYesNoQuestionOpen() {
    // Escape on a Yes/No question does nothing: the box has no Cancel, and
    // Escape must not answer No for the user.
    bool openAfterEscape = false;
    whileBoxesCome([&](QMessageBox* box) {
        QTest::keyClick(box, Qt::Key_Escape);
        openAfterEscape = box->isVisible();
        QTimer::singleShot(0, box, [box] { button(box, QMessageBox::Yes)->click(); });
    });
    const UiDialogs::Answer answer = m_dialogs.messageBox(
        nullptr, "Are you sure?", "Velkor", UiDialogs::Buttons::YesNo, UiDialogs::Icon::None);
    QVERIFY(openAfterEscape);
    QCOMPARE(answer, UiDialogs::Answer::Yes);
    QCOMPARE(m_boxes, 1);
}

void TestQuestions::escapeClosesPlainMessage() {
    whileBoxesCome([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); });
    const UiDialogs::Answer answer = m_dialogs.messageBox(
        nullptr, "Done", "Velkor", UiDialogs::Buttons::Ok, UiDialogs::Icon::None);
    QCOMPARE(answer, UiDialogs::Answer::Ok);
}

void TestQuestions::deleteKeyAsksOnce_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Delete") << int(Qt::Key_Delete) << int(Qt::NoModifier);
    QTest::newRow("keypad decimal") << int(Qt::Key_Period) << int(Qt::KeypadModifier);
}

void TestQuestions::deleteKeyAsksOnce() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QVERIFY(WriteFile(m_bundle->file("srctemp/system/app/Music.apk"), "apk"));
    QVERIFY(QDir().mkpath(m_bundle->file("zipTemp")));
    QVERIFY(WriteZip(m_bundle->file("zipTemp/temp.zip"), {{"system/app/Music.apk", "apk"}}));
    m_app->State().setWorkingArchivePath(m_bundle->file("zipTemp/temp.zip"));
    CApkEditView page(*m_app, Partition::System);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    page.RefreshApkList();
    page.ApkList()->item(0)->setSelected(true);
    page.ApkList()->setFocus();
    // Answered No: nothing is deleted, and no second question follows.
    QStringList texts;
    whileBoxesCome([&texts](QMessageBox* box) {
        texts << box->text();
        QTimer::singleShot(0, box, [box] {
            if (QAbstractButton* no = button(box, QMessageBox::No))
                no->click();
            else
                box->accept();
        });
    });
    QTest::keyClick(page.ApkList(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTest::qWait(300);
    QCOMPARE(texts, QStringList{"Are you sure to delete?"});
    QCOMPARE(page.ApkCount(), 1);
}

QTEST_MAIN(TestQuestions)
#include "tst_Questions.moc"
