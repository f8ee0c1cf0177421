#include "core/base/FileHelpers.h"
#include "core/workspace/TreeSync.h"
#include "gui/CConfigView.h"
#include "gui/CCorvaneApp.h"
#include "gui/CImageView.h"
#include "gui/DialogBuilder.h"
#include "gui/UiDialogs.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QSignalSpy>
#include <QUrl>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

// Receives the URLs the page hands to the desktop.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

// The image page against a real extracted tree and a real working archive;
// the Enter and Escape keys of the image and settings pages.
class tst_ImageView : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void replaceUpdatesTreeArchiveLogAndMark_data();
    void replaceUpdatesTreeArchiveLogAndMark();
    void replacingTwiceLogsTwiceAndMarksOnce();
    void cancelledFileDialogChangesNothing();
    void bootAnimationWithoutMediaDirectory();
    void copyFailure_data();
    void copyFailure();
    void archiveFailureLeavesEverythingAsItWas_data();
    void archiveFailureLeavesEverythingAsItWas();
    void archiveFailureRemovesAFileTheTreeDidNotHave();
    void noOpenPackageIsRefusedFirst();
    void pageKeysAreSwallowed_data();
    void pageKeysAreSwallowed();
    void directoryButtonsAreHiddenAndOpenTheFileBrowser();

private:
    QString tree(const QString& relative) const {
        return m_bundle->file(QStringLiteral("srctemp/") + relative);
    }
    QString archive() const { return m_bundle->file(QStringLiteral("zipTemp/temp.zip")); }
    static void addReplaceColumns();
    // Everything a replacement may change, to compare before and after.
    QByteArray snapshot() const;

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneApp> m_app;
    QString m_source;
};

namespace {

const QString kImageFilter = QStringLiteral("*.img;*.bin (*.bin *.img);;All Files(*.*) (*)");
const QString kZipFilter = QStringLiteral("*.zip (*.zip);;All Files(*.*) (*)");

// Tree file (below srctemp) and the archive member it matches.
const QList<QPair<QString, QString>> kImages = {
    {QStringLiteral("logo.img"), QStringLiteral("logo.img")},
    {QStringLiteral("fastplay.img"), QStringLiteral("fastplay.img")},
    {QStringLiteral("system/media/bootanimation.zip"),
     QStringLiteral("system/media/bootanimation.zip")},
    {QStringLiteral("bootargs.img"), QStringLiteral("bootargs.img")},
    {QStringLiteral("baseparam.img"), QStringLiteral("baseparam.img")},
    {QStringLiteral("boot.img"), QStringLiteral("boot.img")},
    {QStringLiteral("fastboot.img"), QStringLiteral("fastboot.img")},
    {QStringLiteral("recovery.img"), QStringLiteral("recovery.img")},
    {QStringLiteral("pq_param.img"), QStringLiteral("pq_param.img")},
};

const QList<int> kReplaceButtons = {1006, 1007, 1008, 1010, 1011, 1012, 1013, 1014, 1015};

QByteArray OldData(const QString& name) {
    return "old " + name.toUtf8();
}

} // namespace

void tst_ImageView::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_dialogs = std::make_unique<ScriptedUiDialogs>();

    QList<QPair<QString, QByteArray>> members{
        {QStringLiteral("system/build.prop"), "ro.build.version.release=4.4\n"}};
    for (const auto& [file, member] : kImages) {
        QVERIFY(WriteFile(tree(file), OldData(file)));
        members << qMakePair(member, OldData(file));
    }
    QVERIFY(WriteFile(tree(QStringLiteral("system/build.prop")), "ro.build.version.release=4.4\n"));
    QVERIFY(QDir().mkpath(m_bundle->file(QStringLiteral("zipTemp"))));
    QVERIFY(WriteZip(archive(), members));
    m_app = std::make_unique<CCorvaneApp>(m_bundle->path());
    m_app->State().setWorkingArchivePath(archive());

    m_source = m_bundle->file(QStringLiteral("incoming/new image.bin"));
    QVERIFY(WriteFile(m_source, "new data"));
}

void tst_ImageView::cleanup() {
    FileHelpers::SetFileFaultsForTesting({});
    m_app.reset();
    m_dialogs.reset();
    m_bundle.reset();
}

QByteArray tst_ImageView::snapshot() const {
    QByteArray out;
    for (const auto& [file, member] : kImages)
        out += file.toUtf8() + '=' + ReadFile(tree(file)) + '\n';
    const QMap<QString, QByteArray> zip = ReadZip(archive());
    for (auto it = zip.cbegin(); it != zip.cend(); ++it)
        out += "zip:" + it.key().toUtf8() + '=' + it.value() + '\n';
    out += "log:" + m_app->State().changeLog().join(QLatin1Char('|')).toUtf8() + '\n';
    out += "zipTemp:" +
           FileHelpers::ListDirectory(m_bundle->file(QStringLiteral("zipTemp"))).join(',').toUtf8();
    return out;
}

void tst_ImageView::addReplaceColumns() {
    QTest::addColumn<int>("buttonId");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("filter");
    QTest::addColumn<QString>("failure");

    const QStringList captions{
        "Replace logo.img",     "Replace fastplay.img",  "Replace Boot Animation",
        "Replace bootargs.img", "Replace baseparam.img", "Replace kernel(boot.img)",
        "Replace fastboot.img", "Replace recovery.img",  "Replace pq_param.img"};
    for (qsizetype i = 0; i < kImages.size(); ++i) {
        const QString name = kImages.at(i).first.section(QLatin1Char('/'), -1);
        QTest::newRow(qPrintable(name))
            << kReplaceButtons.at(i) << captions.at(i) << kImages.at(i).first
            << kImages.at(i).second << (name.endsWith(".zip") ? kZipFilter : kImageFilter)
            << QStringLiteral("Failed to replace the %1! ").arg(name);
    }
}

void tst_ImageView::replaceUpdatesTreeArchiveLogAndMark_data() {
    addReplaceColumns();
}

void tst_ImageView::replaceUpdatesTreeArchiveLogAndMark() {
    QFETCH(int, buttonId);
    QFETCH(QString, caption);
    QFETCH(QString, target);
    QFETCH(QString, member);
    QFETCH(QString, filter);

    CImageView page(*m_app);
    QCOMPARE(page.RootDirectory(), m_bundle->file(QStringLiteral("srctemp")));
    QPushButton* button = Control<QPushButton>(&page, buttonId);
    QVERIFY(button);
    QCOMPARE(button->text(), caption);
    m_dialogs->openResults.enqueue({m_source});
    button->click();

    QVERIFY2(m_dialogs->boxes.isEmpty(), qPrintable(m_dialogs->texts().join('|')));
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QCOMPARE(m_dialogs->fileDialogs.first().save, false);
    QCOMPARE(m_dialogs->fileDialogs.first().multiple, false);
    QCOMPARE(m_dialogs->fileDialogs.first().filter, filter);
    QCOMPARE(m_dialogs->fileDialogs.first().kind, UiDialogs::FileKind::Image);

    QCOMPARE(ReadFile(tree(target)), QByteArray("new data"));
    const QMap<QString, QByteArray> zip = ReadZip(archive());
    QCOMPARE(zip.size(), kImages.size() + 1);
    for (const auto& [file, name] : kImages)
        QCOMPARE(zip.value(name), name == member ? QByteArray("new data") : OldData(file));
    QCOMPARE(zip.value(QStringLiteral("system/build.prop")),
             QByteArray("ro.build.version.release=4.4\n"));

    QCOMPARE(m_app->State().changeLog().size(), 1);
    const QString line = m_app->State().changeLog().first();
    QVERIFY2(
        line.endsWith(QStringLiteral(": REPLACE \"%1\" with \"%2\"").arg(tree(target), m_source)),
        qPrintable(line));

    // Only the clicked button is marked.
    for (const int id : kReplaceButtons) {
        const QString text = Control<QPushButton>(&page, id)->text();
        QCOMPARE(text.endsWith(QLatin1Char('*')), id == buttonId);
    }
    QCOMPARE(button->text(), caption + QLatin1Char('*'));
    // No backup of the old file and no pending edit are left behind; the
    // change-log journal keeps the line.
    QCOMPARE(FileHelpers::ListDirectory(m_bundle->file(QStringLiteral("zipTemp"))),
             (QStringList{QStringLiteral("log.journal"), QStringLiteral("temp.zip")}));
}

void tst_ImageView::replacingTwiceLogsTwiceAndMarksOnce() {
    CImageView page(*m_app);
    QPushButton* logo = Control<QPushButton>(&page, 1006);
    m_dialogs->openResults.enqueue({m_source});
    logo->click();
    const QString second = m_bundle->file(QStringLiteral("incoming/second.img"));
    QVERIFY(WriteFile(second, "second data"));
    m_dialogs->openResults.enqueue({second});
    logo->click();

    QVERIFY(m_dialogs->boxes.isEmpty());
    QCOMPARE(m_app->State().changeLog().size(), 2);
    QVERIFY(m_app->State().changeLog().at(1).endsWith("with \"" + second + "\""));
    QCOMPARE(logo->text(), QStringLiteral("Replace logo.img*"));
    QCOMPARE(ReadFile(tree(QStringLiteral("logo.img"))), QByteArray("second data"));
    QCOMPARE(ReadZip(archive()).value(QStringLiteral("logo.img")), QByteArray("second data"));
}

void tst_ImageView::cancelledFileDialogChangesNothing() {
    CImageView page(*m_app);
    const QByteArray before = snapshot();
    for (const int id : kReplaceButtons)
        Control<QPushButton>(&page, id)->click();
    QCOMPARE(m_dialogs->fileDialogs.size(), kReplaceButtons.size());
    QVERIFY(m_dialogs->boxes.isEmpty());
    QCOMPARE(snapshot(), before);
    for (const int id : kReplaceButtons)
        QVERIFY(!Control<QPushButton>(&page, id)->text().contains(QLatin1Char('*')));
}

void tst_ImageView::copyFailure_data() {
    QTest::addColumn<int>("buttonId");
    QTest::addColumn<QString>("target");
    QTest::newRow("image") << 1006 << "logo.img";
    QTest::newRow("kernel") << 1012 << "boot.img";
    QTest::newRow("boot animation") << 1008 << "system/media/bootanimation.zip";
}

void tst_ImageView::copyFailure() {
    QFETCH(int, buttonId);
    QFETCH(QString, target);
    const QString copied = tree(target);
    FileHelpers::SetFileFaultsForTesting([copied](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path == copied;
    });
    CImageView page(*m_app);
    m_dialogs->openResults.enqueue({m_source});
    Control<QPushButton>(&page, buttonId)->click();

    QCOMPARE(m_dialogs->texts(), QStringList{QStringLiteral("Copy failed!")});
    const ScriptedUiDialogs::Box box = m_dialogs->boxes.first();
    QCOMPARE(box.owner.data(), &page);
    QCOMPARE(box.caption, ApplicationTitle());
    QCOMPARE(box.buttons, UiDialogs::Buttons::Ok);
    QCOMPARE(box.icon, UiDialogs::Icon::None);
    // The archive was updated first; the tree keeps its file, nothing is
    // logged or marked, and the edit is left pending for the next start.
    QCOMPARE(ReadZip(archive()).value(target), QByteArray("new data"));
    QCOMPARE(ReadFile(tree(target)), OldData(target));
    const QString folder = QFileInfo(tree(target)).absolutePath();
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        QVERIFY2(!FileHelpers::IsTemporaryName(name), qPrintable(name));
    QVERIFY(m_app->State().changeLog().isEmpty());
    QVERIFY(!Control<QPushButton>(&page, buttonId)->text().contains(QLatin1Char('*')));

    FileHelpers::SetFileFaultsForTesting({});
    const WorkspacePaths paths = m_app->State().paths();
    QVERIFY(FileHelpers::PathExists(paths.zipTempDir() + QStringLiteral("/tree.pending")));
    QString error;
    QVERIFY2(FinishInterruptedTreeSync(paths, &error), qPrintable(error));
    QCOMPARE(ReadFile(tree(target)), QByteArray("new data"));
}

void tst_ImageView::bootAnimationWithoutMediaDirectory() {
    // A tree without system/media gets the directory with the new file.
    QVERIFY(FileHelpers::DeleteDirectoryTree(tree(QStringLiteral("system/media"))));
    CImageView page(*m_app);
    m_dialogs->openResults.enqueue({m_source});
    Control<QPushButton>(&page, 1008)->click();

    QVERIFY2(m_dialogs->boxes.isEmpty(), qPrintable(m_dialogs->texts().join('|')));
    QCOMPARE(ReadFile(tree(QStringLiteral("system/media/bootanimation.zip"))),
             QByteArray("new data"));
    QCOMPARE(ReadZip(archive()).value(QStringLiteral("system/media/bootanimation.zip")),
             QByteArray("new data"));
    QCOMPARE(m_app->State().changeLog().size(), 1);
}

void tst_ImageView::archiveFailureLeavesEverythingAsItWas_data() {
    addReplaceColumns();
}

void tst_ImageView::archiveFailureLeavesEverythingAsItWas() {
    QFETCH(int, buttonId);
    QFETCH(QString, target);
    QFETCH(QString, failure);
    // A working archive that is not a ZIP cannot be updated.
    const QString broken = m_bundle->file(QStringLiteral("zipTemp/broken.zip"));
    QVERIFY(WriteFile(broken, "this is no archive"));
    m_app->State().setWorkingArchivePath(broken);

    CImageView page(*m_app);
    const QByteArray before = snapshot();
    m_dialogs->openResults.enqueue({m_source});
    Control<QPushButton>(&page, buttonId)->click();

    QCOMPARE(m_dialogs->texts(), QStringList{failure});
    QCOMPARE(m_dialogs->boxes.first().owner.data(), &page);
    QCOMPARE(m_dialogs->boxes.first().caption, ApplicationTitle());
    QCOMPARE(m_dialogs->boxes.first().icon, UiDialogs::Icon::None);
    QCOMPARE(ReadFile(tree(target)), OldData(target));
    QCOMPARE(ReadFile(broken), QByteArray("this is no archive"));
    QCOMPARE(snapshot(), before);
    QVERIFY(!Control<QPushButton>(&page, buttonId)->text().contains(QLatin1Char('*')));
}

void tst_ImageView::archiveFailureRemovesAFileTheTreeDidNotHave() {
    QVERIFY(FileHelpers::RemoveFile(tree(QStringLiteral("pq_param.img"))));
    const QString broken = m_bundle->file(QStringLiteral("zipTemp/broken.zip"));
    QVERIFY(WriteFile(broken, "this is no archive"));
    m_app->State().setWorkingArchivePath(broken);

    CImageView page(*m_app);
    m_dialogs->openResults.enqueue({m_source});
    Control<QPushButton>(&page, 1015)->click();

    QCOMPARE(m_dialogs->texts(),
             QStringList{QStringLiteral("Failed to replace the pq_param.img! ")});
    QVERIFY(!FileHelpers::PathExists(tree(QStringLiteral("pq_param.img"))));
    QVERIFY(m_app->State().changeLog().isEmpty());
}

void tst_ImageView::noOpenPackageIsRefusedFirst() {
    m_app->State().setWorkingArchivePath(QString());
    CImageView page(*m_app);
    const QByteArray before = snapshot();
    for (const int id : kReplaceButtons) {
        m_dialogs->openResults.enqueue({m_source});
        Control<QPushButton>(&page, id)->click();
    }
    QVERIFY(m_dialogs->fileDialogs.isEmpty());
    QCOMPARE(m_dialogs->boxes.size(), kReplaceButtons.size());
    for (const ScriptedUiDialogs::Box& box : std::as_const(m_dialogs->boxes)) {
        QCOMPARE(box.text, QStringLiteral("Please open a firmware package first!"));
        QCOMPARE(box.owner.data(), &page);
        QCOMPARE(box.caption, ApplicationTitle());
        QCOMPARE(box.buttons, UiDialogs::Buttons::Ok);
        QCOMPARE(box.icon, UiDialogs::Icon::None);
    }
    QCOMPARE(snapshot(), before);
}

void tst_ImageView::pageKeysAreSwallowed_data() {
    QTest::addColumn<bool>("imagePage"); // false: the settings page
    QTest::addColumn<int>("key");
    const QList<QPair<const char*, int>> keys{
        {"Return", Qt::Key_Return}, {"Enter", Qt::Key_Enter}, {"Escape", Qt::Key_Escape}};
    for (const bool imagePage : {true, false}) {
        for (const auto& [name, key] : keys)
            QTest::addRow("%s: %s", imagePage ? "image" : "settings", name) << imagePage << key;
    }
}

void tst_ImageView::pageKeysAreSwallowed() {
    QFETCH(bool, imagePage);
    QFETCH(int, key);
    // Inside a dialog, as in the main window: there Enter would press the
    // focused button and Escape would close the dialog.
    QDialog host;
    auto* layout = new QVBoxLayout(&host);
    QWidget* page = imagePage ? static_cast<QWidget*>(new CImageView(*m_app, &host))
                              : static_cast<QWidget*>(new CConfigView(*m_app, &host));
    layout->addWidget(page);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QSignalSpy finished(&host, &QDialog::finished);

    const QList<QPushButton*> buttons = page->findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), imagePage ? 11 : 3);
    for (QPushButton* button : buttons) {
        if (!button->isVisible())
            continue;
        QSignalSpy clicked(button, &QPushButton::clicked);
        button->setFocus();
        QTest::keyClick(button, Qt::Key(key));
        QCOMPARE(clicked.count(), 0);
    }
    QTest::keyClick(page, Qt::Key(key));
    QCOMPARE(finished.count(), 0);
    QVERIFY(host.isVisible());
    QVERIFY(m_dialogs->fileDialogs.isEmpty());
    QVERIFY(m_dialogs->chooserCandidates.isEmpty());
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void tst_ImageView::directoryButtonsAreHiddenAndOpenTheFileBrowser() {
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    CImageView page(*m_app);
    page.show();
    QPushButton* media = Control<QPushButton>(&page, 1009);
    QPushButton* root = Control<QPushButton>(&page, 1016);
    QVERIFY(media && root);
    QCOMPARE(media->text(), QStringLiteral("Open directory of boot animation"));
    QCOMPARE(root->text(), QStringLiteral("Open directory of partition image"));
    QVERIFY(!media->isVisible());
    QVERIFY(!root->isVisible());
    for (const int id : kReplaceButtons)
        QVERIFY(Control<QPushButton>(&page, id)->isVisible());

    media->click();
    root->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(recorder.urls, QList<QUrl>({QUrl::fromLocalFile(tree(QStringLiteral("system/media"))),
                                         QUrl::fromLocalFile(page.RootDirectory())}));
    QVERIFY(m_dialogs->boxes.isEmpty());
    QVERIFY(m_app->State().changeLog().isEmpty());
}

QTEST_MAIN(tst_ImageView)
#include "tst_ImageView.moc"
