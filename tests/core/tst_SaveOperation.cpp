// Saving with the real signapk: configuration files put back only when they
// changed, a signed package that replaces the output only once it is checked,
// and staging for drives that are not fixed.
#include "core/AppState.h"
#include "core/DriveType.h"
#include "core/FileHelpers.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/SavePackage.h"
#include "core/ToolRunner.h"
#include "core/Workspace.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>

namespace {

const QList<QPair<QString, QByteArray>> kMembers{
    {"system/build.prop", "ro.build.version.release=4.4.2\n"},
    {"system/usr/keylayout/Vendor_0001_Product_0001.kl", "key 1 POWER\n"},
    {"system/etc/key.xml", "<keys/>\n"},
    {"system/app/Music.apk", "music"},
    {"logo.img", "logo"}};

// Hidden temporary files of a save in a directory.
QStringList temporaryOutputs(const QString& directory) {
    return QDir(directory).entryList({".*.corvane-part"}, QDir::Files | QDir::Hidden);
}

} // namespace

class TestSaveOperation : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void unchangedConfigFilesLeaveTheArchiveAlone();
    void changedBuildPropIsPutBack();
    void failedSigningKeepsTheOutput_data();
    void failedSigningKeepsTheOutput();
    void signedPackageVerifiesAndHoldsTheArchive();
    void nonFixedDriveIsStaged();
    void outputInsideTheWorkspaceIsNotStagedOntoItself();
    void interruptedSaveRemovedAtStart();

private:
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    QString file(const QString& relative) const { return m_bundle->file(relative); }
    QString certificate() const { return file("Config/testkey.x509.pem"); }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
    QString m_archive;
    QString m_package;
};

void TestSaveOperation::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_state = std::make_unique<AppState>(m_bundle->path());
    m_reporter = RecordingReporter();
    SetDriveClassifierForTesting([](const QString&) { return false; });
    // As after an open: the user's package, its copy as the working archive
    // and the tree unpacked from it.
    m_package = file("user files/update.zip");
    QVERIFY(QDir().mkpath(file("user files")));
    QVERIFY(WriteZip(m_package, kMembers));
    m_archive = file("zipTemp/temp.zip");
    QVERIFY(QDir().mkpath(file("zipTemp")));
    QVERIFY(QFile::copy(m_package, m_archive));
    for (const auto& [name, data] : kMembers)
        QVERIFY(WriteFile(file("srctemp/" + name), data));
    m_state->setWorkingArchivePath(m_archive);
}

void TestSaveOperation::cleanup() {
    SetDriveClassifierForTesting(nullptr);
    m_state.reset();
    m_bundle.reset();
}

void TestSaveOperation::unchangedConfigFilesLeaveTheArchiveAlone() {
    const QByteArray before = ReadFile(m_archive);
    QVERIFY(PutBackConfigFiles(op()));
    QCOMPARE(ReadFile(m_archive), before);
    QVERIFY(m_reporter.texts().isEmpty());
}

void TestSaveOperation::changedBuildPropIsPutBack() {
    const QByteArray edited = "ro.build.version.release=4.4.2\nro.edited=1\n";
    QVERIFY(WriteFile(file("srctemp/system/build.prop"), edited));
    QVERIFY(PutBackConfigFiles(op()));
    auto expected = ReadZip(m_package);
    expected.insert("system/build.prop", edited);
    QCOMPARE(ReadZip(m_archive), expected);
    QVERIFY(m_reporter.texts().isEmpty());
}

void TestSaveOperation::failedSigningKeepsTheOutput_data() {
    QTest::addColumn<QString>("signer");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("outputIsPackage");
    // The fake java gets: -jar signapk.jar -w cert key input output.
    const QString fails = "exit 1";
    const QString garbage = "echo 'not a signed package' > \"$7\"\nexit 0";
    const QString hangs = "echo partial > \"$7\"\nexec sleep 30";
    QTest::newRow("signer fails") << fails << false << false;
    QTest::newRow("signer writes garbage") << garbage << false << false;
    QTest::newRow("signer stopped") << hangs << true << false;
    QTest::newRow("signer fails, over the package") << fails << false << true;
    QTest::newRow("signer writes garbage, over the package") << garbage << false << true;
    QTest::newRow("signer stopped, over the package") << hangs << true << true;
}

void TestSaveOperation::failedSigningKeepsTheOutput() {
    QFETCH(QString, signer);
    QFETCH(bool, stop);
    QFETCH(bool, outputIsPackage);
    const QString output = outputIsPackage ? m_package : file("user files/signed.zip");
    if (!outputIsPackage)
        QVERIFY(WriteFile(output, "an earlier save"));
    const QByteArray before = ReadFile(output);
    const QByteArray archiveBefore = ReadFile(m_archive);
    m_bundle->replaceToolWithScript("jre/bin/java", signer);
    if (stop)
        QTimer::singleShot(300, this, [this] { m_runner.requestStop(); });

    QString error;
    QVERIFY(!SignPackageTo(op(), output, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(m_reporter.texts(), QStringList({"Sign file failed"}));
    QCOMPARE(ReadFile(output), before);
    QCOMPARE(ReadFile(m_archive), archiveBefore);
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
}

void TestSaveOperation::signedPackageVerifiesAndHoldsTheArchive() {
    const QString output = file("user files/signed.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    QString error;
    QVERIFY2(SignPackageTo(op(), output, &error), qPrintable(error));
    QVERIFY(m_reporter.texts().isEmpty());
    QVERIFY2(VerifySignedPackage(output, certificate(), &error), qPrintable(error));
    const auto saved = ReadZip(output);
    for (const auto& [name, data] : kMembers)
        QCOMPARE(saved.value(name), data);
    QVERIFY(saved.contains("META-INF/com/android/otacert"));
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    // The working archive itself is not signed.
    QCOMPARE(ReadFile(m_archive), ReadFile(m_package));

    // The same output again replaces it.
    QVERIFY(SignPackageTo(op(), output, &error));
    QVERIFY(VerifySignedPackage(output, certificate(), &error));
}

void TestSaveOperation::nonFixedDriveIsStaged() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    const QString output = file("stick/update.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    QString error;
    QVERIFY2(SignPackageTo(op(), output, &error), qPrintable(error));
    QVERIFY(m_reporter.texts().isEmpty());
    const QByteArray staged = ReadFile(file("zipTemp/update.zip"));
    QVERIFY(!staged.isEmpty());
    QCOMPARE(ReadFile(output), staged);
    QVERIFY2(VerifySignedPackage(output, certificate(), &error), qPrintable(error));
    QCOMPARE(temporaryOutputs(file("stick")), QStringList());
    QCOMPARE(temporaryOutputs(file("zipTemp")), QStringList());
    QCOMPARE(ReadFile(m_archive), ReadFile(m_package));
}

// Staging an output that lies in the workspace would copy the staged file
// onto itself; it is signed in place instead.
void TestSaveOperation::outputInsideTheWorkspaceIsNotStagedOntoItself() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    const QString output = file("zipTemp/update.zip");
    QString error;
    QVERIFY2(SignPackageTo(op(), output, &error), qPrintable(error));
    QCOMPARE(m_reporter.texts(), QStringList());
    QVERIFY2(VerifySignedPackage(output, certificate(), &error), qPrintable(error));
    QCOMPARE(QDir(file("zipTemp")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"temp.zip", "update.zip"}));
}

void TestSaveOperation::interruptedSaveRemovedAtStart() {
    // The save is killed while the signer writes: only the temporary file
    // and the record remain.
    const QString output = file("user files/signed.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    m_bundle->replaceToolWithScript("jre/bin/java", "echo partial > \"$7\"\nexec sleep 30");
    // Once the signer has begun its output, the state of a kill is copied.
    const QString temporary = file("user files/.signed.zip.corvane-part");
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (ReadFile(temporary).isEmpty())
            return;
        poll.stop();
        WriteFile(temporary + ".copy", ReadFile(temporary));
        WriteFile(file("zipTemp/save.pending.copy"), ReadFile(file("zipTemp/save.pending")));
        m_runner.requestStop();
    });
    poll.start(20);
    QVERIFY(!SignPackageTo(op(), output));
    QVERIFY(!FileHelpers::PathExists(temporary));
    QCOMPARE(ReadFile(file("zipTemp/save.pending.copy")), temporary.toUtf8() + "\n");
    // Put back what a kill would have left.
    QVERIFY(FileHelpers::MoveFileTo(temporary + ".copy", temporary));
    QVERIFY(
        FileHelpers::MoveFileTo(file("zipTemp/save.pending.copy"), file("zipTemp/save.pending")));

    AppState next(m_bundle->path());
    RecordingReporter reporter;
    RemoveWorkspaceLeftovers(Operation{next, reporter, m_runner});
    QVERIFY(!FileHelpers::PathExists(temporary));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    QCOMPARE(ReadFile(output), QByteArray("an earlier save"));
}

QTEST_GUILESS_MAIN(TestSaveOperation)
#include "tst_SaveOperation.moc"
