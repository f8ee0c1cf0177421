// The APK list page: list set-up, refresh from disk, layout, Delete enabling,
// context menu, keys and dropped files.
#include "core/base/FileHelpers.h"
#include "core/crypto/ApkSigner.h"
#include "core/package/ApkNameRule.h"
#include "gui/CApkEditView.h"
#include "gui/CCorvaneApp.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QHelpEvent>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

namespace {

const QString kQuestion = QStringLiteral("Are you sure to delete?");

QStringList RowTexts(const CApkEditView& page) {
    QStringList texts;
    for (int row = 0; row < page.ApkList()->count(); ++row)
        texts << page.ApkList()->item(row)->text();
    return texts;
}

// The list and ApkPaths agree: same count, row i names entry i.
void VerifyInvariant(const CApkEditView& page) {
    QCOMPARE(page.ApkList()->count(), page.ApkCount());
    QCOMPARE(page.ApkPaths().size(), page.ApkCount());
    for (int row = 0; row < page.ApkCount(); ++row)
        QCOMPARE(page.ApkList()->item(row)->text(), FileNamePart(page.ApkPaths().at(row)));
}

} // namespace

class TestApkEditView : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void listSetUp();
    void refresh_data();
    void refresh();
    void refreshRebuildsCompletely();
    void resize_data();
    void resize();
    void deleteButtonFollowsClicksAndSelection();
    void contextMenu_data();
    void contextMenu();
    void contextCommands();
    void keys_data();
    void keys();
    void drops();
    void toolTipTellsWhatTheApkIs_data();
    void toolTipTellsWhatTheApkIs();
    void toolTipFollowsTheRebuiltList();

private:
    QString Tree() const { return m_app->State().paths().extractedTree(); }
    // Writes the files (relative to the extracted tree) and returns a page of
    // the given partition.
    std::unique_ptr<CApkEditView> MakePage(bool systemPage, const QStringList& files,
                                           QWidget* parent = nullptr) {
        for (const QString& file : files)
            WriteFile(Tree() + "/" + file, "apk");
        return std::make_unique<CApkEditView>(
            *m_app, systemPage ? Partition::System : Partition::Data, parent);
    }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<CCorvaneApp> m_app;
};

void TestApkEditView::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
}

void TestApkEditView::cleanup() {
    m_app.reset();
    m_bundle.reset();
}

void TestApkEditView::listSetUp() {
    auto page = MakePage(true, {"system/app/Music.apk"});
    QListWidget* list = page->ApkList();
    QVERIFY(list);
    QCOMPARE(list, page->findChild<QListWidget*>("IDC_1003"));
    QCOMPARE(list->viewMode(), QListView::IconMode);
    QCOMPARE(list->iconSize(), QSize(32, 32));
    QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);
    QVERIFY(!list->isSortingEnabled());
    QVERIFY(page->acceptDrops());
    QCOMPARE(list->count(), 0); // filled only by a refresh
    QVERIFY(page->addButton()->isEnabled());
    QVERIFY(!page->deleteButton()->isEnabled());

    QCOMPARE(page->RootDirectory(), Tree() + "/system");
    page->RefreshApkList();
    QCOMPARE(page->ApkCount(), 1);
    QCOMPARE(page->ApkPaths(), QStringList{Tree() + "/system/app/Music.apk"});
    QCOMPARE(list->count(), 1);
    QVERIFY(!list->item(0)->icon().isNull());
    QCOMPARE(list->item(0)->text(), QStringLiteral("Music.apk"));
}

void TestApkEditView::refresh_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("systemPage");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("rows"); // paths relative to the tree, in row order

    const QStringList bothLayouts{"system/app/Music.apk", "system/app/Browser/Browser.apk",
                                  "system/priv-app/Settings.apk",
                                  "system/priv-app/Phone/Phone.apk"};
    QTest::newRow("4: flat only, app before priv-app")
        << 4 << true << bothLayouts
        << QStringList{"system/app/Music.apk", "system/priv-app/Settings.apk"};
    QTest::newRow("6: flat only") << 6 << true << bothLayouts
                                  << QStringList{"system/app/Music.apk",
                                                 "system/priv-app/Settings.apk"};
    QTest::newRow("5: both layouts")
        << 5 << true << bothLayouts
        << QStringList{"system/app/Browser/Browser.apk", "system/app/Music.apk",
                       "system/priv-app/Phone/Phone.apk", "system/priv-app/Settings.apk"};
    QTest::newRow("5: odex and libraries give no rows")
        << 5 << true
        << QStringList{"system/app/Browser/Browser.apk", "system/app/Browser/oat/arm/Browser.odex",
                       "system/app/Browser/lib/arm/libfoo.so"}
        << QStringList{"system/app/Browser/Browser.apk"};
    QTest::newRow("4: data page never lists priv-app")
        << 4 << false
        << QStringList{"userdata/app/A.apk", "userdata/priv-app/B.apk", "system/app/C.apk"}
        << QStringList{"userdata/app/A.apk"};
    QTest::newRow("5: data page never lists priv-app")
        << 5 << false
        << QStringList{"userdata/app/A/A.apk", "userdata/priv-app/B/B.apk", "system/app/C.apk"}
        << QStringList{"userdata/app/A/A.apk"};
    QTest::newRow("4: extension in any case, not .apk.bak")
        << 4 << true << QStringList{"system/app/CAMERA.APK", "system/app/Camera.apk.bak"}
        << QStringList{"system/app/CAMERA.APK"};
    QTest::newRow("4: a directory named like an apk is descended into")
        << 4 << true << QStringList{"system/app/Extra.apk/Inner.apk", "system/app/Music.apk"}
        << QStringList{"system/app/Extra.apk/Inner.apk", "system/app/Music.apk"};
    QTest::newRow("5: names ending in apk without a full stop")
        << 5 << true << QStringList{"system/app/Browserapk", "system/app/B/Browser.xapk"}
        << QStringList{"system/app/B/Browser.xapk", "system/app/Browserapk"};
    QTest::newRow("4: same name in app and priv-app")
        << 4 << true << QStringList{"system/app/Same.apk", "system/priv-app/Same.apk"}
        << QStringList{"system/app/Same.apk", "system/priv-app/Same.apk"};
    QTest::newRow("4: no app directory")
        << 4 << true << QStringList{"system/build.prop"} << QStringList{};
}

void TestApkEditView::refresh() {
    QFETCH(int, version);
    QFETCH(bool, systemPage);
    QFETCH(QStringList, files);
    QFETCH(QStringList, rows);

    m_app->State().setAndroidMajorVersion(version);
    auto page = MakePage(systemPage, files);
    page->RefreshApkList();

    QStringList paths;
    QStringList texts;
    for (const QString& row : rows) {
        paths << Tree() + "/" + row;
        texts << FileNamePart(row);
    }
    QCOMPARE(page->ApkPaths(), paths);
    QCOMPARE(RowTexts(*page), texts);
    VerifyInvariant(*page);
}

void TestApkEditView::refreshRebuildsCompletely() {
    auto page = MakePage(true, {"system/app/A.apk", "system/app/B.apk", "system/app/C.apk"});
    page->RefreshApkList();
    page->RefreshApkList();
    QCOMPARE(RowTexts(*page), (QStringList{"A.apk", "B.apk", "C.apk"}));

    QVERIFY(QFile::remove(Tree() + "/system/app/B.apk"));
    QVERIFY(WriteFile(Tree() + "/system/priv-app/D.apk", "apk"));
    page->RefreshApkList();
    QCOMPARE(RowTexts(*page), (QStringList{"A.apk", "C.apk", "D.apk"}));
    VerifyInvariant(*page);

    // Without a tree (cleared by a failed open) the page lists nothing.
    QVERIFY(QDir(Tree()).removeRecursively());
    page->RefreshApkList();
    QCOMPARE(page->ApkCount(), 0);
    VerifyInvariant(*page);
}

void TestApkEditView::resize_data() {
    QTest::addColumn<QSize>("client");
    QTest::addColumn<QRect>("list");
    QTest::addColumn<QRect>("add");
    QTest::addColumn<QRect>("remove");

    QTest::newRow("600 x 300") << QSize(600, 300) << QRect(0, 0, 520, 300)
                               << QRect(530, 100, 59, 23) << QRect(530, 200, 59, 23);
    QTest::newRow("height 100") << QSize(600, 100) << QRect(0, 0, 520, 100)
                                << QRect(530, 33, 59, 23) << QRect(530, 66, 59, 23);
    QTest::newRow("odd height") << QSize(401, 299) << QRect(0, 0, 321, 299)
                                << QRect(331, 99, 59, 23) << QRect(331, 199, 59, 23);
}

void TestApkEditView::resize() {
    QFETCH(QSize, client);
    QFETCH(QRect, list);
    QFETCH(QRect, add);
    QFETCH(QRect, remove);

    auto page = MakePage(true, {});
    page->show();
    page->resize(client);
    QCOMPARE(page->size(), client);
    QCOMPARE(page->ApkList()->geometry(), list);
    QCOMPARE(page->addButton()->geometry(), add);
    QCOMPARE(page->deleteButton()->geometry(), remove);
}

void TestApkEditView::deleteButtonFollowsClicksAndSelection() {
    auto page = MakePage(true, {"system/app/A.apk", "system/app/B.apk"});
    page->show();
    page->resize(600, 300);
    page->RefreshApkList();
    QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    QPushButton* remove = page->deleteButton();
    QWidget* viewport = page->ApkList()->viewport();

    // A click on a row enables Delete.
    const QPoint onRow = page->ApkList()->visualItemRect(page->ApkList()->item(1)).center();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, onRow);
    QVERIFY(page->ApkList()->item(1)->isSelected());
    QVERIFY(remove->isEnabled());

    // A click on an empty part disables it.
    const QPoint empty(viewport->width() - 5, viewport->height() - 5);
    QVERIFY(!page->ApkList()->itemAt(empty));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, empty);
    QVERIFY(!remove->isEnabled());

    // Selection changes and hovering ask the rows.
    page->ApkList()->item(0)->setSelected(true);
    QVERIFY(remove->isEnabled());
    QVERIFY(page->UpdateDeleteButton());
    remove->setEnabled(false);
    QTest::mouseMove(viewport, empty);
    QVERIFY(remove->isEnabled());
    page->ApkList()->clearSelection();
    QVERIFY(!remove->isEnabled());
    remove->setEnabled(true);
    QVERIFY(!page->UpdateDeleteButton());
    QVERIFY(!remove->isEnabled());
}

void TestApkEditView::contextMenu_data() {
    QTest::addColumn<bool>("selected");
    QTest::newRow("no row selected") << false;
    QTest::newRow("a row selected") << true;
}

void TestApkEditView::contextMenu() {
    QFETCH(bool, selected);
    auto page = MakePage(true, {"system/app/A.apk", "system/app/B.apk"});
    page->RefreshApkList();
    page->ApkList()->item(1)->setSelected(selected);
    page->deleteButton()->setEnabled(!selected);

    std::unique_ptr<QMenu> menu(page->BuildContextMenu(page.get()));
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions.at(0)->text(), QStringLiteral("Add"));
    QCOMPARE(actions.at(0)->data().toInt(), 50000);
    QVERIFY(actions.at(0)->isEnabled());
    QCOMPARE(actions.at(1)->text(), QStringLiteral("Delete"));
    QCOMPARE(actions.at(1)->data().toInt(), 50001);
    QCOMPARE(actions.at(1)->isEnabled(), selected);
    QCOMPARE(page->deleteButton()->isEnabled(), selected);
}

void TestApkEditView::contextCommands() {
    ScriptedUiDialogs dialogs;
    m_app->State().setWorkingArchivePath(m_bundle->file("zipTemp/temp.zip"));
    auto page = MakePage(true, {"system/app/A.apk"});
    page->RefreshApkList();

    // A dismissed menu does nothing.
    page->RunContextCommand(0);
    QVERIFY(dialogs.boxes.isEmpty());
    QVERIFY(dialogs.fileDialogs.isEmpty());

    // Delete asks even without a selection; No leaves everything.
    page->RunContextCommand(CApkEditView::ID_MENU_DELETE);
    QCOMPARE(dialogs.texts(), QStringList{kQuestion});
    QVERIFY(FileHelpers::PathExists(Tree() + "/system/app/A.apk"));
    QCOMPARE(page->ApkCount(), 1);

    // Add asks for files.
    page->RunContextCommand(CApkEditView::ID_MENU_ADD);
    QCOMPARE(dialogs.fileDialogs.size(), 1);
    QCOMPARE(dialogs.boxes.size(), 1);
}

void TestApkEditView::keys_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("startsDelete");

    const int none = Qt::NoModifier;
    const int keypad = Qt::KeypadModifier;
    for (const char* target : {"list", "add", "delete", "page"}) {
        const QByteArray t(target);
        const QString name = QString::fromLatin1(t);
        QTest::newRow(t + ": Escape") << name << int(Qt::Key_Escape) << none << false;
        QTest::newRow(t + ": Return") << name << int(Qt::Key_Return) << none << false;
        QTest::newRow(t + ": keypad Enter") << name << int(Qt::Key_Enter) << keypad << false;
        QTest::newRow(t + ": Delete") << name << int(Qt::Key_Delete) << none << true;
        QTest::newRow(t + ": keypad Delete") << name << int(Qt::Key_Delete) << keypad << true;
        QTest::newRow(t + ": keypad decimal") << name << int(Qt::Key_Period) << keypad << true;
        QTest::newRow(t + ": Backspace") << name << int(Qt::Key_Backspace) << none << false;
    }
}

void TestApkEditView::keys() {
    QFETCH(QString, target);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, startsDelete);

    ScriptedUiDialogs dialogs;
    m_app->State().setWorkingArchivePath(m_bundle->file("zipTemp/temp.zip"));

    // The page inside a dialog, where Escape would reject and Return would
    // press the focused (auto-default) button.
    QDialog host;
    auto page = MakePage(true, {"system/app/A.apk", "system/app/B.apk"}, &host);
    auto* layout = new QVBoxLayout(&host);
    layout->addWidget(page.get());
    host.show();
    host.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&host));
    page->RefreshApkList();
    page->deleteButton()->setEnabled(true);

    QWidget* receiver = target == "list"     ? static_cast<QWidget*>(page->ApkList())
                        : target == "add"    ? page->addButton()
                        : target == "delete" ? page->deleteButton()
                                             : static_cast<QWidget*>(page.get());
    receiver->setFocus();
    QCOMPARE(QApplication::focusWidget(), receiver);

    QTest::keyClick(receiver, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    // Once only, wherever the focus lies; nothing deleted after No.
    QCOMPARE(dialogs.texts(), startsDelete ? QStringList{kQuestion} : QStringList{});
    QVERIFY(dialogs.fileDialogs.isEmpty());
    QVERIFY(host.isVisible());
    QCOMPARE(host.result(), 0);
    QCOMPARE(page->ApkCount(), 2);
    QVERIFY(FileHelpers::PathExists(Tree() + "/system/app/A.apk"));
}

void TestApkEditView::drops() {
    ScriptedUiDialogs dialogs;
    m_app->State().setWorkingArchivePath(m_bundle->file("zipTemp/temp.zip"));
    auto page = MakePage(true, {});
    page->show();
    page->resize(600, 300);

    // Local files are taken, whole and in Unicode; other addresses are not.
    const QString dropped = m_bundle->file(QString::fromUtf8("in box/\u00e9t\u00e9 \u6d4f.apk"));
    QMimeData files;
    files.setUrls(
        {QUrl(QStringLiteral("https://example.org/Remote.apk")), QUrl::fromLocalFile(dropped)});
    QMimeData remoteOnly;
    remoteOnly.setUrls({QUrl(QStringLiteral("https://example.org/Remote.apk"))});
    QMimeData text;
    text.setText(dropped);

    QDragEnterEvent acceptable(QPoint(10, 10), Qt::CopyAction, &files, Qt::LeftButton,
                               Qt::NoModifier);
    acceptable.ignore();
    QApplication::sendEvent(page.get(), &acceptable);
    QVERIFY(acceptable.isAccepted());
    for (QMimeData* refused : {&remoteOnly, &text}) {
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, refused, Qt::LeftButton,
                              Qt::NoModifier);
        enter.ignore();
        QApplication::sendEvent(page.get(), &enter);
        QVERIFY(!enter.isAccepted());
    }

    // The drop hands the local path to the add procedure, which reports the
    // missing file by its full path.
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page.get(), &drop);
    QCOMPARE(dialogs.boxes.size(), 1);
    QVERIFY2(dialogs.boxes.first().text.contains("\"" + dropped + "\""),
             qPrintable(dialogs.boxes.first().text));
}

void TestApkEditView::toolTipTellsWhatTheApkIs_data() {
    QTest::addColumn<QString>("key"); // signing key pair in Config, "" unsigned, "-" no APK
    QTest::addColumn<QString>("signer");
    QTest::newRow("platform key") << "platform"
                                  << "platform key";
    QTest::newRow("another key") << "testkey"
                                 << "certificate SHA-256 <short>";
    QTest::newRow("unsigned") << ""
                              << "not signed";
    QTest::newRow("not an APK") << "-"
                                << "";
}

void TestApkEditView::toolTipTellsWhatTheApkIs() {
    QFETCH(QString, key);
    QFETCH(QString, signer);
    const QString apk = Tree() + "/system/app/Plain.apk";
    QVERIFY(QDir().mkpath(QFileInfo(apk).absolutePath()));
    const QString plain = QStringLiteral(CORVANE_TESTDATA_DIR) + "/Plain.apk";
    if (key == "-") {
        QVERIFY(WriteFile(apk, "not a zip"));
    } else if (key.isEmpty()) {
        QVERIFY(QFile::copy(plain, apk));
    } else {
        const QString config = m_bundle->path() + "/Config/";
        SigningKey signingKey;
        QString error;
        QVERIFY2(signingKey.load(config + key + ".x509.pem", config + key + ".pk8", &error),
                 qPrintable(error));
        QVERIFY2(SignApk(plain, apk, signingKey, &error), qPrintable(error));
        const QByteArray digest =
            QCryptographicHash::hash(signingKey.certificateDer(), QCryptographicHash::Sha256);
        signer.replace("<short>", QString::fromLatin1(digest.left(8).toHex(':')) + u'\u2026');
    }

    auto page = MakePage(true, {});
    page->resize(400, 300);
    page->show();
    page->RefreshApkList();
    QCOMPARE(page->ApkCount(), 1);
    const QString expected =
        key == "-" ? QString("Plain.apk cannot be read: ")
                   : QString("com.corvane.fixture.plain\nVersion: unknown\nSize: %L1 bytes\n"
                             "Signer: %2")
                         .arg(QFileInfo(apk).size())
                         .arg(signer);
    const QString text = page->ApkToolTip(0);
    if (key == "-")
        QVERIFY2(text.startsWith(expected) && text.size() > expected.size(), qPrintable(text));
    else
        QCOMPARE(text, expected);

    // Hovering the item shows it; the layout stays as it was.
    QListWidget* list = page->ApkList();
    const QRect rect = list->visualItemRect(list->item(0));
    const QSize grid = list->gridSize();
    QHelpEvent help(QEvent::ToolTip, rect.center(), list->viewport()->mapToGlobal(rect.center()));
    QApplication::sendEvent(list->viewport(), &help);
    QTRY_VERIFY(QToolTip::isVisible());
    QCOMPARE(QToolTip::text(), text);
    QCOMPARE(list->gridSize(), grid);
    QCOMPARE(list->item(0)->text(), QString("Plain.apk"));
    QToolTip::hideText();
}

void TestApkEditView::toolTipFollowsTheRebuiltList() {
    const QString apk = Tree() + "/system/app/Plain.apk";
    QVERIFY(QDir().mkpath(QFileInfo(apk).absolutePath()));
    QVERIFY(QFile::copy(QStringLiteral(CORVANE_TESTDATA_DIR) + "/Plain.apk", apk));
    auto page = MakePage(true, {});
    page->RefreshApkList();
    QVERIFY(page->ApkToolTip(0).startsWith("com.corvane.fixture.plain\n"));
    // Replaced on disk: the rebuilt list reads it again.
    QVERIFY(QFile::remove(apk));
    QVERIFY(QFile::copy(QStringLiteral(CORVANE_TESTDATA_DIR) + "/Foo.apk", apk));
    page->RefreshApkList();
    QVERIFY(page->ApkToolTip(0).startsWith("com.corvane.fixture.foo\n"));
    QCOMPARE(page->ApkToolTip(1), QString());
}

QTEST_MAIN(TestApkEditView)
#include "tst_ApkEditView.moc"
