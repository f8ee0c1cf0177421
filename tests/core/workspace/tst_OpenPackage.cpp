// Opening a package with the real 7-Zip: what is refused before anything is
// touched, what a failed extraction leaves behind, and what a successful
// open records in the workspace.
#include "core/base/FileHelpers.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/ZipFormat.h"
#include "core/workspace/AppState.h"
#include "core/workspace/OpenPackage.h"
#include "core/workspace/Workspace.h"
#include "core/workspace/WorkspaceRecord.h"
#include "support/RawZip.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The archive with every entry's compression method replaced (in the local
// headers and the central directory alike).
QByteArray withMethod(QByteArray zip, quint16 method) {
    for (const auto& [signature, at] :
         {std::pair{QByteArray("PK\x03\x04"), 8}, std::pair{QByteArray("PK\x01\x02"), 10}}) {
        for (qsizetype i = zip.indexOf(signature); i >= 0; i = zip.indexOf(signature, i + 4)) {
            zip[i + at] = static_cast<char>(method & 0xFF);
            zip[i + at + 1] = static_cast<char>(method >> 8);
        }
    }
    return zip;
}

ZipDirectory directoryOf(const QString& path) {
    ZipDirectory directory;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QString error;
    if (fd >= 0) {
        ReadZipDirectory(fd, &directory, &error);
        ::close(fd);
    }
    return directory;
}

} // namespace

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
    void packageInsideTheWorkspace_data();
    void packageInsideTheWorkspace();
    void selfExtractingPackageLosesItsStub();
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
    QTest::addColumn<QString>("cause"); // what the message's second line says
    const QString unreadable = "not a readable ZIP archive: ";
    QTest::newRow("missing file") << "typed name.zip" << QByteArray() << true << QString();
    QTest::newRow("not a ZIP") << "text.zip" << QByteArray("not a zip at all") << false
                               << unreadable;
    QTest::newRow("zero bytes") << "zero.zip" << QByteArray("") << false << unreadable;
    // A ZIP without members: only the end record.
    QTest::newRow("empty ZIP") << "empty.zip" << QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0')
                               << false << "the package is empty";

    // Members the device's recovery cannot read, or the tree cannot hold.
    QTest::newRow("LZMA member") << "lzma.zip" << withMethod(BuildRawZip({{"a.txt", "a"}}), 14)
                                 << false << "entry 0 (a.txt): compression method 14";
    QTest::newRow("duplicate names")
        << "twice.zip" << BuildRawZip({{"a.txt", "1"}, {"b.txt", "2"}, {"a.txt", "3"}}) << false
        << "entry 2 (a.txt): the same name as entry 0";
    QTest::newRow("NUL in a name") << "nul.zip" << BuildRawZip({{QByteArray("a\0b.txt", 7), "1"}})
                                   << false << "its name holds a NUL byte";
    QTest::newRow("UTF-8 flag on bytes that are not UTF-8")
        << "flag.zip" << BuildRawZip({{"bad\xff.txt", "1", 0x0800}}) << false
        << "its name is not UTF-8";
    QTest::newRow("code page 936 cannot map the name")
        << "unmapped.zip" << BuildRawZip({{"system/app/bad\xff\x80.apk", "1"}}) << false
        << "entry 0 (system/app/bad\\xff\\x80.apk): its name is neither UTF-8 nor code page "
           "936";
    QTest::newRow("a name that leaves the tree")
        << "dotdot.zip" << BuildRawZip({{"a.txt", "1"}, {"system/../../evil.txt", "2"}}) << false
        << "entry 1 (system/../../evil.txt): its name leads out of the tree";
    QTest::newRow("two spellings of one path")
        << "spellings.zip" << BuildRawZip({{"a/b.txt", "1"}, {"a\\b.txt", "2"}}) << false
        << "entry 1 (a/b.txt): the same name in the tree as entry 0";
    QTest::newRow("a member below a file")
        << "below.zip" << BuildRawZip({{"a", "file"}, {"a/b.txt", "2"}}) << false
        << "entry 1 (a/b.txt): it lies below the file of entry 0";
    QTest::newRow("a name part too long for the file system")
        << "long.zip" << BuildRawZip({{"system/" + QByteArray(256, 'x') + ".txt", "1"}}) << false
        << QString("a part of its name is longer than the %1 bytes the tree takes")
               .arg(FileHelpers::MaxTargetNameBytes(QDir::tempPath()));
}

void TestOpenOperation::refusalsKeepTheOpenPackage() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, missing);
    QFETCH(QString, cause);
    QCOMPARE(OpenPackage(op(), package("first.zip")).outcome, OpenOutcome::Opened);
    const QByteArray archiveBefore = ReadFile(m_bundle->file("zipTemp/temp.zip"));
    const QByteArray recordBefore = ReadFile(m_bundle->file("zipTemp/workspace.state"));
    const QStringList workspaceBefore = FileHelpers::ListDirectory(m_bundle->file("zipTemp"));
    m_reporter = RecordingReporter();

    const QString refused = package(name);
    if (!missing)
        QVERIFY(WriteFile(refused, bytes));
    bool accepted = false;
    OpenPackageHooks hooks;
    hooks.accepted = [&] { accepted = true; };
    const OpenResult opened = OpenPackage(op(), refused, hooks);
    QCOMPARE(opened.outcome, OpenOutcome::Refused);
    QVERIFY(opened.result.failed());
    const QString error = opened.result.cause();
    QVERIFY(!error.isEmpty());
    QVERIFY(!accepted);
    // The closing message is the caller's to show: nothing was told on the way.
    QVERIFY(m_reporter.texts().isEmpty());
    QCOMPARE(opened.result.notice().kind, Notice::Kind::Failure);
    QCOMPARE(opened.result.notice().box, Notice::Box::Window);
    if (missing) {
        QCOMPARE(opened.result.notice().text, QString("File \"%1\" does not exist!").arg(refused));
    } else {
        // The exact reason the reader or the check gave, naming the member.
        QCOMPARE(opened.result.notice().text, "UnZip file failed\n" + error);
        QVERIFY2(error.contains(cause), qPrintable(error));
    }
    // Nothing of the open package was touched.
    QCOMPARE(ReadFile(m_bundle->file("srctemp/system/app/Music.apk")), QByteArray("music"));
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), archiveBefore);
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/workspace.state")), recordBefore);
    QCOMPARE(FileHelpers::ListDirectory(m_bundle->file("zipTemp")), workspaceBefore);
    QCOMPARE(m_state->workingArchivePath(), m_bundle->file("zipTemp/temp.zip"));
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QCOMPARE(FileHelpers::PathExists(refused), !missing);
}

// A package that lies in the tree the open replaces (or reaches it through a
// link) is read before the tree goes: it opens, and nothing is lost.
void TestOpenOperation::packageInsideTheWorkspace_data() {
    QTest::addColumn<QString>("inside"); // where the package lies, below the workspace
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("in the tree") << "srctemp/system/media/bootanimation.zip" << false;
    QTest::newRow("in the tree, through a link")
        << "srctemp/system/media/bootanimation.zip" << true;
    QTest::newRow("beside the working archive") << "zipTemp/other.zip" << false;
}

void TestOpenOperation::packageInsideTheWorkspace() {
    QFETCH(QString, inside);
    QFETCH(bool, throughLink);
    QCOMPARE(OpenPackage(op(), package("first.zip")).outcome, OpenOutcome::Opened);
    const QString path = m_bundle->file(inside);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QVERIFY(WriteZip(path, {{"system/build.prop", "ro.build.version.release=4.4\n"},
                            {"desc.txt", "480 800 30"},
                            {"part0/0001.png", "png"}}));
    const QByteArray bytes = ReadFile(path);
    const QString opened = throughLink ? package("link.zip") : path;
    if (throughLink)
        QVERIFY(QFile::link(path, opened));
    m_reporter = RecordingReporter();

    const OpenResult result = OpenPackage(op(), opened);
    QCOMPARE(result.outcome, OpenOutcome::Opened);
    QCOMPARE(result.result.notice().text, QString("UnZip file successfully"));
    QCOMPARE(ReadFile(m_bundle->file("srctemp/desc.txt")), QByteArray("480 800 30"));
    QCOMPARE(ReadFile(m_bundle->file("srctemp/part0/0001.png")), QByteArray("png"));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp/system/app")));
    QCOMPARE(m_state->androidMajorVersion(), 4);
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), bytes);
    QCOMPARE(m_state->workingArchivePath(), m_bundle->file("zipTemp/temp.zip"));
    // Nothing of the open is left beside the working archive.
    QStringList expected{"temp.zip", "workspace.state"};
    if (inside.startsWith("zipTemp/"))
        expected.prepend(QFileInfo(inside).fileName());
    QCOMPARE(FileHelpers::ListDirectory(m_bundle->file("zipTemp")), expected);
}

// A stub put in front of a ZIP without adjusting its offsets (`cat stub
// x.zip`), as 7-Zip and unzip read it: the working archive is the ZIP part
// alone, which the editor takes as a plain ZIP.
void TestOpenOperation::selfExtractingPackageLosesItsStub() {
    QVERIFY(WriteZip(package("plain.zip"), {{"system/build.prop", "ro.build.version.release=5.1\n"},
                                            {"system/app/Music.apk", "music"}}));
    const QByteArray zip = ReadFile(package("plain.zip"));
    QVERIFY(WriteFile(package("sfx.exe"), QByteArray(4096, 'M') + zip));
    const OpenResult opened = OpenPackage(op(), package("sfx.exe"));
    QCOMPARE(opened.outcome, OpenOutcome::Opened);
    QCOMPARE(opened.result.notice().text, QString("UnZip file successfully"));
    QString error;
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), zip);
    QCOMPARE(directoryOf(m_bundle->file("zipTemp/temp.zip")).prefixBias, quint64(0));
    QCOMPARE(ReadFile(m_bundle->file("srctemp/system/app/Music.apk")), QByteArray("music"));
    QCOMPARE(m_state->androidMajorVersion(), 5);
    QVERIFY2(ApplyArchiveChanges(m_bundle->file("zipTemp/temp.zip"),
                                 {{ArchiveChangeKind::Remove, "system/app/Music.apk", QString()}},
                                 &error),
             qPrintable(error));
    QCOMPARE(ZipMemberNames(m_bundle->file("zipTemp/temp.zip")),
             QStringList({"system/build.prop"}));
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
    QCOMPARE(OpenPackage(op(), package("first.zip")).outcome, OpenOutcome::Opened);
    const qint64 freed = QFileInfo(m_bundle->file("zipTemp/temp.zip")).size() +
                         qint64(sizeof("ro.build.version.release=5.1.1\n") - 1) + 5 + 4;
    const QByteArray big(300000, 'x');
    QVERIFY(WriteZip(package("big.zip"), {{"system/app/Big.apk", big}}));
    const qint64 needed = big.size() + QFileInfo(package("big.zip")).size();
    FileHelpers::SetAvailableBytesForTesting(
        [=](const QString&) { return needed - freed + freeBeyondNeed; });
    m_reporter = RecordingReporter();

    const OutcomeGuard restore;
    const OpenResult opened = OpenPackage(op(), package("big.zip"));
    QCOMPARE(opened.outcome, opens ? OpenOutcome::Opened : OpenOutcome::Refused);
    if (!opens) {
        const QString text = opened.result.notice().text;
        QVERIFY2(text.startsWith("Not enough free space in"), qPrintable(text));
        QCOMPARE(opened.result.cause(), QString("not enough free space"));
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
    const OpenResult opened = OpenPackage(op(), path, hooks);
    QCOMPARE(opened.outcome, OpenOutcome::Opened);
    QVERIFY(opened.result.succeeded());
    QCOMPARE(opened.result.notice().kind, Notice::Kind::Success);
    QCOMPARE(opened.result.notice().text, QString("UnZip file successfully"));
    QVERIFY(m_reporter.texts().isEmpty());
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
    QCOMPARE(OpenPackage(op(), package("fw?.zip")).outcome, OpenOutcome::Opened);
    QCOMPARE(FileHelpers::ListDirectory(m_bundle->file("srctemp")), QStringList({"literal.txt"}));
    QCOMPARE(ReadFile(m_bundle->file("zipTemp/temp.zip")), ReadFile(package("fw?.zip")));
}

void TestOpenOperation::readOnlyPackageGivesWritableWorkingArchive() {
    const QString path = package("first.zip");
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                            QFileDevice::ReadOther));
    QCOMPARE(OpenPackage(op(), path).result.notice().text, QString("UnZip file successfully"));
    const QFileInfo archive(m_bundle->file("zipTemp/temp.zip"));
    QVERIFY(archive.permissions() & QFileDevice::WriteOwner);
    QCOMPARE(ReadFile(archive.filePath()), ReadFile(path));

    // The same package again, then another one: each replaces the copy.
    QCOMPARE(OpenPackage(op(), path).outcome, OpenOutcome::Opened);
    QVERIFY(
        WriteZip(package("second.zip"), {{"system/build.prop", "ro.build.version.release=4.4\n"},
                                         {"system/app/Camera.apk", "camera"}}));
    QCOMPARE(OpenPackage(op(), package("second.zip")).outcome, OpenOutcome::Opened);
    QCOMPARE(ReadFile(archive.filePath()), ReadFile(package("second.zip")));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp/system/app/Music.apk")));
    QCOMPARE(QFileInfo(path).permissions() & QFileDevice::WriteOwner, QFileDevice::Permissions());
}

// A member whose data does not match its CRC-32, met after other members were
// unpacked: the old tree is gone, no half tree stays, and the old working
// archive must not be taken up, neither now nor at the next start.
void TestOpenOperation::failedExtractionTakesNothingUp() {
    QCOMPARE(OpenPackage(op(), package("first.zip")).outcome, OpenOutcome::Opened);
    QByteArray damaged;
    QVERIFY(
        WriteZip(package("damaged.zip"), {{"system/build.prop", "ro.build.version.release=4.4\n"},
                                          {"logo.img", QByteArray(4096, 'L')}}));
    damaged = ReadFile(package("damaged.zip"));
    // Each member is deflated: a byte of the last one's data changed.
    const qsizetype logo = damaged.indexOf("logo.img") + 8;
    damaged[logo + 4] = static_cast<char>(damaged[logo + 4] ^ 0x55);
    QVERIFY(WriteFile(package("damaged.zip"), damaged));
    m_reporter = RecordingReporter();
    bool accepted = false;
    OpenPackageHooks hooks;
    hooks.accepted = [&] { accepted = true; };
    const OpenResult opened = OpenPackage(op(), package("damaged.zip"), hooks);
    QCOMPARE(opened.outcome, OpenOutcome::Failed);
    QVERIFY(accepted);
    QVERIFY2(opened.result.cause().contains("logo.img"), qPrintable(opened.result.cause()));
    QVERIFY(opened.result.notice().text.startsWith("UnZip file failed"));
    QVERIFY(m_state->workingArchivePath().isEmpty());
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("srctemp")));
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("zipTemp/temp.zip.part")));
    // The old working archive went with the old tree: it matched no tree any more.
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("zipTemp/temp.zip")));
    const WorkspaceRecord record = WorkspaceRecord::read(m_bundle->file("zipTemp/workspace.state"));
    QCOMPARE(record.stage, WorkspaceRecord::Stage::Opening);
    QCOMPARE(record.package, package("damaged.zip"));

    // The next start finds nothing to offer and forgets the open.
    AppState next(m_bundle->path());
    RecordingReporter nextReporter(true);
    const ResumeResult resumed = ResumeWorkspace(Operation{next, nextReporter, m_runner});
    QCOMPARE(resumed.outcome, ResumeOutcome::Nothing);
    QVERIFY(nextReporter.texts().isEmpty());
    QVERIFY(next.workingArchivePath().isEmpty());
    QCOMPARE(WorkspaceRecord::read(m_bundle->file("zipTemp/workspace.state")).stage,
             WorkspaceRecord::Stage::None);
}

QTEST_GUILESS_MAIN(TestOpenOperation)
#include "tst_OpenPackage.moc"
