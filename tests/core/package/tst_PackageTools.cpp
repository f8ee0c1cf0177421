#include "core/WorkspacePaths.h"
#include "core/package/PackageTools.h"
#include "core/io/ToolRunner.h"
#include "core/zip/WholeFileSignature.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTest>
#include <QTimer>

Q_DECLARE_METATYPE(SigningKey)

namespace {

// A tool's result: whether it succeeded, its cause in cause. A result that
// breaks the tools' contract (a notice of its own, or a cause other than
// exactly on failure) answers the opposite, so that the test fails.
bool Succeeded(const Result& result, QString* cause) {
    *cause = result.cause();
    if (result.notice().kind != Notice::Kind::None || result.failed() == cause->isEmpty())
        return !result.succeeded();
    return result.succeeded();
}

} // namespace

// The bundle's 7-Zip and signing tool, run by a runner without an observer
// (as the command-line tool runs them).
class TestPackageTools : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { m_bundle.reset(); }

    void extractsWithOddPaths_data();
    void extractsWithOddPaths();
    void newDirectoryNamedWithStarIsRefused();
    void overwritesWithoutAsking();
    void extractorArgumentsAndExitCodes_data();
    void extractorArgumentsAndExitCodes();
    void damagedArchiveFails_data();
    void damagedArchiveFails();
    void missingExtractorFails();
    void stoppedExtractionFails();
    void emptyPathNeverReachesTheExtractor_data();
    void emptyPathNeverReachesTheExtractor();

    void wholeFileSignatureReplacesOldOutput();
    void platformSigningOfNonApkLeavesNoOutput();
    void signingArgumentsAndFailures_data();
    void signingArgumentsAndFailures();
    void platformSignatureIsChecked_data();
    void platformSignatureIsChecked();
    void outputNamingInputIsRefused_data();
    void outputNamingInputIsRefused();
    void missingJavaFails();
    void stoppedSigningLeavesNoOutput();

private:
    QString file(const QString& relative) const { return m_bundle->file(relative); }
    WorkspacePaths paths() const { return WorkspacePaths(m_bundle->path()); }
    // Stops the runner's program as soon as the condition holds.
    void stopWhen(ToolRunner& runner, QTimer& poll, std::function<bool()> condition);

    std::unique_ptr<TestBundle> m_bundle;
    QString m_input; // a small package to sign
};

void TestPackageTools::init() {
    m_bundle = std::make_unique<TestBundle>();
    QVERIFY(m_bundle->isValid());
    m_input = file("in dir/pack age.zip");
    QVERIFY(QDir().mkpath(file("in dir")));
    QVERIFY(WriteZip(m_input, {{"system/build.prop", "ro.build.version.release=4.4.2\n"},
                               {"logo.img", "logo"}}));
}

void TestPackageTools::stopWhen(ToolRunner& runner, QTimer& poll, std::function<bool()> condition) {
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, this, [&runner, &poll, condition] {
        if (runner.isRunning() && condition()) {
            poll.stop();
            runner.requestStop();
        }
    });
    poll.start();
}

void TestPackageTools::extractsWithOddPaths_data() {
    QTest::addColumn<QString>("archiveName");
    QTest::addColumn<QString>("outputName");
    // The directory that holds the output exists (the workspace's).
    QTest::addColumn<bool>("parentExists");
    // A second archive whose name the first one's would match as a wildcard.
    QTest::addColumn<QString>("decoyName");
    QTest::newRow("plain") << "pkg.zip"
                           << "out" << false << "";
    QTest::newRow("blanks") << "my package.zip"
                            << "out dir/with blanks" << false << "";
    QTest::newRow("chinese") << "固件 包.zip"
                             << "输出/目录" << false << "";
    QTest::newRow("star is no wildcard") << "pkg*.zip"
                                         << "app*dir/srctemp" << true << "pkg-other.zip";
    QTest::newRow("question mark is no wildcard") << "pkg?.zip"
                                                  << "out?" << false << "pkgX.zip";
}

void TestPackageTools::extractsWithOddPaths() {
    QFETCH(QString, archiveName);
    QFETCH(QString, outputName);
    QFETCH(bool, parentExists);
    QFETCH(QString, decoyName);
    const QString archive = file("in/" + archiveName);
    QVERIFY(QDir().mkpath(file("in")));
    QVERIFY(WriteZip(archive, {{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                               {"system/app/Music.apk", "apk"},
                               {"logo.img", QByteArray(4096, 'L')}}));
    if (!decoyName.isEmpty())
        QVERIFY(WriteZip(file("in/" + decoyName), {{"decoy.txt", "decoy"}}));
    const QString output = file(outputName); // does not exist yet
    if (parentExists)
        QVERIFY(QDir().mkpath(QFileInfo(output).absolutePath()));
    ToolRunner runner;
    QString error;
    QVERIFY2(Succeeded(ExtractArchive(runner, paths(), archive, output), &error),
             qPrintable(error));
    QCOMPARE(ReadFile(output + "/system/build.prop"),
             QByteArray("ro.build.version.release=5.1.1\n"));
    QCOMPARE(ReadFile(output + "/system/app/Music.apk"), QByteArray("apk"));
    QCOMPARE(ReadFile(output + "/logo.img"), QByteArray(4096, 'L'));
    QCOMPARE(QDir(output).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList({"logo.img", "system"}));
    // Nothing went anywhere else.
    const QStringList top =
        QDir(m_bundle->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(QSet<QString>(top.begin(), top.end()),
             QSet<QString>({"Config", "in", "in dir", "jre", outputName.section('/', 0, 0)}));
}

void TestPackageTools::newDirectoryNamedWithStarIsRefused() {
    // 7-Zip would put the files into a directory named after the archive.
    const QString archive = file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "a"}}));
    const QString before = QDir(m_bundle->path()).entryList().join('|');
    ToolRunner runner;
    QString error;
    QVERIFY(!Succeeded(ExtractArchive(runner, paths(), archive, file("new*/out")), &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(QDir(m_bundle->path()).entryList().join('|'), before);
}

void TestPackageTools::overwritesWithoutAsking() {
    const QString archive = file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "new"}}));
    const QString output = file("out");
    QVERIFY(WriteFile(output + "/a.txt", "old"));
    QVERIFY(WriteFile(output + "/kept.txt", "kept"));
    ToolRunner runner;
    QVERIFY(ExtractArchive(runner, paths(), archive, output).succeeded());
    QCOMPARE(ReadFile(output + "/a.txt"), QByteArray("new"));
    QCOMPARE(ReadFile(output + "/kept.txt"), QByteArray("kept"));
}

void TestPackageTools::extractorArgumentsAndExitCodes_data() {
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("success");
    QTest::newRow("0 success") << 0 << true;
    QTest::newRow("1 warnings only") << 1 << true;
    QTest::newRow("2 fatal error") << 2 << false;
    QTest::newRow("8 out of memory") << 8 << false;
}

void TestPackageTools::extractorArgumentsAndExitCodes() {
    QFETCH(int, exitCode);
    QFETCH(bool, success);
    const QString argsFile = file("args.txt");
    m_bundle->replaceToolWithScript(
        "Config/7za", QString("for a in \"$@\"; do echo \"$a\" >> '%1'; done\nexit %2")
                          .arg(argsFile)
                          .arg(exitCode));
    const QString archive = file("in dir/pkg.zip");
    const QString output = file("out dir");
    ToolRunner runner;
    QString error;
    QCOMPARE(Succeeded(ExtractArchive(runner, paths(), archive, output), &error), success);
    QCOMPARE(error.isEmpty(), success);
    // -spd: wildcard characters are part of the names; -bsp1: progress on
    // standard output; -y: every question answered yes.
    QCOMPARE(QString::fromUtf8(ReadFile(argsFile)).split('\n', Qt::SkipEmptyParts),
             QStringList({"x", "-spd", "-bsp1", archive, "-o" + output, "-y"}));
}

void TestPackageTools::damagedArchiveFails_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("not a zip") << QByteArray("this is plain text, not an archive\n");
    QTest::newRow("empty file") << QByteArray();
    QByteArray truncated;
    {
        QTemporaryDir dir;
        const QString full = dir.filePath("full.zip");
        WriteZip(full, {{"big.bin", QByteArray(200000, 'x') + QByteArray::number(12345)}});
        truncated = ReadFile(full).left(300);
    }
    QTest::newRow("truncated") << truncated;
}

void TestPackageTools::damagedArchiveFails() {
    QFETCH(QByteArray, bytes);
    const QString archive = file("bad.zip");
    QVERIFY(WriteFile(archive, bytes));
    ToolRunner runner;
    QString error;
    QVERIFY(!Succeeded(ExtractArchive(runner, paths(), archive, file("out")), &error));
    // 7-Zip ran to its end and said no (exit code 2 or more).
    QVERIFY2(error.contains("exit code"), qPrintable(error));
}

void TestPackageTools::missingExtractorFails() {
    m_bundle->removeTool("Config/7za");
    const QString archive = file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "a"}}));
    ToolRunner runner;
    QString error;
    QVERIFY(!Succeeded(ExtractArchive(runner, paths(), archive, file("out")), &error));
    QVERIFY2(error.contains("could not be started"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(file("out")));
}

void TestPackageTools::stoppedExtractionFails() {
    const QString started = file("started");
    m_bundle->replaceToolWithScript("Config/7za",
                                    QString("touch '%1'\nexec sleep 30").arg(started));
    const QString archive = file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "a"}}));
    ToolRunner runner;
    QTimer poll;
    stopWhen(runner, poll, [&] { return QFileInfo::exists(started); });
    QString error;
    QVERIFY(!Succeeded(ExtractArchive(runner, paths(), archive, file("out")), &error));
    QVERIFY2(error.contains("stopped"), qPrintable(error));
}

void TestPackageTools::emptyPathNeverReachesTheExtractor_data() {
    QTest::addColumn<bool>("archiveEmpty");
    QTest::addColumn<bool>("outputEmpty");
    QTest::newRow("no archive") << true << false;
    QTest::newRow("no output directory") << false << true;
}

void TestPackageTools::emptyPathNeverReachesTheExtractor() {
    QFETCH(bool, archiveEmpty);
    QFETCH(bool, outputEmpty);
    const QString called = file("called");
    m_bundle->replaceToolWithScript("Config/7za", QString("touch '%1'").arg(called));
    ToolRunner runner;
    QString error;
    QVERIFY(!Succeeded(ExtractArchive(runner, paths(), archiveEmpty ? QString() : file("pkg.zip"),
                                      outputEmpty ? QString() : file("out")),
                       &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFileInfo::exists(called));
}

void TestPackageTools::wholeFileSignatureReplacesOldOutput() {
    const QString output = file("out dir/signed 包.zip");
    QVERIFY(WriteFile(output, "old output"));
    ToolRunner runner;
    QString error;
    QVERIFY2(Succeeded(SignArchive(runner, paths(), m_input, output, SigningKey::Test), &error),
             qPrintable(error));
    // The members survive and the whole file verifies with the test key.
    const QMap<QString, QByteArray> members = ReadZip(output);
    QCOMPARE(members.value("logo.img"), QByteArray("logo"));
    QCOMPARE(members.value("system/build.prop"), QByteArray("ro.build.version.release=4.4.2\n"));
    QVERIFY2(VerifyWholeFileSignature(output, file("Config/testkey.x509.pem"), &error),
             qPrintable(error));
    // A key the package was not signed with does not verify it.
    QVERIFY(!VerifyWholeFileSignature(output, file("Config/platform.x509.pem"), &error));
}

void TestPackageTools::platformSigningOfNonApkLeavesNoOutput() {
    // Not an APK: the platform signing cannot read a manifest and exits 1,
    // leaving an empty output file behind, which is removed.
    const QString output = file("Apktemp/pack.apk");
    QVERIFY(QDir().mkpath(file("Apktemp")));
    ToolRunner runner;
    QString error;
    QVERIFY(
        !Succeeded(SignArchive(runner, paths(), m_input, output, SigningKey::Platform), &error));
    QVERIFY2(error.contains("exit code 1"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(output));
}

void TestPackageTools::signingArgumentsAndFailures_data() {
    QTest::addColumn<SigningKey>("key");
    QTest::addColumn<QString>("writes"); // what the fake tool does to the output
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("success");
    const QString copy = "cp \"$IN\" \"$OUT\"";
    const QString empty = ": > \"$OUT\"";
    QTest::newRow("test key, written") << SigningKey::Test << copy << 0 << true;
    // An unsigned copy is no APK signed with the platform key.
    QTest::newRow("platform key, unsigned copy") << SigningKey::Platform << copy << 0 << false;
    QTest::newRow("written but exit 3") << SigningKey::Test << copy << 3 << false;
    QTest::newRow("exit 0, no output") << SigningKey::Test << "" << 0 << false;
    QTest::newRow("exit 0, empty output") << SigningKey::Platform << empty << 0 << false;
}

void TestPackageTools::signingArgumentsAndFailures() {
    QFETCH(SigningKey, key);
    QFETCH(QString, writes);
    QFETCH(int, exitCode);
    QFETCH(bool, success);
    // Records its working directory and arguments (-jar <jar> [-w] <cert>
    // <key> <in> <out>), then acts on the output.
    const QString argsFile = file("args.txt");
    m_bundle->replaceToolWithScript(
        "jre/bin/java", QString("pwd -P > '%1'\nfor a in \"$@\"; do echo \"$a\" >> '%1'; done\n"
                                "for a in \"$@\"; do IN=\"$OUT\"; OUT=\"$a\"; done\n%2\nexit %3")
                            .arg(argsFile, writes)
                            .arg(exitCode));
    const QString output = file("out dir/out put.zip");
    QVERIFY(QDir().mkpath(file("out dir")));
    ToolRunner runner;
    QString error;
    QCOMPARE(Succeeded(SignArchive(runner, paths(), m_input, output, key), &error), success);
    QCOMPARE(error.isEmpty(), success);
    QCOMPARE(QFileInfo::exists(output), success);
    if (success)
        QCOMPARE(ReadFile(output), ReadFile(m_input));

    QStringList expected{QFileInfo(file("Config")).canonicalFilePath(), "-jar",
                         file("Config/signapk.jar")};
    if (key == SigningKey::Test)
        expected << "-w"
                 << "testkey.x509.pem"
                 << "testkey.pk8";
    else
        expected << "platform.x509.pem"
                 << "platform.pk8";
    expected << m_input << output;
    QCOMPARE(QString::fromUtf8(ReadFile(argsFile)).split('\n', Qt::SkipEmptyParts), expected);
}

// What the platform signing gives is checked, whatever the tool says: a ZIP
// whose signature verifies with the platform certificate. A key pair that
// cannot sign is named before the tool runs.
void TestPackageTools::platformSignatureIsChecked_data() {
    QTest::addColumn<QString>("tool");    // the signing tool's script; empty: the real one
    QTest::addColumn<QString>("keyFile"); // what replaces Config/platform.pk8; empty: nothing
    QTest::addColumn<QString>("cause");   // empty: signed
    const QString real = QFileInfo(TestBundle::buildBundle() + "/jre/bin/java").canonicalFilePath();
    const QString last = "for a in \"$@\"; do IN=\"$OUT\"; OUT=\"$a\"; done\n";
    QTest::newRow("signed with the platform key") << QString() << QString() << QString();
    QTest::newRow("garbage, exit 0")
        << last + "echo garbage > \"$OUT\"" << QString() << "the signed APK is not a readable ZIP";
    QTest::newRow("unsigned copy, exit 0")
        << last + "cp \"$IN\" \"$OUT\"" << QString()
        << "the signed APK carries no signature (META-INF/*.SF and its signature block)";
    QTest::newRow("signed with another key")
        << last + QString("'%1' -jar '%2' testkey.x509.pem testkey.pk8 \"$IN\" \"$OUT\"")
                      .arg(real, "{bundle}/Config/signapk.jar")
        << QString() << "the signed APK is not signed with the platform certificate";
    QTest::newRow("damaged platform key")
        << QString() << "garbage"
        << "the platform key \"{bundle}/Config/platform.pk8\" is missing or damaged";
    QTest::newRow("platform key of another certificate")
        << QString() << "Config/testkey.pk8"
        << "the platform key \"{bundle}/Config/platform.pk8\" does not belong to the platform "
           "certificate \"{bundle}/Config/platform.x509.pem\"";
}

void TestPackageTools::platformSignatureIsChecked() {
    QFETCH(QString, tool);
    QFETCH(QString, keyFile);
    QFETCH(QString, cause);
    tool.replace("{bundle}", m_bundle->path());
    cause.replace("{bundle}", m_bundle->path());
    if (!tool.isEmpty())
        m_bundle->replaceToolWithScript("jre/bin/java", tool);
    if (keyFile == "garbage")
        QVERIFY(WriteFile(file("Config/platform.pk8"), "garbage"));
    else if (!keyFile.isEmpty())
        QVERIFY(WriteFile(file("Config/platform.pk8"), ReadFile(file(keyFile))));
    const QString input = TestBundle::buildBundle() + "/samples/add/Notes.apk";
    const QString output = file("Apktemp/Notes.apk");
    QVERIFY(QDir().mkpath(file("Apktemp")));
    ToolRunner runner;
    QString error;
    QCOMPARE(Succeeded(SignArchive(runner, paths(), input, output, SigningKey::Platform), &error),
             cause.isEmpty());
    QVERIFY2(cause.isEmpty() ? error.isEmpty() : error.startsWith(cause), qPrintable(error));
    QCOMPARE(QFileInfo::exists(output), cause.isEmpty());
}

void TestPackageTools::outputNamingInputIsRefused_data() {
    QTest::addColumn<QString>("output");
    QTest::newRow("the same path") << "in dir/pack age.zip";
    QTest::newRow("through ..") << "in dir/../in dir/pack age.zip";
    QTest::newRow("a link to it") << "alias.zip";
}

void TestPackageTools::outputNamingInputIsRefused() {
    QFETCH(QString, output);
    QVERIFY(QFile::link(m_input, file("alias.zip")));
    const QString called = file("called");
    m_bundle->replaceToolWithScript("jre/bin/java", QString("touch '%1'").arg(called));
    const QByteArray before = ReadFile(m_input);
    ToolRunner runner;
    QString error;
    QVERIFY(
        !Succeeded(SignArchive(runner, paths(), m_input, file(output), SigningKey::Test), &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(ReadFile(m_input), before);
    QVERIFY(!QFileInfo::exists(called));
}

void TestPackageTools::missingJavaFails() {
    m_bundle->removeTool("jre/bin/java");
    const QString output = file("out.zip");
    ToolRunner runner;
    QString error;
    QVERIFY(!Succeeded(SignArchive(runner, paths(), m_input, output, SigningKey::Test), &error));
    QVERIFY2(error.contains("could not be started"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(output));
}

void TestPackageTools::stoppedSigningLeavesNoOutput() {
    // The tool has written part of its output when it is stopped.
    const QString output = file("out.zip");
    m_bundle->replaceToolWithScript("jre/bin/java",
                                    QString("echo partial > \"$7\"\nexec sleep 30"));
    ToolRunner runner;
    QTimer poll;
    stopWhen(runner, poll, [&] { return QFileInfo(output).size() > 0; });
    QString error;
    QVERIFY(!Succeeded(SignArchive(runner, paths(), m_input, output, SigningKey::Test), &error));
    QVERIFY2(error.contains("stopped"), qPrintable(error));
    QVERIFY(!QFileInfo::exists(output));
}

QTEST_GUILESS_MAIN(TestPackageTools)
#include "tst_PackageTools.moc"
