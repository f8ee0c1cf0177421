// Saving with the real signapk: configuration files put back only when they
// changed, a signed package that replaces the output only once it is checked,
// and staging for drives that are not fixed.
#include "core/base/DriveType.h"
#include "core/base/FileHelpers.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/format/ArchiveEditor.h"
#include "core/workspace/AppState.h"
#include "core/workspace/SavePackage.h"
#include "core/workspace/Workspace.h"
#include "support/RawZip.h"
#include "support/RecordingReporter.h"
#include "support/ResultCheck.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

namespace {

const QList<QPair<QString, QByteArray>> kMembers{
    {"system/build.prop", "ro.build.version.release=4.4.2\n"},
    {"system/usr/keylayout/Vendor_0001_Product_0001.kl", "key 1 POWER\n"},
    {"system/etc/key.xml", "<keys/>\n"},
    {"system/app/Music.apk", "music"},
    {"logo.img", "logo"}};

// A busy display that shows nothing: a run is stoppable only with a display.
class SilentDisplay : public ToolRunObserver {
public:
    void toolStarted(const ToolCommand&, ToolRunner&) override {}
    void toolTick() override {}
    void toolProgress(int) override {}
    void toolFinished() override {}
};

// Hidden temporary files of a save in a directory.
QStringList temporaryOutputs(const QString& directory) {
    return QDir(directory).entryList({".*.corvane-part"}, QDir::Files | QDir::Hidden);
}

QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : data)
        byte = static_cast<char>(random.generate() & 0xff);
    return data;
}

bool run(const QString& program, const QStringList& arguments, const QString& directory = {},
         QByteArray* errors = nullptr) {
    QProcess process;
    process.setWorkingDirectory(directory);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(120000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (errors)
        *errors = process.readAllStandardError();
    return ok;
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
    void outputNamedLikeWorkspaceFilesIsStagedApart_data();
    void outputNamedLikeWorkspaceFilesIsStagedApart();
    void interruptedSaveRemovedAtStart_data();
    void interruptedSaveRemovedAtStart();
    void nextSaveRemovesAbandonedTemporaries();
    void plantedLinkIsNotWrittenThrough();
    void twoSavesToOneOutputBothSucceed();
    void noRoomRefusesBeforeSigning();
    void roomCountsOnlyWhatTheOutputHolds();
    void keyErrorNamesTheRealFile();
    void membersTheDeviceCannotReadRefuseTheSave_data();
    void membersTheDeviceCannotReadRefuseTheSave();

private:
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    QString file(const QString& relative) const { return m_bundle->file(relative); }
    QString certificate() const { return file("Config/testkey.x509.pem"); }
    // The one temporary file beside path, or an empty string.
    QString temporaryBeside(const QString& path) const;

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
    QString m_archive;
    QString m_package;
};

QString TestSaveOperation::temporaryBeside(const QString& path) const {
    const QString directory = QFileInfo(path).absolutePath();
    const QStringList names = QDir(directory).entryList(
        {"." + QFileInfo(path).fileName() + ".*.corvane-part"}, QDir::Files | QDir::Hidden);
    return names.size() == 1 ? directory + "/" + names.first() : QString();
}

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
    const Result putBack = PutBackConfigFiles(op());
    QVERIFY(putBack.succeeded());
    QCOMPARE(putBack.notice().kind, Notice::Kind::None);
    QCOMPARE(ReadFile(m_archive), before);
    QVERIFY(m_reporter.texts().isEmpty());
}

void TestSaveOperation::changedBuildPropIsPutBack() {
    const QByteArray edited = "ro.build.version.release=4.4.2\nro.edited=1\n";
    QVERIFY(WriteFile(file("srctemp/system/build.prop"), edited));
    QVERIFY(PutBackConfigFiles(op()).succeeded());
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

    SilentDisplay display;
    if (fault == "key") {
        QVERIFY(WriteFile(file("Config/testkey.pk8"), "not a key"));
    } else if (fault == "full") {
        FileHelpers::SetFileFaultsForTesting(
            [&](FileHelpers::FileOp operation, const QString& path) {
                return operation == FileHelpers::FileOp::WriteFile && path == output;
            });
    } else if (fault == "damage") {
        SetFaultPointHookForTesting([&](const char* name) {
            if (QByteArray(name) == "save:signed")
                WriteFile(temporaryBeside(output), "not a signed package");
            return FaultAction::None;
        });
    } else {
        // The user stops the run once the first bytes are written, whatever
        // the speed of the machine.
        QVERIFY(WriteZip(m_archive, {{"system/app/Big.apk", noise(3 << 20, 3)},
                                     {"system/app/Other.apk", noise(1 << 20, 4)}}));
        FileHelpers::SetFileFaultsForTesting(
            [&](FileHelpers::FileOp operation, const QString& path) {
                if (operation == FileHelpers::FileOp::WriteFile && path == output)
                    m_runner.requestStop();
                return false;
            });
        m_runner.setObserver(&display);
    }

    const Result saved = SignPackageTo(op(), output);
    QVERIFY(saved.failed());
    const QString error = saved.cause();
    QVERIFY(!error.isEmpty());
    // The stop, not something else, ended the save.
    QCOMPARE(error.contains("stopped"), fault == "stop");
    // The message says what failed, and why.
    QCOMPARE(saved.notice().text, "Sign file failed\n" + error);
    QVERIFY(m_reporter.texts().isEmpty());
    QCOMPARE(ReadFile(output), before);
    if (fault != "stop")
        QCOMPARE(ReadFile(m_archive), archiveBefore);
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
}

void TestSaveOperation::signedPackageVerifiesAndHoldsTheArchive() {
    const QString output = file("user files/signed.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    const Result result = SignPackageTo(op(), output);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    // Success is told by the caller, with the result's notice.
    QCOMPARE(result.notice().kind, Notice::Kind::Success);
    QCOMPARE(result.notice().text, QString("Save succeed"));
    QVERIFY(m_reporter.texts().isEmpty());
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
    const auto saved = ReadZip(output);
    for (const auto& [name, data] : kMembers)
        QCOMPARE(saved.value(name), data);
    QVERIFY(saved.contains("META-INF/com/android/otacert"));
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    // The working archive itself is not signed.
    QCOMPARE(ReadFile(m_archive), ReadFile(m_package));

    // The same output again replaces it.
    QVERIFY(SignPackageTo(op(), output).succeeded());
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
}

// Signed and checked in the workspace first; the staged copy goes once it
// is on the drive.
void TestSaveOperation::nonFixedDriveIsStaged() {
    SetDriveClassifierForTesting([](const QString&) { return true; });
    const QString output = file("stick/update.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    const QStringList workspaceBefore =
        QDir(file("zipTemp")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QByteArray staged;
    SetFaultPointHookForTesting([&](const char* name) {
        if (QByteArray(name) == "save:copied")
            staged = ReadFile(temporaryBeside(file("zipTemp/staged-saves/update.zip")));
        return FaultAction::None;
    });
    const Result saved = SignPackageTo(op(), output);
    QVERIFY2(saved.succeeded(), qPrintable(saved.cause()));
    QVERIFY(m_reporter.texts().isEmpty());
    QVERIFY(!staged.isEmpty());
    QCOMPARE(ReadFile(output), staged);
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
    QCOMPARE(temporaryOutputs(file("stick")), QStringList());
    QCOMPARE(
        QDir(file("zipTemp")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        workspaceBefore);
    QCOMPARE(ReadFile(m_archive), ReadFile(m_package));
}

// Outputs on a drive that is not fixed, named as the workspace's own files:
// each is staged apart from them, and they keep their bytes.
void TestSaveOperation::outputNamedLikeWorkspaceFilesIsStagedApart_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("save record") << "save.pending";
    QTest::newRow("workspace record") << "workspace.state";
    QTest::newRow("working archive") << "temp.zip";
    QTest::newRow("tree journal") << "tree.pending";
}

void TestSaveOperation::outputNamedLikeWorkspaceFilesIsStagedApart() {
    QFETCH(QString, name);
    SetDriveClassifierForTesting([](const QString&) { return true; });
    QVERIFY(WriteFile(file("zipTemp/workspace.state"), "the workspace's record"));
    QMap<QString, QByteArray> before;
    for (const QString& entry : QDir(file("zipTemp")).entryList(QDir::Files | QDir::Hidden))
        before.insert(entry, ReadFile(file("zipTemp/" + entry)));
    const QString output = file("stick/" + name);
    QVERIFY(QDir().mkpath(file("stick")));
    const Result saved = SignPackageTo(op(), output);
    QVERIFY2(saved.succeeded(), qPrintable(saved.cause()));
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
    QCOMPARE(ReadZip(output).value("logo.img"), QByteArray("logo"));
    QMap<QString, QByteArray> after;
    for (const QString& entry : QDir(file("zipTemp")).entryList(QDir::Files | QDir::Hidden))
        after.insert(entry, ReadFile(file("zipTemp/" + entry)));
    QCOMPARE(after, before);
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/staged-saves")));
}

void TestSaveOperation::noRoomRefusesBeforeSigning() {
    const QString output = file("user files/signed.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    FileHelpers::SetAvailableBytesForTesting([](const QString&) { return qint64(1000); });
    const Result saved = SignPackageTo(op(), output);
    QVERIFY(saved.failed());
    QVERIFY2(saved.notice().text.startsWith("Not enough free space in"),
             qPrintable(saved.notice().text));
    QCOMPARE(saved.cause(), QString("not enough free space"));
    QCOMPARE(ReadFile(output), QByteArray("an earlier save"));
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
}

// A save killed after it wrote its temporary file leaves that file (and, when
// staged, its staged copy) and its record; the next start removes them and
// nothing else.
void TestSaveOperation::interruptedSaveRemovedAtStart_data() {
    QTest::addColumn<bool>("staged");
    QTest::newRow("fixed disk") << false;
    QTest::newRow("staged") << true;
}

void TestSaveOperation::interruptedSaveRemovedAtStart() {
    QFETCH(bool, staged);
    SetDriveClassifierForTesting([staged](const QString&) { return staged; });
    const QString output = file("user files/signed.zip");
    // What a kill at that point would leave is copied aside, under names of
    // temporary files whose writer is gone.
    const QString abandoned = file("user files/.signed.zip.k1lled.corvane-part");
    const QString abandonedStaged = file("zipTemp/staged-saves/.signed.zip.k1lled.corvane-part");
    QByteArray record;
    SetFaultPointHookForTesting([&](const char* name) {
        if (QByteArray(name) != (staged ? "save:copied" : "save:signed"))
            return FaultAction::None;
        WriteFile(abandoned, ReadFile(temporaryBeside(output)));
        if (staged)
            WriteFile(abandonedStaged,
                      ReadFile(temporaryBeside(file("zipTemp/staged-saves/signed.zip"))));
        record = ReadFile(file("zipTemp/save.pending"));
        return FaultAction::None;
    });
    QVERIFY(SignPackageTo(op(), output).succeeded());
    SetFaultPointHookForTesting(nullptr);
    const QByteArray saved = ReadFile(output);
    QCOMPARE(record, output.toUtf8() + "\n");
    QVERIFY(WriteFile(file("zipTemp/save.pending"), record));
    QVERIFY(WriteFile(file("user files/.other.zip.k1lled.corvane-part"), "another output's"));

    AppState next(m_bundle->path());
    RecordingReporter reporter;
    RemoveWorkspaceLeftovers(Operation{next, reporter, m_runner});
    QVERIFY(!FileHelpers::PathExists(abandoned));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/staged-saves")));
    QVERIFY(!FileHelpers::PathExists(file("zipTemp/save.pending")));
    QVERIFY(FileHelpers::PathExists(file("user files/.other.zip.k1lled.corvane-part")));
    QCOMPARE(ReadFile(output), saved);
    QCOMPARE(ReadFile(m_archive), ReadFile(m_package));
}

// A run killed while saving (the command-line tool's workspace goes with it)
// leaves its temporary file beside the output: the next save to that output
// removes it, but not the file of a save still under way.
void TestSaveOperation::nextSaveRemovesAbandonedTemporaries() {
    const QString output = file("user files/signed.zip");
    const QString abandoned = file("user files/.signed.zip.k1lled.corvane-part");
    QVERIFY(WriteFile(abandoned, "half a package"));
    FileHelpers::TemporaryFile live(output);
    QVERIFY(live.open());
    const Result saved = SignPackageTo(op(), output);
    QVERIFY2(saved.succeeded(), qPrintable(saved.cause()));
    QVERIFY(!FileHelpers::PathExists(abandoned));
    QVERIFY(FileHelpers::PathExists(live.path()));
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
}

// Someone planted links under the names a save's temporary file could have:
// the files they point to keep their bytes.
void TestSaveOperation::plantedLinkIsNotWrittenThrough() {
    const QString output = file("user files/signed.zip");
    const QString victim = file("elsewhere/victim.txt");
    QVERIFY(WriteFile(victim, "not yours"));
    QVERIFY(QFile::link(victim, file("user files/.signed.zip.corvane-part")));
    const Result saved = SignPackageTo(op(), output);
    QVERIFY2(saved.succeeded(), qPrintable(saved.cause()));
    QCOMPARE(ReadFile(victim), QByteArray("not yours"));
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
}

// A second save to the same output runs while the first is between its
// signing and its check: each writes a file of its own, both succeed and the
// output is a whole signed package.
void TestSaveOperation::twoSavesToOneOutputBothSucceed() {
    const QString output = file("user files/signed.zip");
    TestBundle otherBundle;
    AppState otherState(otherBundle.path());
    QVERIFY(QDir().mkpath(otherBundle.file("zipTemp")));
    QVERIFY(QFile::copy(m_archive, otherBundle.file("zipTemp/temp.zip")));
    otherState.setWorkingArchivePath(otherBundle.file("zipTemp/temp.zip"));
    RecordingReporter otherReporter;
    ToolRunner otherRunner;
    bool secondSaved = false;
    QString secondError;
    bool started = false;
    SetFaultPointHookForTesting([&](const char* name) {
        if (QByteArray(name) != "save:signed" || started)
            return FaultAction::None;
        started = true;
        const Result second =
            SignPackageTo(Operation{otherState, otherReporter, otherRunner}, output);
        secondSaved = second.succeeded();
        secondError = second.cause();
        return FaultAction::None;
    });
    const Result saved = SignPackageTo(op(), output);
    QVERIFY2(saved.succeeded(), qPrintable(saved.cause()));
    QVERIFY2(secondSaved, qPrintable(secondError));
    QCOMPARE(FailureOf(VerifySignedPackage(output, certificate())), QString());
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
}

void TestSaveOperation::roomCountsOnlyWhatTheOutputHolds() {
    // 3 MB of an earlier logo stay in the working archive as dead bytes.
    QVERIFY(WriteZip(m_archive, {{"logo.img", noise(3 << 20, 5)}, {"system/build.prop", "x=1\n"}}));
    QVERIFY(WriteFile(file("new-logo.img"), QByteArray(1000, 'n')));
    QVERIFY(ApplyArchiveChanges(m_archive,
                                {{ArchiveChangeKind::Put, "logo.img", file("new-logo.img")}}));
    FileHelpers::SetAvailableBytesForTesting([](const QString&) { return qint64(1 << 20); });
    const QString output = file("user files/signed.zip");
    const Result saved = SignPackageTo(op(), output);
    QVERIFY2(saved.succeeded(), qPrintable(saved.cause()));
    QVERIFY(m_reporter.texts().isEmpty());
    QVERIFY(QFileInfo(output).size() < (1 << 20));
}

// The key files are named where they really are: a workspace whose Config
// folder links elsewhere (as a command-line run's does) is gone after the run.
void TestSaveOperation::keyErrorNamesTheRealFile() {
    const QString keys = file("real keys");
    QVERIFY(QDir().rename(file("Config"), keys));
    QVERIFY(QFile::link(keys, file("Config")));
    QVERIFY(WriteFile(keys + "/testkey.pk8", "not a key"));
    const QString output = file("user files/signed.zip");
    const Result saved = SignPackageTo(op(), output);
    QVERIFY(saved.failed());
    const QString error = saved.cause();
    QVERIFY2(error.contains(QFileInfo(keys).canonicalFilePath() + "/testkey.pk8"),
             qPrintable(error));
    QVERIFY2(error.contains("not an unencrypted PKCS#8 private key"), qPrintable(error));
    QVERIFY2(!error.contains(file("Config")), qPrintable(error));
    QCOMPARE(saved.notice().text, "Sign file failed\n" + error);
}

// Members Android's own ZIP reader refuses: the save refuses them, naming
// the member, and writes nothing. The save's check of a signed package
// agrees with that reader on each.
void TestSaveOperation::membersTheDeviceCannotReadRefuseTheSave_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("member"); // as the message names it; empty: readable
    QTest::addColumn<QString>("cause");
    QTest::newRow("stored and deflated") << "ordinary"
                                         << ""
                                         << "";
    QTest::newRow("bzip2") << "BZip2"
                           << "system/app/Music.apk"
                           << "method 12";
    QTest::newRow("LZMA") << "LZMA"
                          << "system/app/Music.apk"
                          << "method 14";
    QTest::newRow("NUL in a name") << "nul"
                                   << "system/a\\x00b.txt"
                                   << "NUL";
    QTest::newRow("code page 936 name") << "cp936"
                                        << "system/\\xc3\\xbd\\xcc\\xe5.txt"
                                        << "not UTF-8";
    QTest::newRow("duplicate names") << "duplicate"
                                     << "system/build.prop"
                                     << "same name";
}

void TestSaveOperation::membersTheDeviceCannotReadRefuseTheSave() {
    QFETCH(QString, kind);
    QFETCH(QString, member);
    QFETCH(QString, cause);
    if (kind == "ordinary") {
        // As the sample package: stored and deflated members.
    } else if (kind == "BZip2" || kind == "LZMA") {
        const QString content = file("content");
        for (const auto& [name, data] : kMembers)
            QVERIFY(WriteFile(content + "/" + name, data));
        // Large enough for 7-Zip to compress it rather than store it.
        QVERIFY(WriteFile(content + "/system/app/Music.apk", QByteArray(200000, 'm')));
        QVERIFY(FileHelpers::RemoveFile(m_archive));
        QByteArray errors;
        QVERIFY2(run(file("Config/7za"),
                     {"a", "-tzip", "-mm=" + kind, m_archive, "system", "logo.img"}, content,
                     &errors),
                 errors.constData());
    } else {
        QList<RawZipEntry> entries{{"system/build.prop", "ro.build.version.release=4.4.2\n"}};
        if (kind == "nul")
            entries.append(RawZipEntry{QByteArray("system/a\0b.txt", 14), "nul"});
        else if (kind == "cp936")
            entries.append(RawZipEntry{QByteArray("system/\xc3\xbd\xcc\xe5.txt"), "gbk"});
        else
            entries.append(RawZipEntry{"system/build.prop", "again"});
        QFile archive(m_archive);
        QVERIFY(archive.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QVERIFY(archive.write(BuildRawZip(entries)) > 0);
        archive.close();
    }

    // The check of a signed package says what Android's reader says.
    const QString signedCopy = file("signed-anyway.zip");
    QCOMPARE(FailureOf(WriteSignedPackage(m_archive, certificate(), file("Config/testkey.pk8"),
                                          signedCopy, {})),
             QString());
    const Result verified = VerifySignedPackage(signedCopy, certificate());
    const bool checked = verified.succeeded();
    const QString checkError = verified.cause();
    QCOMPARE(checked, member.isEmpty());
    if (!checked) {
        QVERIFY2(checkError.contains("(" + member + ")"), qPrintable(checkError));
        QVERIFY2(checkError.contains(cause), qPrintable(checkError));
    }
#ifdef ZIPARCHIVE_CHECK
    QByteArray androidSays;
    QCOMPARE(run(ZIPARCHIVE_CHECK, {signedCopy}, {}, &androidSays), checked);
#endif

    const QString output = file("user files/signed.zip");
    QVERIFY(WriteFile(output, "an earlier save"));
    const Result result = SignPackageTo(op(), output);
    const bool saved = result.succeeded();
    QCOMPARE(saved, member.isEmpty());
    if (saved) {
        QVERIFY(m_reporter.texts().isEmpty());
#ifdef ZIPARCHIVE_CHECK
        QVERIFY2(run(ZIPARCHIVE_CHECK, {output}, {}, &androidSays), androidSays.constData());
#endif
        return;
    }
    QVERIFY2(result.notice().text.contains("(" + member + ")"), qPrintable(result.notice().text));
    QVERIFY2(result.cause().contains(cause), qPrintable(result.cause()));
    QCOMPARE(ReadFile(output), QByteArray("an earlier save"));
    QCOMPARE(temporaryOutputs(file("user files")), QStringList());
}

QTEST_GUILESS_MAIN(TestSaveOperation)
#include "tst_SaveOperation.moc"
