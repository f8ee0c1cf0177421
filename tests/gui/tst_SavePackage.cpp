#include "core/io/DriveType.h"
#include "core/io/FileHelpers.h"
#include "gui/DialogBuilder.h"
#include "support/PackageFixture.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QTest>

Q_DECLARE_METATYPE(FileHelpers::FileOp)

class TestSavePackage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refusedWithoutPackage();
    void configFilesPutBackEvenWhenCancelled();
    void missingConfigFileIsSkipped();
    void failedConfigUpdateStopsBeforeSigning();
    void fixedDiskSignsStraightIntoOutput();
    void nonFixedDriveStagesInZipTemp();
    void stagingNeverOverwritesWorkingArchive();
    void stagingFaults_data();
    void stagingFaults();
    void workingArchiveIsNeverTheOutput();
    void signingFailureIsReported();

private:
    QString file(const QString& relative) const { return m_window->file(relative); }
    QString output(const QString& name) const { return file("out dir/" + name); }

    std::unique_ptr<PackageWindow> m_window;
    ScriptedUiDialogs* m_dialogs = nullptr;
    CCorvaneDlg* m_dlg = nullptr;
    QString m_archive;
};

void TestSavePackage::init() {
    m_window = std::make_unique<PackageWindow>();
    m_dialogs = &m_window->dialogs;
    m_dlg = &m_window->dlg;
    SetDriveClassifierForTesting([](const QString&) { return false; });
    QDir().mkpath(file("out dir"));

    m_archive = file("zipTemp/temp.zip");
    QVERIFY(
        WriteZip(m_archive, {{"system/build.prop", "ro.build.version.release=4.4.2\n"},
                             {"system/usr/keylayout/Vendor_0001_Product_0001.kl", "key 1 POWER\n"},
                             {"system/etc/key.xml", "<keys/>\n"},
                             {"logo.img", "logo"}}));
    m_window->state().setWorkingArchivePath(m_archive);
    QVERIFY(WriteFile(file("srctemp/system/build.prop"),
                      "ro.build.version.release=4.4.2\nro.edited=1\n"));
    QVERIFY(WriteFile(file("srctemp/system/usr/keylayout/Vendor_0001_Product_0001.kl"),
                      "key 1 POWER\nkey 2 MENU\n"));
    QVERIFY(WriteFile(file("srctemp/system/etc/key.xml"), "<keys edited='1'/>\n"));
}

void TestSavePackage::cleanup() {
    SetDriveClassifierForTesting(nullptr);
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_window.reset();
}

void TestSavePackage::refusedWithoutPackage() {
    m_window->state().setWorkingArchivePath(QString());
    const QByteArray before = ReadFile(m_archive);
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Please open a firmware package first!"}));
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_dlg);
    QVERIFY(m_dialogs->fileDialogs.isEmpty());
    QCOMPARE(ReadFile(m_archive), before);
}

void TestSavePackage::configFilesPutBackEvenWhenCancelled() {
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->fileDialogs.size(), 1);
    const auto& dialog = m_dialogs->fileDialogs[0];
    QVERIFY(dialog.save);
    QCOMPARE(dialog.proposedName, QString("update"));
    QCOMPARE(dialog.defaultSuffix, QString("zip"));
    QCOMPARE(dialog.filter, QString("*.zip (*.zip)"));
    QVERIFY(m_dialogs->boxes.isEmpty());
    const auto members = ReadZip(m_archive);
    QCOMPARE(members.value("system/build.prop"),
             QByteArray("ro.build.version.release=4.4.2\nro.edited=1\n"));
    QCOMPARE(members.value("system/usr/keylayout/Vendor_0001_Product_0001.kl"),
             QByteArray("key 1 POWER\nkey 2 MENU\n"));
    QCOMPARE(members.value("system/etc/key.xml"), QByteArray("<keys edited='1'/>\n"));
    QCOMPARE(members.value("logo.img"), QByteArray("logo"));
}

void TestSavePackage::missingConfigFileIsSkipped() {
    QVERIFY(FileHelpers::RemoveFile(file("srctemp/system/etc/key.xml")));
    m_dialogs->saveResults.enqueue(output("update.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed"}));
    const auto members = ReadZip(output("update.zip"));
    QCOMPARE(members.value("system/etc/key.xml"), QByteArray("<keys/>\n"));
    QCOMPARE(members.value("system/build.prop"),
             QByteArray("ro.build.version.release=4.4.2\nro.edited=1\n"));
}

void TestSavePackage::failedConfigUpdateStopsBeforeSigning() {
    // The kl file cannot be read: the package would lack the user's edit.
    const QString kl = file("srctemp/system/usr/keylayout/Vendor_0001_Product_0001.kl");
    QVERIFY(FileHelpers::RemoveFile(kl));
    QVERIFY(QDir().mkdir(kl));
    const QByteArray before = ReadFile(m_archive);
    m_dialogs->saveResults.enqueue(output("update.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(),
             QStringList({QString("Failed to update \"%1\" in the package!").arg(kl)}));
    QVERIFY(m_dialogs->fileDialogs.isEmpty());
    QVERIFY(!FileHelpers::PathExists(output("update.zip")));
    // One commit for all of them: the build.prop edit did not go in alone.
    QCOMPARE(ReadFile(m_archive), before);
}

void TestSavePackage::fixedDiskSignsStraightIntoOutput() {
    QVERIFY(WriteFile(output("update.zip"), "an older file"));
    m_dialogs->saveResults.enqueue(output("update.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed"}));
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_dlg);
    QCOMPARE(ReadZip(output("update.zip")).value("logo.img"), QByteArray("logo"));
    QVERIFY(ReadZip(output("update.zip")).contains("META-INF/com/android/otacert"));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/update.zip")));
    QCOMPARE(QDir(file("out dir")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"update.zip"}));
    // The working archive itself is never signed.
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
        QVERIFY(FindControl(m_dlg, id)->isEnabled());
}

void TestSavePackage::nonFixedDriveStagesInZipTemp() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    for (int round = 0; round < 2; ++round) {
        m_dialogs->saveResults.enqueue(output("stick.zip"));
        m_dlg->OnSaveClicked();
        QCOMPARE(m_dialogs->texts().last(), QString("Save succeed"));
        const QByteArray staged = ReadFile(file("zipTemp/stick.zip"));
        QVERIFY(!staged.isEmpty());
        QCOMPARE(ReadFile(output("stick.zip")), staged);
    }
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed", "Save succeed"}));
}

void TestSavePackage::stagingNeverOverwritesWorkingArchive() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    m_dialogs->saveResults.enqueue(output("temp.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed"}));
    QCOMPARE(ReadFile(output("temp.zip")), ReadFile(file("zipTemp/staged-temp.zip")));
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    QVERIFY(!ZipMemberNames(output("temp.zip")).filter("META-INF").isEmpty());
}

// A file operation of a staged save fails: the output keeps what it had and
// no temporary file is left beside it.
void TestSavePackage::stagingFaults_data() {
    QTest::addColumn<FileHelpers::FileOp>("op");
    QTest::addColumn<QString>("target"); // relative to the bundle
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("stagedCopyMade");
    using Op = FileHelpers::FileOp;
    QTest::newRow("staged copy not renamed into place") << Op::MoveFile << "zipTemp/stick.zip"
                                                        << "Sign file failed" << false;
    QTest::newRow("copy to the drive fails") << Op::CopyFile << "out dir/.stick.zip.corvane-part"
                                             << "Save failed!" << true;
    QTest::newRow("copy on the drive not renamed into place") << Op::MoveFile << "out dir/stick.zip"
                                                              << "Save failed!" << true;
}

void TestSavePackage::stagingFaults() {
    QFETCH(FileHelpers::FileOp, op);
    QFETCH(QString, target);
    QFETCH(QString, message);
    QFETCH(bool, stagedCopyMade);
    SetDriveClassifierForTesting([](const QString&) { return true; });
    QVERIFY(WriteFile(output("stick.zip"), "an earlier save"));
    QVERIFY(WriteFile(file("zipTemp/stick.zip"), "an earlier staged copy"));
    const QString faulted = file(target);
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp what, const QString& path) {
        return what == op && path == faulted;
    });
    m_dialogs->saveResults.enqueue(output("stick.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({message}));
    QCOMPARE(ReadFile(output("stick.zip")), QByteArray("an earlier save"));
    QCOMPARE(QDir(file("out dir")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"stick.zip"}));
    QCOMPARE(QDir(file("zipTemp")).entryList({".*"}, QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(ReadFile(file("zipTemp/stick.zip")) != "an earlier staged copy", stagedCopyMade);
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
}

void TestSavePackage::workingArchiveIsNeverTheOutput() {
    const QByteArray before = ReadFile(m_archive);
    m_dialogs->saveResults.enqueue(m_archive);
    m_dlg->OnSaveClicked();
    QCOMPARE(
        m_dialogs->texts(),
        QStringList({QString("The working archive \"%1\" cannot be the output!").arg(m_archive)}));
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    QCOMPARE(ReadZip(m_archive).value("logo.img"), QByteArray("logo"));
    // Only the edited configuration files went in before the choice.
    QVERIFY(ReadFile(m_archive) != before);
    QCOMPARE(ReadZip(m_archive).value("system/etc/key.xml"), QByteArray("<keys edited='1'/>\n"));
}

void TestSavePackage::signingFailureIsReported() {
    QVERIFY(WriteFile(output("update.zip"), "an earlier save"));
    // The test key cannot be loaded.
    QVERIFY(WriteFile(file("Config/testkey.pk8"), "not a key"));
    m_dialogs->saveResults.enqueue(output("update.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Sign file failed"}));
    QCOMPARE(ReadFile(output("update.zip")), QByteArray("an earlier save"));
    QCOMPARE(QDir(file("out dir")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"update.zip"}));
}

QTEST_MAIN(TestSavePackage)
#include "tst_SavePackage.moc"
