#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/CApkEditView.h"
#include "gui/CImageView.h"
#include "gui/DialogBuilder.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

class TestOpenPackage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void cancelChangesNothing();
    void missingFileKeepsCurrentPackage();
    void notAZipKeepsCurrentWork_data();
    void notAZipKeepsCurrentWork();
    void opensPackage();
    void secondOpenReplacesFirst();
    void packageWithoutBuildProp();
    void stoppedExtraction();
    void failedCopyOfWorkingArchive();
    void reopeningTheWorkingArchive();

private:
    QString makePackage(const QString& name, const QByteArray& release, const QString& apk);
    void open(const QString& path);

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneDlg> m_dlg;
};

void TestOpenPackage::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    theApp().CreateBusyDialog();
    m_dlg->show();
}

void TestOpenPackage::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_dlg.reset();
    theApp().DestroyBusyDialog();
    m_dialogs.reset();
    m_bundle.reset();
}

QString TestOpenPackage::makePackage(const QString& name, const QByteArray& release,
                                     const QString& apk) {
    const QString path = m_bundle->file("packages/" + name);
    QDir().mkpath(m_bundle->file("packages"));
    QList<QPair<QString, QByteArray>> members{{"logo.img", "logo of " + name.toUtf8()},
                                              {"system/app/" + apk, "apk"},
                                              {"userdata/app/Data.apk", "data apk"}};
    if (!release.isNull())
        members.prepend({"system/build.prop", "ro.build.version.release=" + release + "\n"});
    WriteZip(path, members);
    return path;
}

void TestOpenPackage::open(const QString& path) {
    m_dialogs->openResults.enqueue({path});
    m_dlg->OnBrowseClicked();
}

void TestOpenPackage::cancelChangesNothing() {
    m_dlg->OnBrowseClicked();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    QCOMPARE(m_dialogs->fileDialogs[0].filter, QString("*.zip (*.zip)"));
    QVERIFY(!m_dialogs->fileDialogs[0].multiple);
    QVERIFY(m_dlg->packagePathField()->text().isEmpty());
    QVERIFY(m_dialogs->boxes.isEmpty());
}

void TestOpenPackage::missingFileKeepsCurrentPackage() {
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    const QString missing = m_bundle->file("packages/typed name.zip");
    open(missing);
    QCOMPARE(m_dialogs->texts().last(), QString("File \"%1\" does not exist!").arg(missing));
    QCOMPARE(m_dlg->packagePathField()->text(), m_bundle->file("packages/first.zip"));
    QCOMPARE(theApp().WorkingArchivePath, m_bundle->file("zipTemp/temp.zip"));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
}

void TestOpenPackage::notAZipKeepsCurrentWork_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("text") << QByteArray("not a zip at all");
    QTest::newRow("empty") << QByteArray();
}

void TestOpenPackage::notAZipKeepsCurrentWork() {
    QFETCH(QByteArray, bytes);
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    const QString bad = m_bundle->file("packages/bad.zip");
    QVERIFY(WriteFile(bad, bytes));
    open(bad);
    QCOMPARE(m_dialogs->texts().last(), QString("UnZip file failed"));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
    QCOMPARE(theApp().WorkingArchivePath, m_bundle->file("zipTemp/temp.zip"));
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")),
             ReadFile(m_bundle->file("packages/first.zip")));
    QCOMPARE(m_dlg->packagePathField()->text(), m_bundle->file("packages/first.zip"));
}

void TestOpenPackage::opensPackage() {
    const QString package = makePackage("my package 固件.zip", "5.1.1", "Browser/Browser.apk");
    const QByteArray before = ReadFile(package);
    m_dlg->ImagePage->MarkPageChanged(1006);
    m_dlg->ImagePage->MarkPageChanged(1015);
    open(package);
    QCOMPARE(m_dialogs->texts(), QStringList({"UnZip file successfully"}));
    QCOMPARE(m_dialogs->boxes[0].caption, ApplicationTitle());
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_dlg.get());
    QCOMPARE(m_dlg->packagePathField()->text(), package);
    QCOMPARE(theApp().WorkingArchivePath, m_bundle->file("zipTemp/temp.zip"));
    QCOMPARE(ReadFile(theApp().WorkingArchivePath), before);
    QCOMPARE(ReadFile(package), before);
    QCOMPARE(theApp().AndroidMajorVersion, 5);
    QCOMPARE(ReadFile(m_bundle->file("srctemp/logo.img")),
             QByteArray("logo of my package 固件.zip"));
    QCOMPARE(m_dlg->SystemApkPage->ApkPaths,
             QStringList({m_bundle->file("srctemp/system/app/Browser/Browser.apk")}));
    QCOMPARE(m_dlg->DataApkPage->ApkPaths,
             QStringList({m_bundle->file("srctemp/userdata/app/Data.apk")}));
    QCOMPARE(Control<QPushButton>(m_dlg->ImagePage, 1006)->text(), QString("Replace logo.img"));
    QCOMPARE(Control<QPushButton>(m_dlg->ImagePage, 1015)->text(), QString("Replace pq_param.img"));
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
        QVERIFY(FindControl(m_dlg.get(), id)->isEnabled());
}

void TestOpenPackage::secondOpenReplacesFirst() {
    open(makePackage("first.zip", "5.1.1", "Music.apk"));
    theApp().ChangeLog << "line of the first package";
    m_dlg->ImagePage->MarkPageChanged(1008);
    // An older package without the release key keeps the version at 5.
    const QString second = m_bundle->file("packages/second.zip");
    QVERIFY(WriteZip(second, {{"system/build.prop", "ro.product.model=box\n"},
                              {"system/app/Camera.apk", "apk"}}));
    open(second);
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Camera.apk")));
    QCOMPARE(ReadFile(theApp().WorkingArchivePath), ReadFile(second));
    QCOMPARE(theApp().ChangeLog, QStringList({"line of the first package"}));
    QCOMPARE(theApp().AndroidMajorVersion, 5);
    QCOMPARE(Control<QPushButton>(m_dlg->ImagePage, 1008)->text(),
             QString("Replace Boot Animation"));
}

void TestOpenPackage::packageWithoutBuildProp() {
    open(makePackage("noprop.zip", QByteArray(), "Music.apk"));
    QCOMPARE(m_dialogs->texts(), QStringList({QString("Failed to open the file %1! ")
                                                  .arg(m_bundle->file("srctemp/system/build.prop")),
                                              "UnZip file successfully"}));
    QCOMPARE(theApp().AndroidMajorVersion, 4);
    QCOMPARE(theApp().WorkingArchivePath, m_bundle->file("zipTemp/temp.zip"));
}

void TestOpenPackage::stoppedExtraction() {
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    m_bundle->replaceToolWithScript("Config/7za", "exec sleep 30");
    QTimer::singleShot(200, [] { theApp().BusyDialog->reject(); });
    open(makePackage("second.zip", "4.4.2", "Camera.apk"));
    QCOMPARE(m_dialogs->texts().last(), QString("UnZip file failed"));
    // The old tree is gone; no edit may reach the old working archive now.
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
    QVERIFY(theApp().WorkingArchivePath.isEmpty());
    QCOMPARE(m_dlg->SystemApkPage->ApkCount, 0);
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
        QVERIFY(FindControl(m_dlg.get(), id)->isEnabled());
}

void TestOpenPackage::failedCopyOfWorkingArchive() {
    FileHelpers::SetFileFaultsForTesting([](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path.endsWith("zipTemp/temp.zip");
    });
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    QCOMPARE(m_dialogs->texts(), QStringList({"Failed to copy the zip file!"}));
    QCOMPARE(m_dialogs->boxes[0].icon, UiDialogs::Icon::Exclamation);
    QVERIFY(theApp().WorkingArchivePath.isEmpty());
}

void TestOpenPackage::reopeningTheWorkingArchive() {
    open(makePackage("first.zip", "4.4.2", "Music.apk"));
    open(m_bundle->file("zipTemp/temp.zip"));
    QCOMPARE(m_dialogs->texts().last(), QString("UnZip file successfully"));
    QCOMPARE(ReadFile(theApp().WorkingArchivePath), ReadFile(m_bundle->file("packages/first.zip")));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
}

QTEST_MAIN(TestOpenPackage)
#include "tst_OpenPackage.moc"
