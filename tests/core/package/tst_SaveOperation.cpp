// Saving with the real signapk: configuration files put back only when they
// changed, a signed package that replaces the output only once it is checked,
// and staging for drives that are not fixed.
#include "core/AppState.h"
#include "core/io/DriveType.h"
#include "core/io/FaultPoints.h"
#include "core/io/FileHelpers.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/package/SavePackage.h"
#include "core/io/ToolRunner.h"
#include "core/workspace/Workspace.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

const QList<QPair<QString, QByteArray>> kMembers{
    {"system/build.prop", "ro.build.version.release=4.4.2\n"},
    {"system/usr/keylayout/Vendor_0001_Product_0001.kl", "key 1 POWER\n"},
    {"system/etc/key.xml", "<keys/>\n"},
    {"system/app/Music.apk", "music"},
    {"logo.img", "logo"}};

// Asks to stop a run as soon as it starts.
class StopAtStart : public ToolRunObserver {
public:
    void toolStarted(const ToolCommand&, ToolRunner& runner) override { runner.requestStop(); }
    void toolTick() override {}
    void toolProgress(int) override {}
    void toolFinished() override {}
};

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
    void noRoomRefusesBeforeSigning();

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
    FileHelpers::SetFileFaultsForTesting(nullptr);
    FileHelpers::SetAvailableBytesForTesting(nullptr);
    SetFaultPointHookForTesting(nullptr);
    m_runner.setObserver(nullptr);
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
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("outputIsPackage");
    for (const bool overPackage : {false, true}) {
        const char* suffix = overPackage ? ", over the opened package" : "";
        // The test key cannot be loaded: nothing is signed.
        QTest::addRow("broken key%s", suffix) << "key" << overPackage;
        // What was written is not a signed package: the check catches it.
        QTest::addRow("damaged result%s", suffix) << "damage" << overPackage;
        // The user stops the signing.
        QTest::addRow("stopped%s", suffix) << "stop" << overPackage;
        // The disk fills while the signed package is written.
        QTest::addRow("disk full%s", suffix) << "full" << overPackage;
    }
}

void TestSaveOperation::failedSigningKeepsTheOutput() {
    QFETCH(QString, fault);
    QFETCH(bool, outputIsPackage);
    const QString output = outputIsPackage ? m_package : file("user files/signed.zip");
    if (!outputIsPackage)
        QVERIFY(WriteFile(output, "an earlier save"));
    const QByteArray before = ReadFile(output);
    const QByteArray archiveBefore = ReadFile(m_archive);
    const QString temporary =
        QFileInfo(output).absolutePath() + "/." + QFileInfo(output).fileName() + ".corvane-part";

    StopAtStart stopper;
    if (fault == "key") {
        QVERIFY(WriteFile(file("Config/testkey.pk8"), "not a key"));
    } else if (fault == "full") {
        FileHelpers::SetFileFaultsForTesting(
            [&](FileHelpers::FileOp operation, const QString& path) {
                return operation == FileHelpers::FileOp::WriteFile && path == temporary;
            });
    } else if (fault == "damage") {
        SetFaultPointHookForTesting([&](const char* name) {
            if (QByteArray(name) == "save:signed")
                WriteFile(temporary, "not a signed package");
        });
    } else {
        // Signing takes a while over a few MB that do not compress.
        QByteArray noise(3 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 2654435761u) >> 13);
        QVERIFY(WriteZip(m_archive, {{"system/app/Big.apk", noise}}));
        m_runner.setObserver(&stopper);
    }

    QString error;
    QVERIFY(!SignPackageTo(op(), output, &error));
    QVERIFY(!error.isEmpty());
    // The stop, not something else, ended the save.
    QCOMPARE(error.contains("stopped"), fault == "stop");
    QCOMPARE(m_reporter.texts(), QStringList({"Sign file failed"}));
    QCOMPARE(ReadFile(output), before);
    if (fault != "stop")
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

// A save killed after it wrote its temporary file leaves that file and its
// record; the next start removes both and nothing else.
void TestSaveOperation::noRoomRefusesBeforeSigning() {
    const QString output = file("user files/signed.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    FileHelpers::SetAvailableBytesForTesting([](const QString&) { return qint64(1000); });
    QString error;
    QVERIFY(!SignPackageTo(op(), output, &error));
    QCOMPARE(m_reporter.texts().size(), 1);
    QVERIFY2(m_reporter.texts().first().startsWith("Not enough free space in"),
             qPrintable(m_reporter.texts().first()));
    QCOMPARE(ReadFile(output), QByteArray("an earlier save"));
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
}

void TestSaveOperation::interruptedSaveRemovedAtStart() {
    const QString output = file("user files/signed.zip");
    const QString temporary = file("user files/.signed.zip.corvane-part");
    // What a kill at that point would leave is copied aside.
    SetFaultPointHookForTesting([&](const char* name) {
        if (QByteArray(name) != "save:signed")
            return;
        WriteFile(temporary + ".copy", ReadFile(temporary));
        WriteFile(file("zipTemp/save.pending.copy"), ReadFile(file("zipTemp/save.pending")));
    });
    QVERIFY(SignPackageTo(op(), output));
    SetFaultPointHookForTesting(nullptr);
    const QByteArray saved = ReadFile(output);
    QCOMPARE(ReadFile(file("zipTemp/save.pending.copy")), temporary.toUtf8() + "\n");
    QVERIFY(FileHelpers::MoveFileTo(temporary + ".copy", temporary));
    QVERIFY(
        FileHelpers::MoveFileTo(file("zipTemp/save.pending.copy"), file("zipTemp/save.pending")));

    AppState next(m_bundle->path());
    RecordingReporter reporter;
    RemoveWorkspaceLeftovers(Operation{next, reporter, m_runner});
    QVERIFY(!FileHelpers::PathExists(temporary));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    QCOMPARE(ReadFile(output), saved);
    QCOMPARE(ReadFile(m_archive), ReadFile(m_package));
}

QTEST_GUILESS_MAIN(TestSaveOperation)
#include "tst_SaveOperation.moc"
