#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "core/DriveType.h"
#include "gui/DialogBuilder.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QTest>

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
    void stagingCopyThatCannotBeDeleted();
    void stagedCopyThatCannotBeWritten();
    void workingArchiveIsNeverTheOutput();
    void signingFailureIsReported();

private:
    QString output(const QString& name) const { return m_bundle->file("out dir/" + name); }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<ScriptedUiDialogs> m_dialogs;
    std::unique_ptr<CCorvaneDlg> m_dlg;
    QString m_archive;
};

void TestSavePackage::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_dialogs = std::make_unique<ScriptedUiDialogs>();
    m_dlg = std::make_unique<CCorvaneDlg>();
    m_dlg->OnInitDialog();
    theApp().CreateBusyDialog();
    SetDriveClassifierForTesting([](const QString&) { return false; });
    QDir().mkpath(m_bundle->file("out dir"));

    m_archive = m_bundle->file("zipTemp/temp.zip");
    QVERIFY(
        WriteZip(m_archive, {{"system/build.prop", "ro.build.version.release=4.4.2\n"},
                             {"system/usr/keylayout/Vendor_0001_Product_0001.kl", "key 1 POWER\n"},
                             {"system/etc/key.xml", "<keys/>\n"},
                             {"logo.img", "logo"}}));
    theApp().WorkingArchivePath = m_archive;
    QVERIFY(WriteFile(m_bundle->file("srctemp/system/build.prop"),
                      "ro.build.version.release=4.4.2\nro.edited=1\n"));
    QVERIFY(WriteFile(m_bundle->file("srctemp/system/usr/keylayout/Vendor_0001_Product_0001.kl"),
                      "key 1 POWER\nkey 2 MENU\n"));
    QVERIFY(WriteFile(m_bundle->file("srctemp/system/etc/key.xml"), "<keys edited='1'/>\n"));
}

void TestSavePackage::cleanup() {
    SetDriveClassifierForTesting(nullptr);
    FileHelpers::SetFileFaultsForTesting(nullptr);
    m_dlg.reset();
    theApp().DestroyBusyDialog();
    m_dialogs.reset();
    m_bundle.reset();
}

void TestSavePackage::refusedWithoutPackage() {
    theApp().WorkingArchivePath.clear();
    const QByteArray before = ReadFile(m_archive);
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Please open a firmware package first!"}));
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
    QVERIFY(FileHelpers::RemoveFile(m_bundle->file("srctemp/system/etc/key.xml")));
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
    const QString kl = m_bundle->file("srctemp/system/usr/keylayout/Vendor_0001_Product_0001.kl");
    QVERIFY(FileHelpers::RemoveFile(kl));
    QVERIFY(QDir().mkdir(kl));
    m_dialogs->saveResults.enqueue(output("update.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(),
             QStringList({QString("Failed to update \"%1\" in the package!").arg(kl)}));
    QVERIFY(m_dialogs->fileDialogs.isEmpty());
    QVERIFY(!FileHelpers::PathExists(output("update.zip")));
}

void TestSavePackage::fixedDiskSignsStraightIntoOutput() {
    QVERIFY(WriteFile(output("update.zip"), "an older file"));
    m_dialogs->saveResults.enqueue(output("update.zip"));
    const QByteArray archiveBefore = ReadFile(m_archive);
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed"}));
    QCOMPARE(m_dialogs->boxes[0].owner.data(), m_dlg.get());
    const QByteArray signedBytes = ReadFile(output("update.zip"));
    QVERIFY(signedBytes.size() > archiveBefore.size());
    QCOMPARE(ReadZip(output("update.zip")).value("logo.img"), QByteArray("logo"));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("zipTemp/update.zip")));
    // The working archive itself is never signed.
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL})
        QVERIFY(FindControl(m_dlg.get(), id)->isEnabled());
}

void TestSavePackage::nonFixedDriveStagesInZipTemp() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    for (int round = 0; round < 2; ++round) {
        m_dialogs->saveResults.enqueue(output("stick.zip"));
        m_dlg->OnSaveClicked();
        QCOMPARE(m_dialogs->texts().last(), QString("Save succeed"));
        const QByteArray staged = ReadFile(m_bundle->file("zipTemp/stick.zip"));
        QVERIFY(!staged.isEmpty());
        QCOMPARE(ReadFile(output("stick.zip")), staged);
    }
}

void TestSavePackage::stagingNeverOverwritesWorkingArchive() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    m_dialogs->saveResults.enqueue(output("temp.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed"}));
    QCOMPARE(ReadFile(output("temp.zip")), ReadFile(m_bundle->file("zipTemp/staged-temp.zip")));
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    QVERIFY(!ZipMemberNames(output("temp.zip")).filter("META-INF").isEmpty());
}

void TestSavePackage::stagingCopyThatCannotBeDeleted() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    const QString staging = m_bundle->file("zipTemp/stick.zip");
    QVERIFY(WriteFile(staging, "old staging"));
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::RemoveFile && path == staging;
    });
    m_dialogs->saveResults.enqueue(output("stick.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({QString("Delete \"%1\" Failed!").arg(staging)}));
    QVERIFY(!FileHelpers::PathExists(output("stick.zip")));
}

void TestSavePackage::stagedCopyThatCannotBeWritten() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::CopyFile && path == output("stick.zip");
    });
    m_dialogs->saveResults.enqueue(output("stick.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save failed!"}));
    QVERIFY(FileHelpers::PathExists(m_bundle->file("zipTemp/stick.zip")));
}

void TestSavePackage::workingArchiveIsNeverTheOutput() {
    m_dialogs->saveResults.enqueue(m_archive);
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->boxes.size(), 1);
    QVERIFY(m_dialogs->texts()[0] != "Save succeed");
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    QCOMPARE(ReadZip(m_archive).value("logo.img"), QByteArray("logo"));
}

void TestSavePackage::signingFailureIsReported() {
    m_bundle->replaceToolWithScript("jre/bin/java", ": > \"$7\"\nexit 1");
    m_dialogs->saveResults.enqueue(output("update.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Sign file failed"}));
    QVERIFY(!FileHelpers::PathExists(output("update.zip")));
}

QTEST_MAIN(TestSavePackage)
#include "tst_SavePackage.moc"
