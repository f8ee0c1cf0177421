#include "gui/QtUiDialogs.h"
#include "gui/RecentFolders.h"
#include "support/TestBundle.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

Q_DECLARE_METATYPE(UiDialogs::FileKind)

// The real file dialogs start in the folder last used for their kind, and
// the folder is kept in the user's settings for the next run.
class TestRecentFolders : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void dialogStartsInTheFolderLastUsedForItsKind_data();
    void dialogStartsInTheFolderLastUsedForItsKind();
    void saveDialogStartsThereToo();
    void folderThatIsGoneIsNotOffered();
    void firstDialogStartsInTheUsersHome();
    void addDialogTakesATypedNameOfAnyFile();

private:
    // Answers the next file dialog with the file, noting where it started.
    void answerNextDialog(const QString& file);
    QString dir(const QString& relative) const {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        return path;
    }

    QTemporaryDir m_dir;
    QString m_startedIn;
};

void TestRecentFolders::initTestCase() {
    QVERIFY(m_dir.isValid());
}

void TestRecentFolders::init() {
    // A fresh settings directory per test: never the user's.
    static int round = 0;
    const QString settings = dir(QStringLiteral("settings-%1/").arg(++round));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings);
    m_startedIn.clear();
}

void TestRecentFolders::answerNextDialog(const QString& file) {
    QTimer::singleShot(0, this, [this, file] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        m_startedIn = dialog->directory().absolutePath();
        dialog->selectFile(file);
        static_cast<QDialog*>(dialog)->accept();
    });
}

void TestRecentFolders::dialogStartsInTheFolderLastUsedForItsKind_data() {
    QTest::addColumn<UiDialogs::FileKind>("kind");
    QTest::addColumn<UiDialogs::FileKind>("other");
    using K = UiDialogs::FileKind;
    QTest::newRow("packages") << K::Package << K::Apk;
    QTest::newRow("apks") << K::Apk << K::Image;
    QTest::newRow("images") << K::Image << K::Package;
}

void TestRecentFolders::dialogStartsInTheFolderLastUsedForItsKind() {
    QFETCH(UiDialogs::FileKind, kind);
    QFETCH(UiDialogs::FileKind, other);
    const QString chosen = dir(QStringLiteral("chosen 固件/a.bin"));
    QVERIFY(WriteFile(chosen, "x"));
    const QString elsewhere = dir(QStringLiteral("elsewhere/b.bin"));
    QVERIFY(WriteFile(elsewhere, "x"));

    {
        QtUiDialogs dialogs;
        answerNextDialog(chosen);
        QCOMPARE(dialogs.openFileNames(nullptr, "*.bin (*.bin)", false, kind), QStringList{chosen});
        answerNextDialog(elsewhere);
        QCOMPARE(dialogs.openFileNames(nullptr, "*.bin (*.bin)", true, other),
                 QStringList{elsewhere});
    }

    // A later run: each kind starts in its own folder.
    QtUiDialogs dialogs;
    answerNextDialog(chosen);
    dialogs.openFileNames(nullptr, "*.bin (*.bin)", false, kind);
    QCOMPARE(m_startedIn, QFileInfo(chosen).absolutePath());
    answerNextDialog(elsewhere);
    dialogs.openFileNames(nullptr, "*.bin (*.bin)", false, other);
    QCOMPARE(m_startedIn, QFileInfo(elsewhere).absolutePath());
}

void TestRecentFolders::saveDialogStartsThereToo() {
    const QString opened = dir(QStringLiteral("packages/update.zip"));
    QVERIFY(WriteFile(opened, "zip"));
    QtUiDialogs dialogs;
    answerNextDialog(opened);
    dialogs.openFileNames(nullptr, "*.zip (*.zip)", false, UiDialogs::FileKind::Package);

    // Saving starts beside the opened package; where it saves is remembered.
    const QString saved = dir(QStringLiteral("out/new.zip"));
    answerNextDialog(saved);
    QCOMPARE(dialogs.saveFileName(nullptr, "*.zip (*.zip)", "update", "zip",
                                  UiDialogs::FileKind::Package),
             saved);
    QCOMPARE(m_startedIn, QFileInfo(opened).absolutePath());
    QCOMPARE(RecentFolders::folder(UiDialogs::FileKind::Package), QFileInfo(saved).absolutePath());
}

void TestRecentFolders::folderThatIsGoneIsNotOffered() {
    const QString chosen = dir(QStringLiteral("removed/a.apk"));
    QVERIFY(WriteFile(chosen, "apk"));
    RecentFolders::remember(UiDialogs::FileKind::Apk, chosen);
    QCOMPARE(RecentFolders::folder(UiDialogs::FileKind::Apk), QFileInfo(chosen).absolutePath());
    QVERIFY(QDir(QFileInfo(chosen).absolutePath()).removeRecursively());
    QCOMPARE(RecentFolders::folder(UiDialogs::FileKind::Apk), QString());
    // Cancelling remembers nothing.
    QtUiDialogs dialogs;
    QTimer::singleShot(0, this, [] {
        if (QWidget* dialog = QApplication::activeModalWidget())
            qobject_cast<QDialog*>(dialog)->reject();
    });
    QVERIFY(dialogs.openFileNames(nullptr, "*.img (*.img)", false, UiDialogs::FileKind::Image)
                .isEmpty());
    QCOMPARE(RecentFolders::folder(UiDialogs::FileKind::Image), QString());
}

void TestRecentFolders::firstDialogStartsInTheUsersHome() {
    const QString home = dir(QStringLiteral("home/user/"));
    const QByteArray previous = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    const auto restore = qScopeGuard([&] { qputenv("HOME", previous); });
    QtUiDialogs dialogs;
    for (const UiDialogs::FileKind kind :
         {UiDialogs::FileKind::Package, UiDialogs::FileKind::Apk, UiDialogs::FileKind::Image}) {
        QTimer::singleShot(0, this, [this] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            m_startedIn = dialog->directory().absolutePath();
            dialog->reject();
        });
        dialogs.openFileNames(nullptr, "*.zip (*.zip)", false, kind);
        QCOMPARE(m_startedIn, QDir(home).absolutePath());
    }
    QTimer::singleShot(0, this, [this] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        m_startedIn = dialog->directory().absolutePath();
        dialog->reject();
    });
    dialogs.saveFileName(nullptr, "*.zip (*.zip)", "update", "zip", UiDialogs::FileKind::Package);
    QCOMPARE(m_startedIn, QDir(home).absolutePath());
}

// The add's question about a name that is no APK's is reachable from the
// dialog: its Open button takes a typed name of any file.
void TestRecentFolders::addDialogTakesATypedNameOfAnyFile() {
    const QString notes = dir(QStringLiteral("apks/notes.txt"));
    QVERIFY(WriteFile(notes, "text"));
    QVERIFY(WriteFile(dir(QStringLiteral("apks/Music.apk")), "apk"));
    RecentFolders::remember(UiDialogs::FileKind::Apk, notes);
    bool openEnabled = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QVERIFY(name && box);
        QTest::keyClicks(name, QStringLiteral("notes.txt"));
        QPushButton* open = box->button(QDialogButtonBox::Open);
        QVERIFY(open);
        // The model lists the folder on a thread of its own.
        QTRY_VERIFY(open->isEnabled());
        openEnabled = true;
        open->click();
    });
    QtUiDialogs dialogs;
    QCOMPARE(dialogs.openFileNames(nullptr, "*.apk (*.apk)", true, UiDialogs::FileKind::Apk),
             QStringList{notes});
    QVERIFY(openEnabled);
}

QTEST_MAIN(TestRecentFolders)
#include "tst_RecentFolders.moc"
