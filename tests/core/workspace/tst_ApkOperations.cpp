// The APK commands of the core: listing a partition, deleting (member names
// in any spelling, the directory layout) and adding (the real 7-Zip and
// signer with the bundle's keys: questions first, one commit, the platform key).
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/workspace/ApkOperations.h"
#include "core/workspace/AppState.h"
#include "core/workspace/TreeSync.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QQueue>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

QString Fixture(const QString& name) {
    return QStringLiteral(CORVANE_TESTDATA_DIR) + QLatin1Char('/') + name;
}

// The files below a directory, relative to it, sorted; links and
// directories left out.
QStringList FilesBelow(const QString& root) {
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next().mid(root.size() + 1);
    std::sort(out.begin(), out.end());
    return out;
}

// The archive's file members (directory entries left out) in canonical form.
QStringList FileMembers(const QString& archive) {
    QStringList out;
    for (const QString& name : ZipMemberNames(archive)) {
        if (!name.endsWith('/'))
            out << CanonicalMemberName(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Runs a program; its standard output, or a null array when it failed.
QByteArray OutputOf(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning("%s failed: %s", qPrintable(program), process.readAllStandardError().constData());
        return {};
    }
    return process.readAllStandardOutput();
}

} // namespace

class TestApkOperations : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void listPartition_data();
    void listPartition();
    void deleteMemberSpelledOtherwise_data();
    void deleteMemberSpelledOtherwise();
    void deleteWithoutMemberFails();
    void deleteDirectoryLayout_data();
    void deleteDirectoryLayout();
    void deleteRefusesPathsOutsideThePartition();
    void deleteAndReplaceTakeTheApksOdex_data();
    void deleteAndReplaceTakeTheApksOdex();
    void deleteWithoutPackage();

    void addAsksEveryQuestionFirst_data();
    void addAsksEveryQuestionFirst();
    void addPutsApkAndLibrariesInOneCommit();
    void addFailedCommitLeavesTree();
    void addSignsWithPlatformKey();
    void addReadOnlyApkTwiceOnDataPage();
    void addFlattensEveryLibraryFile();
    void addPlacesLibrariesByTheDevicesAbis_data();
    void addPlacesLibrariesByTheDevicesAbis();
    void addWithoutPackage();
    void addRefusesNamesTooLongForTheTree_data();
    void addRefusesNamesTooLongForTheTree();
    void addLeavesNoScratchFolders_data();
    void addLeavesNoScratchFolders();
    void badInputChangesNothing_data();
    void badInputChangesNothing();
    void systemImageRefusesSystemEdits_data();
    void systemImageRefusesSystemEdits();

private:
    QString tree(const QString& relative = QString()) const {
        const QString root = m_state->paths().extractedTree();
        return relative.isEmpty() ? root : root + "/" + relative;
    }
    QString archive() const { return m_state->paths().workingArchive(); }
    QString pending() const { return m_state->paths().zipTempDir() + "/tree.pending"; }
    Operation op() { return Operation{*m_state, m_reporter, m_runner}; }
    // Writes each file to the tree and to the archive (under its own name,
    // or the spelling given in members); extra members go to the archive only.
    void open(int version, const QStringList& files,
              const QList<QPair<QString, QByteArray>>& extra = {});
    // Plain.apk's files and two libraries, the second one's bytes not
    // matching its CRC: its reading fails after the first is written.
    QByteArray damagedLibraryApk();
    // A copy of a fixture outside the tree.
    QString source(const QString& fixture, const QString& name = QString());
    // An APK of Plain.apk's files plus the extra members.
    QString apkWith(const QString& name, const QList<QPair<QString, QByteArray>>& extra);

    std::unique_ptr<TestBundle> m_bundle;
    std::unique_ptr<AppState> m_state;
    RecordingReporter m_reporter;
    ToolRunner m_runner;
};

void TestApkOperations::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_state = std::make_unique<AppState>(m_bundle->path());
    m_reporter.answers.clear();
    m_reporter.clear();
    QVERIFY(QDir().mkpath(tree("system")));
    QVERIFY(QDir().mkpath(tree("userdata")));
    QVERIFY(QDir().mkpath(m_state->paths().zipTempDir()));
    QVERIFY(WriteZip(archive(), {{"system/build.prop", "ro.build.version.release=4.4\n"}}));
    m_state->setWorkingArchivePath(archive());
}

void TestApkOperations::cleanup() {
    FileHelpers::SetFileFaultsForTesting(nullptr);
    SetFaultPointHookForTesting(nullptr);
    m_state.reset();
    m_bundle.reset();
}

void TestApkOperations::open(int version, const QStringList& files,
                             const QList<QPair<QString, QByteArray>>& extra) {
    m_state->setAndroidMajorVersion(version);
    QList<QPair<QString, QByteArray>> members{{"system/build.prop", "ro.build.version.release"}};
    QVERIFY(WriteFile(tree("system/build.prop"), "ro.build.version.release"));
    for (const QString& file : files) {
        const QByteArray data = ("data of " + file).toUtf8();
        QVERIFY(WriteFile(tree(file), data));
        members.append({file, data});
    }
    members.append(extra);
    QVERIFY(WriteZip(archive(), members));
}

QString TestApkOperations::source(const QString& fixture, const QString& name) {
    const QString path = m_bundle->file("in/" + (name.isEmpty() ? fixture : name));
    const QByteArray data = ReadFile(Fixture(fixture));
    if (data.isEmpty() || !WriteFile(path, data))
        qWarning("fixture %s missing", qPrintable(fixture));
    return path;
}

QByteArray TestApkOperations::damagedLibraryApk() {
    const QString apk = apkWith("Damaged.apk", {{"lib/x86/libgood.so", "good library"},
                                                {"lib/x86/libbad.so", "damaged library"}});
    QByteArray bytes = ReadFile(apk);
    const qsizetype at = bytes.indexOf("damaged library");
    if (at >= 0)
        bytes[at] = 'D';
    QFile::remove(apk);
    return bytes;
}

QString TestApkOperations::apkWith(const QString& name,
                                   const QList<QPair<QString, QByteArray>>& extra) {
    QList<QPair<QString, QByteArray>> members;
    const QMap<QString, QByteArray> plain = ReadZip(Fixture("Plain.apk"));
    for (auto it = plain.cbegin(); it != plain.cend(); ++it) {
        if (!it.key().startsWith("META-INF/"))
            members.append({it.key(), it.value()});
    }
    members.append(extra);
    const QString path = m_bundle->file("in/" + name);
    QDir().mkpath(m_bundle->file("in"));
    // Written under a short name (the writer's own temporary name grows with
    // it), then named.
    const QString made = m_bundle->file("in/made.zip");
    QFile::remove(path);
    if (!WriteZip(made, members) || !QFile::rename(made, path))
        qWarning("cannot write %s", qPrintable(path));
    return path;
}

void TestApkOperations::listPartition_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("system");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("listed");

    const QStringList both{"system/app/Music.apk", "system/app/Browser/Browser.apk",
                           "system/app/Browser/oat/arm/Browser.odex",
                           "system/priv-app/Phone/Phone.apk", "system/priv-app/Keep.apk"};
    QTest::newRow("4: the flat APKs, app before priv-app")
        << 4 << true << both << QStringList{"system/app/Music.apk", "system/priv-app/Keep.apk"};
    QTest::newRow("5: every file of both layouts but the odex")
        << 5 << true
        << QStringList{"system/app/Music.apk", "system/app/Browser/Browser.apk",
                       "system/priv-app/Phone/Phone.apk"}
        << QStringList{"system/app/Browser/Browser.apk", "system/app/Music.apk",
                       "system/priv-app/Phone/Phone.apk"};
    QTest::newRow("data: no priv-app")
        << 4 << false << QStringList{"userdata/app/A.apk", "userdata/priv-app/B.apk"}
        << QStringList{"userdata/app/A.apk"};
    QTest::newRow("no app directory") << 4 << true << QStringList{} << QStringList{};
}

void TestApkOperations::listPartition() {
    QFETCH(int, version);
    QFETCH(bool, system);
    QFETCH(QStringList, files);
    QFETCH(QStringList, listed);
    for (const QString& file : files)
        QVERIFY(WriteFile(tree(file), "apk"));
    QStringList expected;
    for (const QString& file : listed)
        expected << tree(file);
    const Partition partition = system ? Partition::System : Partition::Data;
    const QString root = tree(PartitionDirectoryName(partition));
    QCOMPARE(ListPartitionApks(root, partition, version), expected);
    QCOMPARE(ListPartitionApks(QString(), partition, version), QStringList());
}

void TestApkOperations::deleteMemberSpelledOtherwise_data() {
    QTest::addColumn<bool>("system");
    QTest::addColumn<QString>("stored"); // the member's name in the archive
    QTest::addColumn<QString>("file");   // the APK in the tree
    QTest::newRow("./ prefix") << true << "./system/app/X.apk"
                               << "system/app/X.apk";
    QTest::newRow("leading separator") << true << "/system/app/X.apk"
                                       << "system/app/X.apk";
    QTest::newRow("double separator") << false << "userdata//app/X.apk"
                                      << "userdata/app/X.apk";
    QTest::newRow("backslashes") << true << "system\\app\\X.apk"
                                 << "system/app/X.apk";
}

void TestApkOperations::deleteMemberSpelledOtherwise() {
    QFETCH(bool, system);
    QFETCH(QString, stored);
    QFETCH(QString, file);
    const QString other = system ? "system/app/Y.apk" : "userdata/app/Y.apk";
    open(4, {other}, {{stored, "x"}});
    QVERIFY(WriteFile(tree(file), "x"));

    const Result deleted =
        DeleteApk(op(), system ? Partition::System : Partition::Data, tree(file));
    QVERIFY2(deleted.succeeded(), qPrintable(deleted.cause()));
    QVERIFY(!FileHelpers::PathExists(tree(file)));
    QStringList left{"system/build.prop", other};
    left.sort();
    QCOMPARE(FileMembers(archive()), left);
    QVERIFY(FileHelpers::PathExists(tree(other)));
    QVERIFY(!QFile::exists(pending()));
    QVERIFY(m_reporter.texts().isEmpty());
}

void TestApkOperations::deleteWithoutMemberFails() {
    open(4, {"system/app/Y.apk"});
    QVERIFY(WriteFile(tree("system/app/X.apk"), "only in the tree"));
    const QByteArray before = ReadFile(archive());

    const Result one = DeleteApk(op(), Partition::System, tree("system/app/X.apk"));
    QVERIFY(one.failed());
    QVERIFY(one.cause().contains("system/app/X.apk"));
    // The command: its failure is the result, nothing logged, the pass ended.
    const DeleteApksResult several =
        DeleteApks(op(), Partition::System, {tree("system/app/X.apk"), tree("system/app/Y.apk")});
    QCOMPARE(several.deleted, 0);
    QVERIFY(several.result.failed());
    QCOMPARE(several.result.notice().kind, Notice::Kind::Failure);
    QCOMPARE(several.result.notice().text, Msg::DeleteApkFailed(tree("system/app/X.apk")));
    QCOMPARE(several.result.cause(), one.cause());
    QVERIFY(m_reporter.texts().isEmpty());
    QCOMPARE(ReadFile(tree("system/app/X.apk")), QByteArray("only in the tree"));
    QVERIFY(FileHelpers::PathExists(tree("system/app/Y.apk")));
    QCOMPARE(ReadFile(archive()), before);
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::deleteDirectoryLayout_data() {
    QTest::addColumn<QString>("directory");
    QTest::newRow("app") << "system/app/Music";
    QTest::newRow("priv-app") << "system/priv-app/Music";
}

void TestApkOperations::deleteDirectoryLayout() {
    // Android 5: the APK's directory with its odex and libraries (and a
    // directory entry in the archive) goes as a whole.
    QFETCH(QString, directory);
    open(5,
         {directory + "/Music.apk", directory + "/oat/arm/Music.odex",
          directory + "/lib/arm/libm.so", "system/app/Music2/Music2.apk", "system/app/Other.apk"},
         {{directory + "/", QByteArray()}, {directory + "/lib/", QByteArray()}});
    // Read-only entries and a link in the tree go all the same.
    QVERIFY(QFile::setPermissions(tree(directory + "/Music.apk"), QFileDevice::ReadOwner));
    QVERIFY(QFile::setPermissions(tree(directory + "/lib/arm"),
                                  QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QVERIFY(QFile::link(tree(directory + "/Music.apk"), tree(directory + "/link.apk")));

    const DeleteApksResult deleted =
        DeleteApks(op(), Partition::System, {tree(directory + "/Music.apk")});
    QCOMPARE(deleted.deleted, 1);
    QVERIFY2(deleted.result.succeeded(), qPrintable(deleted.result.cause()));
    QCOMPARE(deleted.result.notice().kind, Notice::Kind::None);
    QVERIFY(m_reporter.texts().isEmpty());
    for (const QString& name : ZipMemberNames(archive()))
        QVERIFY2(CanonicalMemberName(name) != directory &&
                     !CanonicalMemberName(name).startsWith(directory + "/"),
                 qPrintable(name));
    QVERIFY(!FileHelpers::PathExists(tree(directory)));
    // The neighbour whose name begins alike stays.
    QVERIFY(FileHelpers::PathExists(tree("system/app/Music2/Music2.apk")));
    QCOMPARE(FilesBelow(tree()), FileMembers(archive()));
    QCOMPARE(m_state->changeLog().size(), 1);
    QVERIFY(m_state->changeLog().first().endsWith(
        QStringLiteral(": DELETE \"%1\"").arg(tree(directory + "/Music.apk"))));
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::deleteAndReplaceTakeTheApksOdex_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("replace");
    QTest::addColumn<QString>("apk");
    QTest::addColumn<QStringList>("odex");
    QTest::addColumn<QStringList>("kept");
    const QStringList neighbours{"system/app/Music2.odex", "system/app/Other.odex"};
    QTest::newRow("delete, flat Android 4.4") << 4 << false << "system/app/Music.apk"
                                              << QStringList{"system/app/Music.odex"} << neighbours;
    QTest::newRow("replace, flat Android 4.4")
        << 4 << true << "system/app/Music.apk" << QStringList{"system/app/Music.odex"}
        << neighbours;
    QTest::newRow("replace, own folder of Android 5")
        << 5 << true << "system/app/Music/Music.apk"
        << QStringList{"system/app/Music/oat/arm/Music.odex"}
        << QStringList{"system/app/Music/oat/arm/Other.odex"};
    QTest::newRow("delete, flat in Android 5")
        << 5 << false << "system/app/Music.apk"
        << QStringList{"system/app/Music.odex", "system/app/oat/arm64/Music.odex"}
        << QStringList{"system/app/oat/arm64/Other.odex"};
}

void TestApkOperations::deleteAndReplaceTakeTheApksOdex() {
    // The device would run a stale odex instead of the APK's code.
    QFETCH(int, version);
    QFETCH(bool, replace);
    QFETCH(QString, apk);
    QFETCH(QStringList, odex);
    QFETCH(QStringList, kept);
    open(version, QStringList{apk} + odex + kept);
    if (replace) {
        m_reporter.answers.enqueue(true);
        const Result added = AddApk(op(), Partition::System, source("Plain.apk", "Music.apk"));
        QVERIFY2(added.succeeded(), qPrintable(added.cause()));
        QCOMPARE(ReadZip(archive()).value(apk), ReadFile(tree(apk)));
    } else {
        const DeleteApksResult deleted = DeleteApks(op(), Partition::System, {tree(apk)});
        QVERIFY2(deleted.result.succeeded(), qPrintable(deleted.result.cause()));
        QVERIFY(!FileHelpers::PathExists(tree(apk)));
    }
    for (const QString& file : odex)
        QVERIFY2(!FileHelpers::PathExists(tree(file)), qPrintable(file));
    for (const QString& file : kept)
        QVERIFY2(FileHelpers::PathExists(tree(file)), qPrintable(file));
    QCOMPARE(FilesBelow(tree()), FileMembers(archive()));
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::deleteRefusesPathsOutsideThePartition() {
    open(4, {"system/app/Music.apk", "userdata/app/Music.apk"});
    const QByteArray before = ReadFile(archive());
    const QString outside = m_bundle->file("elsewhere/app/Music.apk");
    QVERIFY(WriteFile(outside, "x"));

    for (const QString& path : {QStringLiteral("Music.apk"), outside,
                                tree("userdata/app/Music.apk"), tree("system/app")}) {
        const Result result = DeleteApk(op(), Partition::System, path);
        QVERIFY2(result.failed(), qPrintable(path));
        QCOMPARE(result.notice().text, Msg::DeleteApkFailed(path));
        QVERIFY(!result.cause().isEmpty());
    }
    QVERIFY(FileHelpers::PathExists(outside));
    QVERIFY(FileHelpers::PathExists(tree("userdata/app/Music.apk")));
    QVERIFY(FileHelpers::PathExists(tree("system/app/Music.apk")));
    QCOMPARE(ReadFile(archive()), before);
}

void TestApkOperations::deleteWithoutPackage() {
    open(4, {"system/app/Music.apk"});
    const QByteArray before = ReadFile(archive());
    m_state->setWorkingArchivePath(QString());
    const Result result = DeleteApk(op(), Partition::System, tree("system/app/Music.apk"));
    QVERIFY(result.failed());
    QVERIFY(!result.cause().isEmpty());
    QVERIFY(FileHelpers::PathExists(tree("system/app/Music.apk")));
    QCOMPARE(ReadFile(archive()), before);
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::addAsksEveryQuestionFirst_data() {
    QTest::addColumn<bool>("apkInTree"); // the APK is there already: asked first
    QTest::addColumn<QList<bool>>("answers");
    QTest::addColumn<QStringList>("questions");

    const QString apk = Msg::OverwriteQuestion("NativeDemo.apk");
    const QString library = Msg::OverwriteQuestion("libdemo.so");
    QTest::newRow("library: No") << false << QList<bool>{false} << QStringList{library};
    QTest::newRow("APK: No") << true << QList<bool>{false} << QStringList{apk};
    QTest::newRow("APK: Yes, library: No")
        << true << QList<bool>{true, false} << QStringList{apk, library};
}

void TestApkOperations::addAsksEveryQuestionFirst() {
    QFETCH(bool, apkInTree);
    QFETCH(QList<bool>, answers);
    QFETCH(QStringList, questions);
    if (apkInTree)
        QVERIFY(WriteFile(tree("system/app/NativeDemo.apk"), "old"));
    const QByteArray before = ReadFile(archive());
    const QStringList treeBefore = FilesBelow(tree());
    for (const bool answer : answers)
        m_reporter.answers.enqueue(answer);

    const Result result = AddApk(op(), Partition::System, source("NativeDemo.apk"));
    // A No changes nothing and is no failure: nothing more is shown.
    QCOMPARE(result.outcome(), Result::Outcome::Declined);
    QCOMPARE(result.notice().kind, Notice::Kind::None);
    QCOMPARE(m_reporter.texts(), questions);
    QCOMPARE(ReadFile(archive()), before);
    QCOMPARE(FilesBelow(tree()), treeBefore);
    if (apkInTree)
        QCOMPARE(ReadFile(tree("system/app/NativeDemo.apk")), QByteArray("old"));
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(!QFile::exists(m_state->paths().changeLogJournal()));
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::addPutsApkAndLibrariesInOneCommit() {
    const QMap<QString, QByteArray> inside = ReadZip(Fixture("NativeDemo.apk"));
    m_reporter.answers.enqueue(true);
    const Result result = AddApk(op(), Partition::System, source("NativeDemo.apk"));
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    QCOMPARE(result.notice().kind, Notice::Kind::None);
    QCOMPARE(m_reporter.texts(), QStringList{Msg::OverwriteQuestion("libdemo.so")});

    // The add leaves no unpacked APK and no signed copy behind.
    QVERIFY(!FileHelpers::PathExists(m_state->paths().apkTempDir()));
    QVERIFY(!FileHelpers::PathExists(m_state->paths().unpackDir()));
    const QMap<QString, QByteArray> members = ReadZip(archive());
    const QByteArray signedApk = members.value("system/app/NativeDemo.apk");
    QVERIFY(signedApk != ReadFile(source("NativeDemo.apk")));
    QCOMPARE(ReadFile(tree("system/app/NativeDemo.apk")), signedApk);
    QCOMPARE(members.keys(), (QStringList{"system/app/NativeDemo.apk", "system/build.prop",
                                          "system/lib/libdeep.so", "system/lib/libdemo.so"}));
    QCOMPARE(members.value("system/lib/libdeep.so"), inside.value("lib/arm64-v8a/deep/libdeep.so"));
    QCOMPARE(members.value("system/app/NativeDemo.apk"), signedApk);
    // The later of the two libraries of one name wins.
    QCOMPARE(members.value("system/lib/libdemo.so"), inside.value("lib/armeabi-v7a/libdemo.so"));
    // Tree and archive hold the same files with the same bytes.
    QCOMPARE(FilesBelow(tree()), (QStringList{"system/app/NativeDemo.apk", "system/lib/libdeep.so",
                                              "system/lib/libdemo.so"}));
    for (const QString& file : FilesBelow(tree()))
        QCOMPARE(ReadFile(tree(file)), members.value(file));
    QCOMPARE(m_state->changeLog().size(), 1);
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::addFailedCommitLeavesTree() {
    // The archive cut short takes no commit: neither the APK nor any library
    // reaches the tree.
    const QByteArray whole = ReadFile(archive());
    QVERIFY(QFile(archive()).resize(whole.size() - 10));
    const QByteArray before = ReadFile(archive());
    m_reporter.answers.enqueue(true);

    const Result result = AddApk(op(), Partition::System, source("NativeDemo.apk"));
    QVERIFY(result.failed());
    QVERIFY(!result.cause().isEmpty());
    QCOMPARE(result.notice().text, Msg::AddToPackageFailed("NativeDemo.apk"));
    QCOMPARE(m_reporter.texts(), QStringList{Msg::OverwriteQuestion("libdemo.so")});
    QCOMPARE(ReadFile(archive()), before);
    QCOMPARE(FilesBelow(tree()), QStringList());
    QVERIFY(!FileHelpers::PathExists(tree("system/lib")));
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(!QFile::exists(pending()));
}

void TestApkOperations::addSignsWithPlatformKey() {
    const Result result = AddApk(op(), Partition::System, source("Plain.apk"));
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    const QString added = tree("system/app/Plain.apk");
    QCOMPARE(ReadZip(archive()).value("system/app/Plain.apk"), ReadFile(added));

    // The certificate in the APK's signature block, as openssl reads it.
    QByteArray block;
    const QMap<QString, QByteArray> members = ReadZip(added);
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (it.key().startsWith("META-INF/") &&
            (it.key().endsWith(".RSA") || it.key().endsWith(".EC") || it.key().endsWith(".DSA")))
            block = it.value();
    }
    QVERIFY(!block.isEmpty());
    const QString blockFile = m_bundle->file("block.der");
    QVERIFY(WriteFile(blockFile, block));
    const QByteArray certificates =
        OutputOf("openssl",
                 {"pkcs7", "-inform", "DER", "-in", blockFile, "-print_certs", "-outform", "PEM"});
    QVERIFY(!certificates.isEmpty());
    const QString signer = m_bundle->file("signer.pem");
    QVERIFY(WriteFile(signer, certificates));
    const auto fingerprint = [](const QString& pem) {
        return OutputOf("openssl", {"x509", "-in", pem, "-noout", "-fingerprint", "-sha256"});
    };
    const QByteArray platform = fingerprint(m_bundle->file("Config/platform.x509.pem"));
    QVERIFY(!platform.isEmpty());
    QCOMPARE(fingerprint(signer), platform);
    QVERIFY(fingerprint(m_bundle->file("Config/testkey.x509.pem")) != platform);
}

void TestApkOperations::addReadOnlyApkTwiceOnDataPage() {
    // A read-only APK added, then a newer read-only one of the same name: the
    // member and the tree file both hold the newer bytes.
    const QString first = source("Foo.apk");
    QVERIFY(QFile::setPermissions(first, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                             QFileDevice::ReadOther));
    const Result firstAdd = AddApk(op(), Partition::Data, first);
    QVERIFY2(firstAdd.succeeded(), qPrintable(firstAdd.cause()));
    const QString added = tree("userdata/app/Foo.apk");
    QVERIFY(QFileInfo(added).permissions() & QFileDevice::WriteOwner);

    const QString second = m_bundle->file("newer/Foo.apk");
    QVERIFY(WriteFile(second, ReadFile(Fixture("Plain.apk"))));
    QVERIFY(QFile::setPermissions(second, QFileDevice::ReadOwner | QFileDevice::ReadGroup |
                                              QFileDevice::ReadOther));
    m_reporter.answers.enqueue(true);
    const Result secondAdd = AddApk(op(), Partition::Data, second);
    QVERIFY2(secondAdd.succeeded(), qPrintable(secondAdd.cause()));
    QCOMPARE(m_reporter.texts(), QStringList{Msg::OverwriteQuestion("Foo.apk")});
    QCOMPARE(ReadFile(added), ReadFile(second));
    QCOMPARE(ReadZip(archive()).value("userdata/app/Foo.apk"), ReadFile(second));
    QCOMPARE(FileMembers(archive()), (QStringList{"system/build.prop", "userdata/app/Foo.apk"}));
    QCOMPARE(m_state->changeLog().size(), 2);
}

void TestApkOperations::addFlattensEveryLibraryFile() {
    // Any file below lib, at any depth and of any name, lands in the
    // partition's lib directory.
    const QString apk = apkWith("Libs.apk", {{"lib/x86/libone.so", "one"},
                                             {"lib/x86/a/b/c/libtwo.so", "two"},
                                             {"lib/README", "notes"},
                                             {"lib/mips/data.bin", "bin"}});
    const Result result = AddApk(op(), Partition::System, apk);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    QVERIFY(m_reporter.texts().isEmpty());
    const QStringList names{"data.bin", "libone.so", "libtwo.so", "README"};
    QCOMPARE(FileHelpers::ListDirectory(tree("system/lib")), names);
    const QMap<QString, QByteArray> members = ReadZip(archive());
    for (const QString& name : names)
        QCOMPARE(members.value("system/lib/" + name), ReadFile(tree("system/lib/" + name)));
    QCOMPARE(ReadFile(tree("system/lib/libtwo.so")), QByteArray("two"));
    QCOMPARE(members.size(), 2 + names.size());
}

void TestApkOperations::addPlacesLibrariesByTheDevicesAbis_data() {
    QTest::addColumn<QStringList>("deviceAbis");
    QTest::addColumn<QString>("appFolder");
    QTest::addColumn<QStringList>("members"); // of the archive, besides system/build.prop
    QTest::addColumn<QStringList>("leftOut");

    QTest::newRow("32-bit device") << QStringList{"armeabi-v7a", "armeabi"} << "app"
                                   << QStringList{"system/app/Libs.apk", "system/lib/liba.so"}
                                   << QStringList{"arm64-v8a", "x86"};
    QTest::newRow("64-bit device, into priv-app")
        << QStringList{"arm64-v8a", "armeabi-v7a", "armeabi"} << "priv-app"
        << QStringList{"system/lib/liba.so", "system/lib64/liba.so", "system/priv-app/Libs.apk"}
        << QStringList{"x86"};
    QTest::newRow("no ABI in common")
        << QStringList{"mips"} << "app" << QStringList{"system/app/Libs.apk"}
        << QStringList{"arm64-v8a", "armeabi-v7a", "x86"};
}

void TestApkOperations::addPlacesLibrariesByTheDevicesAbis() {
    QFETCH(QStringList, deviceAbis);
    QFETCH(QString, appFolder);
    QFETCH(QStringList, members);
    QFETCH(QStringList, leftOut);
    // One name for three ABIs: placed by ABI, it never meets itself.
    const QString apk = apkWith("Libs.apk", {{"lib/armeabi-v7a/liba.so", "a for armeabi-v7a"},
                                             {"lib/arm64-v8a/liba.so", "a for arm64-v8a"},
                                             {"lib/x86/liba.so", "a for x86"}});
    AddApkOptions options;
    options.appFolder = appFolder;
    options.deviceAbis = deviceAbis;
    QStringList leftOutAbis{"stale"};
    options.leftOutAbis = &leftOutAbis;
    const Result result = AddApk(op(), Partition::System, apk, options);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    QCOMPARE(m_reporter.texts(), QStringList());
    QCOMPARE(leftOutAbis, leftOut);
    const QMap<QString, QByteArray> archived = ReadZip(archive());
    QStringList expected = members;
    expected << "system/build.prop";
    expected.sort();
    QCOMPARE(archived.keys(), expected);
    QCOMPARE(FilesBelow(tree()), members);
    for (const QString& member : members)
        QCOMPARE(ReadFile(tree(member)), archived.value(member));
    if (members.contains("system/lib/liba.so"))
        QCOMPARE(archived.value("system/lib/liba.so"), QByteArray("a for armeabi-v7a"));
    if (members.contains("system/lib64/liba.so"))
        QCOMPARE(archived.value("system/lib64/liba.so"), QByteArray("a for arm64-v8a"));
}

void TestApkOperations::addWithoutPackage() {
    m_state->setWorkingArchivePath(QString());
    for (const Partition partition : {Partition::System, Partition::Data}) {
        const Result result = AddApk(op(), partition, source("Foo.apk"));
        QVERIFY(result.failed());
        QCOMPARE(result.notice().text, Msg::NoPackageOpen());
        QVERIFY(!FileHelpers::PathExists(tree(PartitionDirectoryName(partition) + "/app")));
    }
    QVERIFY(m_reporter.texts().isEmpty());
    QVERIFY(!FileHelpers::PathExists(m_state->paths().unpackDir()));
    QVERIFY(m_state->changeLog().isEmpty());
}

// A library name the tree cannot take (longer than NAME_MAX) is refused
// before anything changes, by name; an APK of the longest name a file can
// have is added (its temporary copies take short names of their own).
void TestApkOperations::addRefusesNamesTooLongForTheTree_data() {
    QTest::addColumn<bool>("system");
    QTest::addColumn<QString>("apkName");
    QTest::addColumn<QString>("libraryName"); // empty: none
    QTest::addColumn<QString>("tooLong");
    const qint64 limit = FileHelpers::MaxTargetNameBytes(QDir::tempPath());
    const QString longLibrary = QString(int(limit) - 2, 'l') + ".so"; // one byte too many
    const QString longestApk = QString(int(limit) - 4, 'a') + ".apk";
    QTest::newRow("library") << true << "Lib.apk" << longLibrary << longLibrary;
    QTest::newRow("APK of the longest name, data page")
        << false << longestApk << QString() << QString();
    QTest::newRow("APK of the longest name, system page")
        << true << longestApk << QString() << QString();
}

void TestApkOperations::addRefusesNamesTooLongForTheTree() {
    QFETCH(bool, system);
    QFETCH(QString, apkName);
    QFETCH(QString, libraryName);
    QFETCH(QString, tooLong);
    QList<QPair<QString, QByteArray>> libraries;
    if (!libraryName.isEmpty())
        libraries.append({"lib/arm/" + libraryName, "library"});
    const QString apk = apkWith(apkName, libraries);
    const QByteArray before = ReadFile(archive());
    const Partition partition = system ? Partition::System : Partition::Data;

    const Result result = AddApk(op(), partition, apk);
    QCOMPARE(result.succeeded(), tooLong.isEmpty());
    if (tooLong.isEmpty()) {
        QVERIFY2(result.cause().isEmpty(), qPrintable(result.cause()));
        QCOMPARE(FilesBelow(tree()),
                 QStringList{(system ? "system/app/" : "userdata/app/") + apkName});
        return;
    }
    const qint64 limit = FileHelpers::MaxTargetNameBytes(m_bundle->path());
    QCOMPARE(result.notice().text, Msg::NameTooLong(tooLong, limit));
    QVERIFY(m_reporter.texts().isEmpty());
    QVERIFY2(result.cause().contains(tooLong), qPrintable(result.cause()));
    QCOMPARE(ReadFile(archive()), before);
    QCOMPARE(FilesBelow(tree()), QStringList());
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(!QFile::exists(pending()));
}

// The folders an add unpacks and signs in go when it ends, whatever the
// outcome: a partial unpack (a full disk) must not keep the disk full.
void TestApkOperations::addLeavesNoScratchFolders_data() {
    // What is made to fail: the APK ("damaged library": a library after the
    // first cannot be read), a key file (given the content) or a fault point
    // (the signed copy is overwritten with the content there); empty: nothing.
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("message"); // the first line of the failure's message
    QTest::newRow("added") << QString() << QString() << QString();
    QTest::newRow("unpack fails half-way")
        << "damaged library" << QString() << Msg::UnzipApkFailed("Plain.apk");
    QTest::newRow("signing fails") << "Config/platform.pk8"
                                   << "damaged key" << Msg::SignApkFailed("Plain.apk");
    QTest::newRow("signing gives garbage") << "apk:signed"
                                           << "garbage" << Msg::SignApkFailed("Plain.apk");
}

void TestApkOperations::addLeavesNoScratchFolders() {
    QFETCH(QString, target);
    QFETCH(QString, content);
    QFETCH(QString, message);
    const bool added = message.isEmpty();
    const QString signedCopy = m_state->paths().apkTempDir() + "/Plain.apk";
    if (target == "damaged library")
        QVERIFY(WriteFile(source("Plain.apk"), damagedLibraryApk()));
    else if (target.startsWith("Config/"))
        QVERIFY(WriteFile(m_bundle->file(target), content.toUtf8()));
    else if (!target.isEmpty())
        SetFaultPointHookForTesting([target, content, signedCopy](const char* name) {
            if (target == QLatin1String(name))
                WriteFile(signedCopy, content.toUtf8());
            return FaultAction::None;
        });
    const QByteArray before = ReadFile(archive());
    const QString apk = m_bundle->file("in/Plain.apk");
    if (!QFile::exists(apk))
        source("Plain.apk");
    const Result result = AddApk(op(), Partition::System, apk);
    QCOMPARE(result.succeeded(), added);
    QCOMPARE(result.cause().isEmpty(), added);
    QCOMPARE(result.notice().text.section('\n', 0, 0), message);
    QVERIFY(!FileHelpers::PathExists(m_state->paths().unpackDir()));
    QVERIFY(!FileHelpers::PathExists(m_state->paths().apkTempDir()));
    QCOMPARE(ReadFile(archive()) == before, !added);
    QCOMPARE(FileHelpers::PathExists(tree("system/app/Plain.apk")), added);
}

// Bad input fails the add with its window message and a precise cause, before
// anything changes: the tree, the working archive and the records stay.
void TestApkOperations::badInputChangesNothing_data() {
    QTest::addColumn<QString>("input");   // what is bad
    QTest::addColumn<QString>("message"); // the first line of the window's message
    QTest::addColumn<QString>("cause");   // a part of the cause
    QTest::newRow("not a ZIP") << "not a zip" << Msg::UnzipApkFailed("Bad.apk")
                               << "is not a readable ZIP";
    QTest::newRow("no manifest") << "no manifest" << Msg::SignApkFailed("Bad.apk")
                                 << "AndroidManifest.xml";
    QTest::newRow("library the reader cannot read")
        << "damaged library" << Msg::UnzipApkFailed("Bad.apk") << "libbad.so";
    QTest::newRow("platform key of another certificate")
        << "foreign key" << Msg::SignApkFailed("Bad.apk") << "does not belong to the platform";
    QTest::newRow("platform key missing")
        << "missing key" << Msg::SignApkFailed("Bad.apk") << "platform.pk8";
    QTest::newRow("platform key damaged")
        << "damaged key" << Msg::SignApkFailed("Bad.apk") << "missing or damaged";
}

void TestApkOperations::badInputChangesNothing() {
    QFETCH(QString, input);
    QFETCH(QString, message);
    QFETCH(QString, cause);
    open(4, {"system/app/Old.apk", "system/lib/libold.so"});
    const QString apk = m_bundle->file("in/Bad.apk");
    QByteArray bytes = ReadFile(Fixture("Plain.apk"));
    if (input == "not a zip")
        bytes = "not a zip";
    else if (input == "no manifest")
        bytes = ReadFile(Fixture("NoManifest.apk"));
    else if (input == "damaged library")
        bytes = damagedLibraryApk();
    else if (input == "foreign key")
        QVERIFY(WriteFile(m_bundle->file("Config/platform.pk8"),
                          ReadFile(m_bundle->file("Config/testkey.pk8"))));
    else if (input == "missing key")
        QVERIFY(QFile::remove(m_bundle->file("Config/platform.pk8")));
    else if (input == "damaged key")
        QVERIFY(WriteFile(m_bundle->file("Config/platform.pk8"), "damaged key"));
    QVERIFY(WriteFile(apk, bytes));
    const QByteArray archiveBefore = ReadFile(archive());
    const QStringList treeBefore = FilesBelow(tree());

    const Result result = AddApk(op(), Partition::System, apk);
    QVERIFY(result.failed());
    QCOMPARE(result.notice().text.section('\n', 0, 0), message);
    QVERIFY2(result.cause().contains(cause), qPrintable(result.cause()));
    QCOMPARE(ReadFile(archive()), archiveBefore);
    QCOMPARE(FilesBelow(tree()), treeBefore);
    QCOMPARE(ReadFile(tree("system/lib/libold.so")), QByteArray("data of system/lib/libold.so"));
    QVERIFY(m_state->changeLog().isEmpty());
    QVERIFY(!QFile::exists(pending()));
    QVERIFY(!FileHelpers::PathExists(m_state->paths().unpackDir()));
    QVERIFY(!FileHelpers::PathExists(m_state->paths().apkTempDir()));
}

// A package whose system partition is an image: adding or deleting a system
// APK fails with the window's message naming the form, before anything
// changes; the data partition is still edited.
void TestApkOperations::systemImageRefusesSystemEdits_data() {
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QString>("form");
    QTest::newRow("new.dat") << QStringList{"system.new.dat", "system.transfer.list"}
                             << "system.new.dat with system.transfer.list";
    QTest::newRow("new.dat.br") << QStringList{"system.new.dat.br", "system.transfer.list"}
                                << "system.new.dat.br with system.transfer.list";
    QTest::newRow("img") << QStringList{"system.img"} << "system.img";
}

void TestApkOperations::systemImageRefusesSystemEdits() {
    QFETCH(QStringList, images);
    QFETCH(QString, form);
    open(7, QStringList{"system/app/Old.apk"} + images);
    const QByteArray archiveBefore = ReadFile(archive());
    const QStringList treeBefore = FilesBelow(tree());

    const Result added = AddApk(op(), Partition::System, source("Plain.apk"));
    QVERIFY(added.failed());
    QCOMPARE(added.notice().text, Msg::SystemPartitionIsImage(form));
    QCOMPARE(added.cause(), Msg::SystemPartitionImageCause(form));
    const Result deleted = DeleteApk(op(), Partition::System, tree("system/app/Old.apk"));
    QVERIFY(deleted.failed());
    QCOMPARE(deleted.notice().text, Msg::SystemPartitionIsImage(form));
    QCOMPARE(ReadFile(archive()), archiveBefore);
    QCOMPARE(FilesBelow(tree()), treeBefore);
    QVERIFY(m_reporter.texts().isEmpty());

    QVERIFY(AddApk(op(), Partition::Data, source("Plain.apk")).succeeded());
    QVERIFY(QFile::exists(tree("userdata/app/Plain.apk")));
}

QTEST_GUILESS_MAIN(TestApkOperations)
#include "tst_ApkOperations.moc"
