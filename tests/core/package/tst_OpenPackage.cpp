// Opening a package with the real 7-Zip: what is refused before anything is
// touched, what a failed extraction leaves behind, and what a successful
// open records in the workspace.
#include "core/AppState.h"
#include "core/io/FileHelpers.h"
#include "core/package/OpenPackage.h"
#include "core/Operation.h"
#include "core/Reporter.h"
#include "core/io/ToolRunner.h"
#include "core/workspace/Workspace.h"
#include "core/package/WorkspaceRecord.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

// Restores the real free-space answer when a test ends, whatever happened.
struct OutcomeGuard {
    ~OutcomeGuard() { FileHelpers::SetAvailableBytesForTesting(nullptr); }
};

class TestOpenOperation : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refusalsKeepTheOpenPackage_data();
    void refusalsKeepTheOpenPackage();
    void openRecordsThePackage();
    void wildcardCharactersAreLiteral();
    void readOnlyPackageGivesWritableWorkingArchive();
    void failedExtractionTakesNothingUp();
    void freeSpaceIsCheckedFirst_data();
    void freeSpaceIsCheckedFirst();

private:
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    QString package(const QString& name) const { return m_bundle->file("packages/" + name); }

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
};

void TestOpenOperation::init() {
    m_bundle = std::make_unique<TestBundle>();
    m_state = std::make_unique<AppState>(m_bundle->path());
    m_reporter = RecordingReporter();
    QVERIFY(QDir().mkpath(m_bundle->file("packages")));
    QVERIFY(
        WriteZip(package("first.zip"), {{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                                        {"system/app/Music.apk", "music"},
                                        {"logo.img", "logo"}}));
}

void TestOpenOperation::cleanup() {
    m_state.reset();
    m_bundle.reset();
}

void TestOpenOperation::refusalsKeepTheOpenPackage_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes"); // null: no file at all
    QTest::addColumn<bool>("missing");
    QTest::newRow("missing file") << "typed name.zip" << QByteArray() << true;
    QTest::newRow("not a ZIP") << "text.zip" << QByteArray("not a zip at all") << false;
    QTest::newRow("zero bytes") << "zero.zip" << QByteArray("") << false;
    // A ZIP without members: only the end record.
    QTest::newRow("empty ZIP") << "empty.zip" << QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0')
                               << false;
}

void TestOpenOperation::refusalsKeepTheOpenPackage() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, missing);
    QCOMPARE(OpenPackage(op(), package("first.zip")), OpenOutcome::Opened);
    const QByteArray archiveBefore = ReadFile(m_bundle->file("zipTemp/temp.zip"));
    const QByteArray recordBefore = ReadFile(m_bundle->file("zipTemp/workspace.state"));
    m_reporter = RecordingReporter();

    const QString refused = package(name);
    if (!missing)
        QVERIFY(WriteFile(refused, bytes));
    bool accepted = false;
    OpenPackageHooks hooks;
    hooks.accepted = [&] { accepted = true; };
    QString error;
    QCOMPARE(OpenPackage(op(), refused, hooks, &error), OpenOutcome::Refused);
    QVERIFY(!error.isEmpty());
    QVERIFY(!accepted);
    QCOMPARE(m_reporter.texts(),
             QStringList({missing ? QString("File \"%1\" does not exist!").arg(refused)
                                  : QString("UnZip file failed")}));
    // Nothing of the open package was touched.
    QCOMPARE(ReadFile(m_bundle->file("srctemp/system/app/Music.apk")), QByteArray("music"));
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), archiveBefore);
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/workspace.state")), recordBefore);
    QCOMPARE(m_state->workingArchivePath(), m_bundle->file("zipTemp/temp.zip"));
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QCOMPARE(FileHelpers::PathExists(refused), !missing);
}

void TestOpenOperation::freeSpaceIsCheckedFirst_data() {
    QTest::addColumn<qint64>("freeBeyondNeed"); // free bytes minus what the open needs
    QTest::addColumn<bool>("opens");
    QTest::newRow("a byte short") << qint64(-1) << false;
    QTest::newRow("just enough, counting what the open frees") << qint64(0) << true;
}

void TestOpenOperation::freeSpaceIsCheckedFirst() {
    QFETCH(qint64, freeBeyondNeed);
    QFETCH(bool, opens);
    QCOMPARE(OpenPackage(op(), package("first.zip")), OpenOutcome::Opened);
    const qint64 freed = QFileInfo(m_bundle->file("zipTemp/temp.zip")).size() +
                         qint64(sizeof("ro.build.version.release=5.1.1\n") - 1) + 5 + 4;
    const QByteArray big(300000, 'x');
    QVERIFY(WriteZip(package("big.zip"), {{"system/app/Big.apk", big}}));
    const qint64 needed = big.size() + QFileInfo(package("big.zip")).size();
    FileHelpers::SetAvailableBytesForTesting(
        [=](const QString&) { return needed - freed + freeBeyondNeed; });
    m_reporter = RecordingReporter();

    const OutcomeGuard restore;
    const OpenOutcome outcome = OpenPackage(op(), package("big.zip"));
    QCOMPARE(outcome, opens ? OpenOutcome::Opened : OpenOutcome::Refused);
    if (!opens) {
        QCOMPARE(m_reporter.texts().size(), 1);
        QVERIFY2(m_reporter.texts().first().startsWith("Not enough free space in"),
                 qPrintable(m_reporter.texts().first()));
        // Refused before anything was deleted.
        QCOMPARE(ReadFile(m_bundle->file("srctemp/system/app/Music.apk")), QByteArray("music"));
        QCOMPARE(m_state->workingArchivePath(), m_bundle->file("zipTemp/temp.zip"));
    }
}

void TestOpenOperation::openRecordsThePackage() {
    const QString path = package("my package 固件.zip");
    QVERIFY(QFile::copy(package("first.zip"), path));
    const QByteArray bytes = ReadFile(path);
    int treeChanges = 0;
    bool treeListedAtSuccess = false;
    OpenPackageHooks hooks;
    hooks.treeChanged = [&] {
        ++treeChanges;
        treeListedAtSuccess = FileHelpers::PathExists(m_bundle->file("srctemp/logo.img"));
    };
    QCOMPARE(OpenPackage(op(), path, hooks), OpenOutcome::Opened);
    QCOMPARE(m_reporter.texts(), QStringList({"UnZip file successfully"}));
    QCOMPARE(treeChanges, 1);
    QVERIFY(treeListedAtSuccess);
    QCOMPARE(m_state->workingArchivePath(), m_bundle->file("zipTemp/temp.zip"));
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), bytes);
    QCOMPARE(ReadFile(path), bytes);
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QCOMPARE(ReadFile(m_bundle->file("srctemp/system/app/Music.apk")), QByteArray("music"));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("zipTemp/temp.zip.part")));

    const WorkspaceRecord record = WorkspaceRecord::read(m_bundle->file("zipTemp/workspace.state"));
    QCOMPARE(record.stage, WorkspaceRecord::Stage::Open);
    QCOMPARE(record.package, path);
}

// 7-Zip takes '?' and '*' literally: "fw?.zip" beside fw1.zip and fw2.zip
// unpacks itself only.
void TestOpenOperation::wildcardCharactersAreLiteral() {
    QVERIFY(WriteZip(package("fw1.zip"), {{"one.txt", "1"}}));
    QVERIFY(WriteZip(package("fw2.zip"), {{"two.txt", "2"}}));
    QVERIFY(WriteZip(package("fw?.zip"), {{"literal.txt", "?"}}));
    QCOMPARE(OpenPackage(op(), package("fw?.zip")), OpenOutcome::Opened);
    QCOMPARE(FileHelpers::ListDirectory(m_bundle->file("srctemp")), QStringList({"literal.txt"}));
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), ReadFile(package("fw?.zip")));
}

void TestOpenOperation::readOnlyPackageGivesWritableWorkingArchive() {
    const QString path = package("first.zip");
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                            QFileDevice::ReadOther));
    QCOMPARE(OpenPackage(op(), path), OpenOutcome::Opened);
    const QFileInfo archive(m_bundle->file("zipTemp/temp.zip"));
    QVERIFY(archive.permissions() & QFileDevice::WriteOwner);
    QCOMPARE(ReadFile(archive.filePath()), ReadFile(path));

    // The same package again, then another one: each replaces the copy.
    QCOMPARE(OpenPackage(op(), path), OpenOutcome::Opened);
    QVERIFY(
        WriteZip(package("second.zip"), {{"system/build.prop", "ro.build.version.release=4.4\n"},
                                         {"system/app/Camera.apk", "camera"}}));
    QCOMPARE(OpenPackage(op(), package("second.zip")), OpenOutcome::Opened);
    QCOMPARE(ReadFile(archive.filePath()), ReadFile(package("second.zip")));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
    QCOMPARE(m_reporter.texts(), QStringList(3, "UnZip file successfully"));
    QCOMPARE(QFileInfo(path).permissions() & QFileDevice::WriteOwner, QFileDevice::Permissions());
}

// 7-Zip meets a damaged member (exit code 2) after unpacking part of the
// package: the old tree is gone and the old working archive must not be taken
// up, neither now nor at the next start.
void TestOpenOperation::failedExtractionTakesNothingUp() {
    QCOMPARE(OpenPackage(op(), package("first.zip")), OpenOutcome::Opened);
    const QByteArray oldArchive = ReadFile(m_bundle->file("zipTemp/temp.zip"));
    QVERIFY(WriteZip(package("damaged.zip"), {{"logo.img", "other logo"}}));
    m_bundle->replaceToolWithScript("Config/7za", "out=\"${5#-o}\"\nmkdir -p \"$out\"\n"
                                                  "echo partial > \"$out/logo.img\"\nexit 2");
    m_reporter = RecordingReporter();
    bool accepted = false;
    OpenPackageHooks hooks;
    hooks.accepted = [&] { accepted = true; };
    QString error;
    QCOMPARE(OpenPackage(op(), package("damaged.zip"), hooks, &error), OpenOutcome::Failed);
    QVERIFY(accepted);
    QVERIFY(!error.isEmpty());
    QCOMPARE(m_reporter.texts(), QStringList({"UnZip file failed"}));
    QVERIFY(m_state->workingArchivePath().isEmpty());
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("zipTemp/temp.zip.part")));
    // The old working archive went with the old tree: it matched no tree any more.
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("zipTemp/temp.zip")));
    const WorkspaceRecord record = WorkspaceRecord::read(m_bundle->file("zipTemp/workspace.state"));
    QCOMPARE(record.stage, WorkspaceRecord::Stage::Opening);
    QCOMPARE(record.package, package("damaged.zip"));

    // The next start clears the half-made tree without asking.
    AppState next(m_bundle->path());
    RecordingReporter nextReporter(true);
    QCOMPARE(ResumeWorkspace(Operation{next, nextReporter, m_runner}), ResumeOutcome::Cleared);
    QCOMPARE(nextReporter.texts(),
             QStringList({QString("The last package \"%1\" did not finish opening; its files "
                                  "were cleared.")
                              .arg(package("damaged.zip"))}));
    QVERIFY(next.workingArchivePath().isEmpty());
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp")));
}

QTEST_GUILESS_MAIN(TestOpenOperation)
#include "tst_OpenPackage.moc"
