#include "core/base/DriveType.h"
#include "core/base/FileHelpers.h"
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
    QString diagnosticsLog() const { return m_window->state().paths().diagnosticsLog(); }

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
    QCOMPARE(dialog.kind, UiDialogs::FileKind::Package);
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
    const QString log = QString::fromUtf8(ReadFile(diagnosticsLog()));
    QVERIFY2(log.contains("Save failed: "), qPrintable(log));
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
    // A success leaves no diagnostics.
    QVERIFY(!FileHelpers::PathExists(diagnosticsLog()));
}

// Signed and checked in a staging folder of the workspace, then copied; the
// staged copy and its folder go once the output is in place.
void TestSavePackage::nonFixedDriveStagesInZipTemp() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    for (int round = 0; round < 2; ++round) {
        m_dialogs->saveResults.enqueue(output("stick.zip"));
        m_dlg->OnSaveClicked();
        QCOMPARE(m_dialogs->texts().last(), QString("Save succeed"));
        QCOMPARE(ReadZip(output("stick.zip")).value("logo.img"), QByteArray("logo"));
        QCOMPARE(
            QDir(file("zipTemp")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList({"temp.zip"}));
    }
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed", "Save succeed"}));
}

void TestSavePackage::stagingNeverOverwritesWorkingArchive() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    m_dialogs->saveResults.enqueue(output("temp.zip"));
    m_dlg->OnSaveClicked();
    QCOMPARE(m_dialogs->texts(), QStringList({"Save succeed"}));
    QVERIFY(ZipMemberNames(m_archive).filter("META-INF").isEmpty());
    QVERIFY(!ZipMemberNames(output("temp.zip")).filter("META-INF").isEmpty());
}

// A file operation of a staged save fails: the output keeps what it had, no
// temporary file is left beside it, and the workspace holds no staged copy
// (a file there named as the output is not the save's).
void TestSavePackage::stagingFaults_data() {
    QTest::addColumn<FileHelpers::FileOp>("op");
    QTest::addColumn<QString>("target"); // relative to the bundle
    QTest::addColumn<QString>("message");
    using Op = FileHelpers::FileOp;
    QTest::newRow("staged copy cannot be written")
        << Op::WriteFile << "zipTemp/staged-saves/stick.zip"
        << "Sign file failed";
    QTest::newRow("copy to the drive fails") << Op::WriteFile << "out dir/stick.zip"
                                             << "Save failed!";
    QTest::newRow("copy on the drive not renamed into place") << Op::MoveFile << "out dir/stick.zip"
                                                              << "Save failed!";
}

void TestSavePackage::stagingFaults() {
    QFETCH(FileHelpers::FileOp, op);
    QFETCH(QString, target);
    QFETCH(QString, message);
    SetDriveClassifierForTesting([](const QString&) { return true; });
    QVERIFY(WriteFile(output("stick.zip"), "an earlier save"));
    QVERIFY(WriteFile(file("zipTemp/stick.zip"), "a file of the user's"));
    const QString faulted = file(target);
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp what, const QString& path) {
        return what == op && path == faulted;
    });
    m_dialogs->saveResults.enqueue(output("stick.zip"));
    m_dlg->OnSaveClicked();
    // The message, then the cause on a line of its own.
    QCOMPARE(m_dialogs->texts().size(), 1);
    QCOMPARE(m_dialogs->texts().first().section('\n', 0, 0), message);
    QVERIFY(!m_dialogs->texts().first().section('\n', 1).isEmpty());
    QCOMPARE(ReadFile(output("stick.zip")), QByteArray("an earlier save"));
    QCOMPARE(QDir(file("out dir")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"stick.zip"}));
    QCOMPARE(
        QDir(file("zipTemp")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList({"stick.zip", "temp.zip"}));
    QCOMPARE(ReadFile(file("zipTemp/stick.zip")), QByteArray("a file of the user's"));
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
    // What failed, and which key file is wrong.
    QCOMPARE(m_dialogs->texts().size(), 1);
    const QString text = m_dialogs->texts().first();
    QVERIFY2(text.startsWith("Sign file failed\n"), qPrintable(text));
    QVERIFY2(text.contains("testkey.pk8") && text.contains("not an unencrypted PKCS#8"),
             qPrintable(text));
    QCOMPARE(ReadFile(output("update.zip")), QByteArray("an earlier save"));
    QCOMPARE(QDir(file("out dir")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"update.zip"}));
    // The cause, as the message gives it, is kept for the user to send.
    const QString log = QString::fromUtf8(ReadFile(diagnosticsLog()));
    QCOMPARE(log.count('\n'), 1);
    QVERIFY2(log.contains(QString("Save \"%1\" failed: ").arg(output("update.zip"))),
             qPrintable(log));
    QVERIFY2(log.contains("not an unencrypted PKCS#8"), qPrintable(log));
}

QTEST_MAIN(TestSavePackage)
#include "tst_SavePackage.moc"
