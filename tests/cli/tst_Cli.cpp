// corvane-cli end to end: the bundle's executable run as a user would, with the
// real 7-Zip, signapk and keys, on the sample package; the saved packages are
// checked with tools of their own (apksigner, openssl), not with the core.
#include "core/base/Messages.h"
#include "core/base/UniqueFd.h"
#include "core/format/BuildProp.h"
#include "core/format/ZipFormat.h"
#include "core/workspace/SavePackage.h"
#include "support/RawZip.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString bundleFile(const QString& relative) {
    return QStringLiteral(CORVANE_BUNDLE_DIR "/") + relative;
}

QString testData(const QString& name) {
    return QStringLiteral(CORVANE_TESTDATA_DIR "/") + name;
}

QByteArray sha256(const QByteArray& data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

// The lines of standard error that report a failure: a failed run has
// exactly one, its last line.
QList<QByteArray> errorLines(const QByteArray& err) {
    QList<QByteArray> found;
    for (const QByteArray& line : err.split('\n')) {
        if (line.startsWith("corvane-cli: error: "))
            found << line;
    }
    return found;
}

// The SHA-256 digest of a PEM certificate's DER form, in lower-case hex, as
// openssl computes it.
QByteArray certificateDigest(const QString& pem) {
    const Run run =
        RunProgram(QStringLiteral("openssl"),
                   {QStringLiteral("x509"), QStringLiteral("-in"), pem, QStringLiteral("-noout"),
                    QStringLiteral("-fingerprint"), QStringLiteral("-sha256")});
    const qsizetype equals = run.out.indexOf('=');
    if (run.exitCode != 0 || equals < 0)
        return {};
    return run.out.mid(equals + 1).trimmed().replace(":", "").toLower();
}

} // namespace

class TestCli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void helpGoesToStandardOutput_data();
    void helpGoesToStandardOutput();
    void usageErrorsExitTwoAndWriteNothing_data();
    void usageErrorsExitTwoAndWriteNothing();
    void editSavesASignedPackage();
    void sameEditGivesTheSameBytes();
    void customerPropertiesAreEditedInOnePass();
    void customersKeySignsThePackage();
    void addedLibrariesFollowTheDevicesAbis_data();
    void addedLibrariesFollowTheDevicesAbis();
    void privAppAddIsSignedWithThePlatformKey_data();
    void privAppAddIsSignedWithThePlatformKey();
    void dryRunPrintsThePlanAndWritesNothing_data();
    void dryRunPrintsThePlanAndWritesNothing();
    void deletedOrReplacedApkTakesItsOdex();
    void inputThatIsNoRegularFileIsRefusedUnopened_data();
    void inputThatIsNoRegularFileIsRefusedUnopened();
    void dryRunRefusesTheSystemApksTheRunRefuses_data();
    void dryRunRefusesTheSystemApksTheRunRefuses();
    void argumentFileWithBlanksAndNonAscii();
    void failedEditLeavesTheOutputAlone_data();
    void failedEditLeavesTheOutputAlone();
    void brokenSignerLeavesTheOutputAlone_data();
    void brokenSignerLeavesTheOutputAlone();
    void interruptedRunLeavesNoOutput_data();
    void interruptedRunLeavesNoOutput();
    void abandonedWorkspaceIsRemovedOnlyWhenItsOwnerIsGone_data();
    void abandonedWorkspaceIsRemovedOnlyWhenItsOwnerIsGone();
    void namesNotInUtf8LeaveNoWorkspaceBehind();
    void progressOnlyOnATerminal();
    void readmeExampleRunsAsWritten();
    void successEndsWithOneSummaryLine_data();
    void successEndsWithOneSummaryLine();
    void imagePackageRefusesSystemEdits_data();
    void imagePackageRefusesSystemEdits();
    void imagePackageIsEditedInsideTheImage_data();
    void imagePackageIsEditedInsideTheImage();
    void questionableAddsAndReplacementsWarn_data();
    void questionableAddsAndReplacementsWarn();
    void editJsonPrintsTheResult();
    void unwritableOutputFolderIsNamed();

private:
    // Runs the build's corvane-cli, or the copy in another bundle.
    Run cli(const QStringList& arguments, const QString& program = QString()) const;
    QProcessEnvironment environment() const;
    static QString copyCliInto(const TestBundle& bundle);
    QString work(const QString& relative) const { return m_work.filePath(relative); }

    QTemporaryDir m_work;
    QString m_tmp; // TMPDIR of every run: empty again after each
    QString m_sample;
    QByteArray m_sampleDigest;
    bool m_bundleHadTree = false;
    bool m_bundleHadZipTemp = false;
};

QProcessEnvironment TestCli::environment() const {
    return CliTestEnvironment(m_tmp);
}

Run TestCli::cli(const QStringList& arguments, const QString& program) const {
    return RunProgram(program.isEmpty() ? bundleFile(QStringLiteral("corvane-cli")) : program,
                      arguments, environment());
}

// The executable finds its tools beside itself: a copy in a test bundle uses
// that bundle's (scripted) tools.
QString TestCli::copyCliInto(const TestBundle& bundle) {
    const QString program = bundle.file(QStringLiteral("corvane-cli"));
    if (!QFile::copy(bundleFile(QStringLiteral("corvane-cli")), program) ||
        !QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ExeOwner))
        return {};
    return program;
}

void TestCli::initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY(QFileInfo(bundleFile(QStringLiteral("corvane-cli"))).isExecutable());
    m_tmp = work(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_tmp));
    m_sample = bundleFile(QStringLiteral("samples/update.zip"));
    m_sampleDigest = sha256(ReadFile(m_sample));
    QVERIFY(!m_sampleDigest.isEmpty());
    m_bundleHadTree = QFileInfo::exists(bundleFile(QStringLiteral("srctemp")));
    m_bundleHadZipTemp = QFileInfo::exists(bundleFile(QStringLiteral("zipTemp")));
}

void TestCli::init() {
    QVERIFY(QDir(work(QStringLiteral("out"))).removeRecursively());
    QVERIFY(QDir().mkpath(work(QStringLiteral("out"))));
}

void TestCli::cleanup() {
    // Every run removes its private workspace, whatever its outcome.
    const QStringList left = QDir(m_tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                   QDir::NoDotAndDotDot);
    if (!left.isEmpty()) {
        // Cleared, so that one failure does not fail every later test.
        QDir(m_tmp).removeRecursively();
        QDir().mkpath(m_tmp);
    }
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    // The input is never changed.
    QCOMPARE(sha256(ReadFile(m_sample)), m_sampleDigest);
}

void TestCli::cleanupTestCase() {
    // The workspace of the windows beside the executable is not touched.
    QCOMPARE(QFileInfo::exists(bundleFile(QStringLiteral("srctemp"))), m_bundleHadTree);
    QCOMPARE(QFileInfo::exists(bundleFile(QStringLiteral("zipTemp"))), m_bundleHadZipTemp);
}

void TestCli::helpGoesToStandardOutput_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("usage");
    QTest::newRow("program") << QStringList{"--help"} << QByteArray("Usage: corvane-cli COMMAND");
    QTest::newRow("help edit") << QStringList{"help", "edit"}
                               << QByteArray("Usage: corvane-cli edit PACKAGE -o OUTPUT");
    QTest::newRow("info") << QStringList{"info", "--help"}
                          << QByteArray("Usage: corvane-cli info PACKAGE [--json]");
    QTest::newRow("edit, among other options")
        << QStringList{"edit", "missing.zip", "--delete", "X.apk", "-h"}
        << QByteArray("Usage: corvane-cli edit PACKAGE -o OUTPUT");
}

void TestCli::helpGoesToStandardOutput() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, usage);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith(usage), run.out.constData());
    QCOMPARE(run.err, QByteArray());
}

void TestCli::usageErrorsExitTwoAndWriteNothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("cause");
    const QString out = work(QStringLiteral("out/new.zip"));
    QTest::newRow("no command") << QStringList{} << QByteArray("no command given");
    // A word far from every command or option gets no guess; a typo the
    // nearest one.
    QTest::newRow("unknown command")
        << QStringList{"show", m_sample} << QByteArray("unknown command \"show\"\n");
    QTest::newRow("mistyped command")
        << QStringList{"inof", m_sample}
        << QByteArray("unknown command \"inof\" (did you mean 'info'?)\n");
    QTest::newRow("mistyped command after -q")
        << QStringList{"-q", "edti", m_sample}
        << QByteArray("unknown command \"edti\" (did you mean 'edit'?)\n");
    QTest::newRow("unknown option")
        << QStringList{"edit", m_sample, "-o", out, "--add-sytem", testData("Plain.apk")}
        << QByteArray("unknown option \"--add-sytem\" (did you mean '--add-system'?)\n");
    QTest::newRow("mistyped option of info")
        << QStringList{"info", m_sample, "--verfy"}
        << QByteArray("unknown option \"--verfy\" (did you mean '--verify'?)\n");
    QTest::newRow("verify is not an edit option")
        << QStringList{"edit", m_sample, "-o", out, "--verify"}
        << QByteArray("unknown option \"--verify\"\n");
    QTest::newRow("missing output")
        << QStringList{"edit", m_sample, "--delete", "Music.apk"} << QByteArray("no output given");
    QTest::newRow("option without its value")
        << QStringList{"edit", m_sample, "-o"} << QByteArray("-o needs a value");
    QTest::newRow("two packages") << QStringList{"info", m_sample, m_sample}
                                  << QByteArray("more than one package");
    QTest::newRow("output is the input")
        << QStringList{"edit", m_sample, "-o", m_sample} << QByteArray("the output is the input");
    QTest::newRow("output is the input through a link")
        << QStringList{"edit", m_sample, "--output=" + work(QStringLiteral("link.zip"))}
        << QByteArray("the output is the input");
    // A second name of the input's inode is the input too.
    const QString input = work(QStringLiteral("input.zip"));
    const QString hardLink = work(QStringLiteral("hard.zip"));
    QFile::remove(input);
    QFile::remove(hardLink);
    QVERIFY(QFile::copy(m_sample, input));
    QCOMPARE(::link(QFile::encodeName(input).constData(), QFile::encodeName(hardLink).constData()),
             0);
    QTest::newRow("output is the input through a hard link")
        << QStringList{"edit", input, "-o", hardLink} << QByteArray("the output is the input");
    QTest::newRow("unknown slot") << QStringList{"edit", m_sample,    "-o",
                                                 out,    "--replace", "splash.img=" + m_sample}
                                  << QByteArray("unknown image slot \"splash.img\"");
    QTest::newRow("slot without file")
        << QStringList{"edit", m_sample, "-o", out, "--replace", "logo.img"}
        << QByteArray("--replace takes SLOT=FILE");
    QTest::newRow("property without a value")
        << QStringList{"edit", m_sample, "-o", out, "--set-prop", "ro.customer"}
        << QByteArray("--set-prop takes KEY=VALUE");
    QTest::newRow("property key with a space")
        << QStringList{"edit", m_sample, "-o", out, "--set-prop", "ro customer=acme"}
        << QByteArray("--set-prop takes KEY=VALUE");
    QTest::newRow("property to remove named with a value")
        << QStringList{"edit", m_sample, "-o", out, "--unset-prop", "ro.a=b"}
        << QByteArray("--unset-prop takes a KEY");
    // Keys and values are one line of printable text: the character is named.
    const struct {
        const char* name;
        const char* option;
        QString argument;
        const char* character;
    } unprintable[] = {
        {"carriage return in a value", "--set-prop", QStringLiteral("ro.a=x\ry"), "U+000D"},
        {"vertical tab in a value", "--set-prop", QStringLiteral("ro.a=x\vy"), "U+000B"},
        {"form feed in a value", "--set-prop", QStringLiteral("ro.a=x\fy"), "U+000C"},
        {"next line in a value", "--set-prop", QStringLiteral("ro.a=x\u0085y"), "U+0085"},
        {"line separator in a value", "--set-prop", QStringLiteral("ro.a=x\u2028y"), "U+2028"},
        {"vertical tab in a key", "--set-prop", QStringLiteral("ro.\va=b"), "U+000B"},
        {"form feed in a key to remove", "--unset-prop", QStringLiteral("ro.\fa"), "U+000C"},
    };
    for (const auto& row : unprintable)
        QTest::newRow(row.name) << QStringList{"edit", m_sample,   "-o",
                                               out,    row.option, row.argument}
                                << QByteArray(row.option) + ": the character " + row.character;
    // A NUL comes only through an argument file.
    const QString nulArguments = work(QStringLiteral("nul arguments"));
    QVERIFY(WriteFile(nulArguments, QByteArray("--set-prop\nro.a=x\0y\n", 20)));
    QTest::newRow("NUL in a value from an argument file")
        << QStringList{"edit", m_sample, "-o", out, "@" + nulArguments}
        << QByteArray("--set-prop: the character U+0000");
    QTest::newRow("package key without its key")
        << QStringList{"edit", m_sample, "-o", out, "--package-key", m_sample}
        << QByteArray("--package-key needs two values");
    QTest::newRow("platform key without its key")
        << QStringList{"edit", m_sample, "-o", out, "--platform-key", m_sample}
        << QByteArray("--platform-key needs two values");
    QTest::newRow("dry run is no option of info")
        << QStringList{"info", m_sample, "--dry-run"} << QByteArray("unknown option \"--dry-run\"");
    QTest::newRow("overwrite answer")
        << QStringList{"edit", m_sample, "-o", out, "--overwrite-libs", "always"}
        << QByteArray("--overwrite-libs takes yes or no");
    QTest::newRow("ABI list of commas only")
        << QStringList{"edit", m_sample, "-o", out, "--abi", ","}
        << QByteArray("--abi takes a comma-separated list");
    QTest::newRow("brotli quality above 11")
        << QStringList{"edit", m_sample, "-o", out, "--brotli-quality", "12"}
        << QByteArray("--brotli-quality takes a number from 0 to 11");
    QTest::newRow("brotli quality not a number")
        << QStringList{"edit", m_sample, "-o", out, "--brotli-quality", "best"}
        << QByteArray("--brotli-quality takes a number from 0 to 11");
    QTest::newRow("brotli quality twice")
        << QStringList{"edit", m_sample,           "-o", out, "--brotli-quality",
                       "5",    "--brotli-quality", "6"}
        << QByteArray("more than one --brotli-quality");
    // A log over a file the edit reads or writes would destroy it.
    QTest::newRow("log is the output")
        << QStringList{"edit", m_sample, "-o", out, "--delete", "Music.apk", "--log", out}
        << QByteArray("is the output");
    QTest::newRow("log is the package")
        << QStringList{"edit", m_sample, "-o", out, "--delete", "Music.apk", "--log", m_sample}
        << QByteArray("is the input package");
    QTest::newRow("log is an added APK")
        << QStringList{"edit",       m_sample,
                       "-o",         out,
                       "--add-data", testData("Plain.apk"),
                       "--log",      testData("Plain.apk")}
        << QByteArray("is the input \"" + testData("Plain.apk").toUtf8());
    QTest::newRow("log is a replacement image")
        << QStringList{"edit",      m_sample,
                       "-o",        out,
                       "--replace", "logo.img=" + m_sample,
                       "--log",     work(QStringLiteral("link.zip"))}
        << QByteArray("is the input");
    const QString certificate = work(QStringLiteral("keys/customer.x509.pem"));
    const QString key = work(QStringLiteral("keys/customer.pk8"));
    QDir().mkpath(work(QStringLiteral("keys")));
    QFile::remove(certificate);
    QFile::remove(key);
    QVERIFY(QFile::copy(bundleFile("Config/testkey.x509.pem"), certificate));
    QVERIFY(QFile::copy(bundleFile("Config/testkey.pk8"), key));
    QTest::newRow("log is the package key")
        << QStringList{"edit", m_sample, "-o", out, "--package-key", certificate, key, "--log", key}
        << QByteArray("customer.pk8\"");
    QTest::newRow("log is the platform certificate")
        << QStringList{"edit",           m_sample,    "-o", out,     "--delete", "Music.apk",
                       "--platform-key", certificate, key,  "--log", certificate}
        << QByteArray("customer.x509.pem\"");
    // The same inside an argument file, and a log over the argument file.
    const QString arguments = work(QStringLiteral("keys/edit.args"));
    QVERIFY(WriteFile(arguments, "--delete\nMusic.apk\n"));
    QTest::newRow("log is the argument file")
        << QStringList{"edit", m_sample, "-o", out, "@" + arguments, "--log", arguments}
        << QByteArray("is the input \"" + arguments.toUtf8());
    const QString logArguments = work(QStringLiteral("keys/log.args"));
    QVERIFY(WriteFile(logArguments, "--log\n" + m_sample.toUtf8() + "\n"));
    QTest::newRow("log in an argument file is the package")
        << QStringList{"edit", m_sample, "-o", out, "--delete", "Music.apk", "@" + logArguments}
        << QByteArray("is the input package");
    QTest::newRow("unreadable argument file")
        << QStringList{"@" + work(QStringLiteral("no such arguments"))}
        << QByteArray("cannot read the argument file");
}

void TestCli::usageErrorsExitTwoAndWriteNothing() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, cause);
    QFile::remove(work(QStringLiteral("link.zip")));
    QVERIFY(QFile::link(m_sample, work(QStringLiteral("link.zip"))));
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.startsWith("corvane-cli: ") && run.err.contains(cause), run.err.constData());
    // The cause in one line and where to read more, not the whole usage.
    QVERIFY2(run.err.endsWith("\nTry 'corvane-cli --help'.\n") && run.err.count('\n') == 2,
             run.err.constData());
    QCOMPARE(run.out, QByteArray());
    QCOMPARE(QDir(work(QStringLiteral("out")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QVERIFY(QFileInfo(work(QStringLiteral("link.zip"))).isSymLink());
}

void TestCli::editSavesASignedPackage() {
    const QString output = work(QStringLiteral("out/custom.zip"));
    const QString log = work(QStringLiteral("out/changes.log"));
    const QString logo = work(QStringLiteral("new-logo.img"));
    const QByteArray logoBytes = QByteArray("LOGO customer logo\n").leftJustified(8192, '\0');
    QVERIFY(WriteFile(logo, logoBytes));
    // An APK of a name the package has already.
    const QString weather = work(QStringLiteral("replacement/Weather.apk"));
    QVERIFY(WriteFile(weather, ReadFile(testData("Plain.apk"))));

    const Run run = cli({"edit",
                         m_sample,
                         "-o",
                         output,
                         "--add-system",
                         testData("NativeDemo.apk"),
                         "--overwrite-libs",
                         "yes",
                         "--add-data",
                         testData("Plain.apk"),
                         "--delete",
                         "Music.apk",
                         "--delete",
                         "system/priv-app/Settings/Settings.apk",
                         "--replace",
                         "logo.img=" + logo,
                         "--add-data",
                         weather,
                         "--log",
                         log});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(run.out, QByteArray());
    // The duplicated library was asked about and answered from the option;
    // no progress is drawn when standard error is not a terminal.
    QVERIFY2(run.err.contains(Msg::OverwriteQuestion("Weather.apk").toUtf8() + " yes"),
             run.err.constData());
    QVERIFY(!run.err.contains('\r'));
    // The open's and the save's successes say nothing: the questions answered
    // and the ABI left out of the add are all there is.
    for (const QByteArray& line : run.err.split('\n'))
        QVERIFY2(line.isEmpty() || line.endsWith(" yes") || line.endsWith(" no") ||
                     line.startsWith("corvane-cli: wrote ") ||
                     line == "corvane-cli: warning: NativeDemo.apk: native libraries for "
                             "arm64-v8a left out (the device's ABIs: armeabi-v7a,armeabi)",
                 run.err.constData());
    QCOMPARE(QDir(work(QStringLiteral("out")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"changes.log", "custom.zip"}));

    const QMap<QString, QByteArray> members = ReadZip(output);
    QVERIFY(!members.isEmpty());
    QVERIFY(members.contains("system/app/NativeDemo/NativeDemo.apk"));
    QVERIFY(members.contains("userdata/app/Plain/Plain.apk"));
    // Of the library built for two ABIs, the one of the device's ABI is added.
    QVERIFY(!members.contains("system/lib/libdeep.so"));
    QVERIFY2(members.value("system/lib/libdemo.so").contains("libdemo.so for armeabi-v7a"),
             members.value("system/lib/libdemo.so").constData());
    QVERIFY(!members.contains("system/app/Music.apk"));
    for (auto it = members.cbegin(); it != members.cend(); ++it)
        QVERIFY2(!it.key().startsWith("system/priv-app/Settings/"), qPrintable(it.key()));
    QVERIFY(members.contains("system/priv-app/Launcher.apk"));
    QCOMPARE(members.value("logo.img"), logoBytes);
    // The data partition's APK is copied as it is; the system one is re-signed.
    QCOMPARE(members.value("userdata/app/Plain/Plain.apk"), ReadFile(testData("Plain.apk")));
    QCOMPARE(members.value("userdata/app/Weather.apk"), ReadFile(testData("Plain.apk")));

    // The added system APK carries the platform certificate.
    const QString apk = work(QStringLiteral("NativeDemo-from-output.apk"));
    QVERIFY(WriteFile(apk, members.value("system/app/NativeDemo/NativeDemo.apk")));
    const QByteArray platform = certificateDigest(bundleFile("Config/platform.x509.pem"));
    QVERIFY(!platform.isEmpty());
    const Run apksigner = RunProgram(QStringLiteral("apksigner"), {"verify", "--print-certs", apk});
    QVERIFY2(apksigner.exitCode == 0, apksigner.err.constData());
    QVERIFY2(apksigner.out.contains("certificate SHA-256 digest: " + platform),
             apksigner.out.constData());

    // The whole-file signature: the comment holds a PKCS#7 block that signs
    // the file up to the comment-length field.
    const QByteArray file = ReadFile(output);
    QVERIFY(file.size() > 22);
    const auto le16 = [&](qsizetype at) {
        return int(quint8(file.at(at))) | (int(quint8(file.at(at + 1))) << 8);
    };
    const qsizetype size = file.size();
    const int commentLength = le16(size - 2);
    const int signatureStart = le16(size - 6);
    QCOMPARE(le16(size - 4), 0xffff);
    QVERIFY(signatureStart > 6 && signatureStart <= commentLength);
    const QString signedPart = work(QStringLiteral("signed-part.bin"));
    const QString signature = work(QStringLiteral("signature.der"));
    const QString signer = work(QStringLiteral("signer.pem"));
    QVERIFY(WriteFile(signedPart, file.left(size - commentLength - 2)));
    QVERIFY(WriteFile(signature, file.mid(size - signatureStart, signatureStart - 6)));
    const Run cms =
        RunProgram(QStringLiteral("openssl"),
                   {"cms", "-verify", "-binary", "-inform", "DER", "-noverify", "-in", signature,
                    "-content", signedPart, "-out", "/dev/null", "-certsout", signer});
    QVERIFY2(cms.exitCode == 0, cms.err.constData());
    QCOMPARE(certificateDigest(signer), certificateDigest(bundleFile("Config/testkey.x509.pem")));
    // A changed byte in the signed range breaks it.
    QByteArray tampered = file.left(size - commentLength - 2);
    tampered[100] = char(tampered.at(100) ^ 1);
    QVERIFY(WriteFile(signedPart, tampered));
    QVERIFY(RunProgram(QStringLiteral("openssl"),
                       {"cms", "-verify", "-binary", "-inform", "DER", "-noverify", "-in",
                        signature, "-content", signedPart, "-out", "/dev/null"})
                .exitCode != 0);

    // The change log: one CRLF line a change, in the order given, with the
    // places written as paths of the package (the workspace is gone).
    const QList<QByteArray> lines = ReadFile(log).split('\n');
    const QList<QByteArray> expected{
        ": ADD \"" + testData("NativeDemo.apk").toUtf8() + "\" to \"system/app\"\r",
        ": ADD \"" + testData("Plain.apk").toUtf8() + "\" to \"userdata/app\"\r",
        ": DELETE \"system/app/Music.apk\"\r",
        ": DELETE \"system/priv-app/Settings/Settings.apk\"\r",
        ": REPLACE \"logo.img\" with \"" + logo.toUtf8() + "\"\r",
        ": ADD \"" + weather.toUtf8() + "\" to \"userdata/app\"\r",
        ""};
    QCOMPARE(lines.size(), expected.size());
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        // "yyyy-mm-dd hh:mm:ss" first.
        QVERIFY2(lines.at(i).size() > 19 && lines.at(i).at(4) == '-' && lines.at(i).at(13) == ':',
                 lines.at(i).constData());
        QCOMPARE(lines.at(i).mid(19), expected.at(i));
    }
}

// Keys set, changed and removed in system/build.prop, its other lines as
// they were; the package written from the input in one pass.
// The same package, edits and keys give the same bytes whatever the thread
// count or the files' times; SOURCE_DATE_EPOCH dates what the edit writes.
void TestCli::sameEditGivesTheSameBytes() {
    const QString logo = work(QStringLiteral("same-logo.img"));
    QVERIFY(WriteFile(logo, QByteArray("LOGO the same logo\n").repeated(4000)));
    const auto edit = [&](const QString& output, const QByteArray& threads, const QDateTime& when,
                          const QByteArray& epoch) {
        QFile touched(logo);
        if (!touched.open(QIODevice::ReadWrite) ||
            !touched.setFileTime(when, QFileDevice::FileModificationTime))
            return QByteArray("cannot set the time of " + logo.toUtf8());
        touched.close();
        QProcessEnvironment environment = this->environment();
        environment.insert(QStringLiteral("CORVANE_THREADS"), QString::fromLatin1(threads));
        if (epoch.isEmpty())
            environment.remove(QStringLiteral("SOURCE_DATE_EPOCH"));
        else
            environment.insert(QStringLiteral("SOURCE_DATE_EPOCH"), QString::fromLatin1(epoch));
        const Run run =
            RunProgram(bundleFile(QStringLiteral("corvane-cli")),
                       {"edit", m_sample, "-o", output, "--add-system", testData("NativeDemo.apk"),
                        "--overwrite-libs", "yes", "--replace", "logo.img=" + logo, "--set-prop",
                        "ro.customer=acme"},
                       environment);
        return run.exitCode == 0 ? QByteArray() : run.err;
    };
    const QString one = work(QStringLiteral("out/one-thread.zip"));
    const QString four = work(QStringLiteral("out/four-threads.zip"));
    QByteArray failure = edit(one, "1", QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5)), {});
    QVERIFY2(failure.isEmpty(), failure.constData());
    failure = edit(four, "4", QDateTime(QDate(2022, 6, 7), QTime(8, 9, 10)), {});
    QVERIFY2(failure.isEmpty(), failure.constData());
    QVERIFY(ReadFile(one) == ReadFile(four));

    // 2023-11-14 22:13:20 UTC.
    const QString dated = work(QStringLiteral("out/dated.zip"));
    failure = edit(dated, "2", QDateTime(QDate(2021, 1, 1), QTime(0, 0)), "1700000000");
    QVERIFY2(failure.isEmpty(), failure.constData());
    UniqueFd fd = OpenUniqueFd(dated, O_RDONLY);
    ZipDirectory directory;
    QString error;
    QVERIFY2(ReadZipDirectory(fd.get(), &directory, &error), qPrintable(error));
    int written = 0;
    for (const ZipCentralEntry& entry : directory.entries) {
        const QString name = QString::fromUtf8(entry.rawName);
        if (name != "logo.img" && name != "system/build.prop" && !name.endsWith("/NativeDemo.apk"))
            continue;
        ++written;
        QCOMPARE(int(entry.dosDate), (43 << 9) | (11 << 5) | 14);
        QCOMPARE(int(entry.dosTime), (22 << 11) | (13 << 5) | 10);
    }
    QCOMPARE(written, 3);
}

void TestCli::customerPropertiesAreEditedInOnePass() {
    const QString output = work(QStringLiteral("out/custom.zip"));
    const Run run = cli({"edit", m_sample, "-o", output, "--delete", "Music.apk", "--set-prop",
                         "ro.build.id=CUSTOM1", "--set-prop", "ro.customer=acme", "--unset-prop",
                         "ro.build.display.id", "--set-prop", "ro.empty="});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const auto before = ReadZip(m_sample);
    const auto after = ReadZip(output);
    const QByteArray expected = ApplyBuildPropEdits(before.value("system/build.prop"),
                                                    {{"ro.build.id", QString("CUSTOM1")},
                                                     {"ro.customer", QString("acme")},
                                                     {"ro.build.display.id", std::nullopt},
                                                     {"ro.empty", QString("")}});
    QCOMPARE(after.value("system/build.prop"), expected);
    QVERIFY(expected.contains("\nro.build.id=CUSTOM1\n"));
    QVERIFY(expected.endsWith("ro.customer=acme\nro.empty=\n"));
    QVERIFY(!after.contains("system/app/Music.apk"));
    QVERIFY(after.contains("META-INF/com/android/otacert"));
    // Nothing else changed.
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (it.key() != "system/build.prop" && it.key() != "system/app/Music.apk" &&
            !it.key().endsWith('/') && !it.key().startsWith("META-INF/com/android/otacert"))
            QCOMPARE(after.value(it.key()), it.value());
    }
    // cleanup() checks that no workspace is left.
}

// --package-key: the certificate in DER and the key in PEM, as a customer
// may hand them over; the bundle's keys are not touched.
void TestCli::customersKeySignsThePackage() {
    const QString config = bundleFile(QStringLiteral("Config"));
    const QString certificate = work(QStringLiteral("customer/cert.der"));
    const QString key = work(QStringLiteral("customer/key.pem"));
    QVERIFY(QDir().mkpath(work(QStringLiteral("customer"))));
    QVERIFY(RunProgram("openssl", {"x509", "-in", config + "/testkey.x509.pem", "-outform", "DER",
                                   "-out", certificate})
                .exitCode == 0);
    QVERIFY(RunProgram("openssl", {"pkcs8", "-inform", "DER", "-nocrypt", "-in",
                                   config + "/testkey.pk8", "-out", key})
                .exitCode == 0);
    const QByteArray configBefore = ReadFile(config + "/testkey.pk8");
    const QString output = work(QStringLiteral("out/custom.zip"));
    const Run run = cli({"edit", m_sample, "-o", output, "--package-key", certificate, key,
                         "--set-prop", "ro.customer=acme"});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(VerifySignedPackage(output, config + "/testkey.x509.pem").cause(), QString());
    QCOMPARE(ReadZip(output).value("META-INF/com/android/otacert"), ReadFile(certificate));
    QCOMPARE(ReadFile(config + "/testkey.pk8"), configBefore);

    // A key that is not the certificate's fails before anything is written.
    QVERIFY(QFile::remove(output));
    const Run wrong = cli({"edit", m_sample, "-o", output, "--package-key", certificate,
                           config + "/platform.pk8", "--dry-run"});
    QCOMPARE(wrong.exitCode, 1);
    QVERIFY2(wrong.err.contains("does not belong to the certificate"), wrong.err.constData());
    QVERIFY(!QFileInfo::exists(output));
}

// The sample's build.prop names armeabi-v7a and armeabi; its Karaoke.apk has
// libkaraoke.so for armeabi-v7a and arm64-v8a.
void TestCli::addedLibrariesFollowTheDevicesAbis_data() {
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("libraries"); // "member=ABI" of the output
    QTest::addColumn<QByteArray>("warning");    // the line about the ABIs left out; none if empty
    const QString karaoke = bundleFile(QStringLiteral("samples/add/Karaoke.apk"));
    QTest::newRow("build.prop's ABIs: the 64-bit library left out")
        << QStringList{"--add-system", karaoke} << 0
        << QStringList{"system/lib/libkaraoke.so=armeabi-v7a"}
        << QByteArray("Karaoke.apk: native libraries for arm64-v8a left out (the device's ABIs: "
                      "armeabi-v7a,armeabi)");
    QTest::newRow("--abi of both bitnesses")
        << QStringList{"--abi", "arm64-v8a,armeabi-v7a", "--add-system", karaoke} << 0
        << QStringList{"system/lib/libkaraoke.so=armeabi-v7a",
                       "system/lib64/libkaraoke.so=arm64-v8a"}
        << QByteArray();
    QTest::newRow("--abi of 64 bits only")
        << QStringList{"--add-system", karaoke, "--abi", "arm64-v8a"} << 0
        << QStringList{"system/lib64/libkaraoke.so=arm64-v8a"}
        << QByteArray("Karaoke.apk: native libraries for armeabi-v7a left out (the device's "
                      "ABIs: arm64-v8a)");
    QTest::newRow("an ABI list set before the add")
        << QStringList{"--set-prop", "ro.product.cpu.abilist=arm64-v8a,armeabi-v7a", "--add-system",
                       karaoke}
        << 0
        << QStringList{"system/lib/libkaraoke.so=armeabi-v7a",
                       "system/lib64/libkaraoke.so=arm64-v8a"}
        << QByteArray();
    // With no ABI known the libraries are flattened: the two meet on one
    // name, and the question is answered no.
    QTest::newRow("no ABI known") << QStringList{"--unset-prop", "ro.product.cpu.abi",
                                                 "--unset-prop", "ro.product.cpu.abi2",
                                                 "--add-system", karaoke}
                                  << 1 << QStringList{} << QByteArray();
    QTest::newRow("a library already in the package, not to be overwritten")
        << QStringList{"--add-system", karaoke, "--add-priv", karaoke} << 1 << QStringList{}
        << QByteArray();
    QTest::newRow("a library already in the package, overwritten")
        << QStringList{"--add-system", karaoke, "--add-priv", karaoke, "--overwrite-libs", "yes"}
        << 0 << QStringList{"system/lib/libkaraoke.so=armeabi-v7a"}
        << QByteArray("Karaoke.apk: native libraries for arm64-v8a left out (the device's ABIs: "
                      "armeabi-v7a,armeabi)");
}

void TestCli::addedLibrariesFollowTheDevicesAbis() {
    QFETCH(QStringList, edits);
    QFETCH(int, exitCode);
    QFETCH(QStringList, libraries);
    QFETCH(QByteArray, warning);
    const QString output = work(QStringLiteral("out/custom.zip"));
    const Run run = cli(QStringList{"edit", m_sample, "-o", output} + edits);
    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    if (exitCode != 0) {
        QVERIFY2(run.err.contains(Msg::OverwriteQuestion("libkaraoke.so").toUtf8() + " no"),
                 run.err.constData());
        QVERIFY(!QFileInfo::exists(output));
        return;
    }
    const QByteArray warningLine = "corvane-cli: warning: " + warning + '\n';
    QVERIFY2(warning.isEmpty() ? !run.err.contains("warning:") : run.err.contains(warningLine),
             run.err.constData());
    const QMap<QString, QByteArray> members = ReadZip(output);
    QStringList found;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (!it.key().endsWith("/libkaraoke.so"))
            continue;
        const bool v7a = it.value().contains("libkaraoke.so for armeabi-v7a");
        const bool v8a = it.value().contains("libkaraoke.so for arm64-v8a");
        found << it.key() + QLatin1Char('=') +
                     (v7a   ? QStringLiteral("armeabi-v7a")
                      : v8a ? QStringLiteral("arm64-v8a")
                            : QStringLiteral("?"));
    }
    QCOMPARE(found, libraries);
}

// --add-priv: into system/priv-app (the sample's layout: a directory of its
// own), re-signed with the platform key or the customer's pair given with
// --platform-key, logged as an add to priv-app.
void TestCli::privAppAddIsSignedWithThePlatformKey_data() {
    QTest::addColumn<QStringList>("keyPair"); // "certificate", "key" in the customer folder
    QTest::addColumn<QString>("signer");      // the certificate expected; empty: the run fails
    const QString platform = bundleFile(QStringLiteral("Config/platform.x509.pem"));
    QTest::newRow("the bundle's platform key") << QStringList{} << platform;
    QTest::newRow("a customer's pair, certificate in DER")
        << QStringList{"cert.der", "key.pem"} << "cert.pem";
    QTest::newRow("a key that is not the certificate's")
        << QStringList{"cert.pem", bundleFile(QStringLiteral("Config/platform.pk8"))} << "";
}

void TestCli::privAppAddIsSignedWithThePlatformKey() {
    QFETCH(QStringList, keyPair);
    QFETCH(QString, signer);
    const QString customer = work(QStringLiteral("customer-platform"));
    if (!QFileInfo::exists(customer + "/cert.der")) {
        QVERIFY(QDir().mkpath(customer));
        QVERIFY(RunProgram("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                       customer + "/key.pem", "-out", customer + "/cert.pem",
                                       "-subj", "/CN=Customer platform", "-days", "1"})
                    .exitCode == 0);
        QVERIFY(RunProgram("openssl", {"x509", "-in", customer + "/cert.pem", "-outform", "DER",
                                       "-out", customer + "/cert.der"})
                    .exitCode == 0);
    }
    const auto inCustomer = [&](const QString& name) {
        return QFileInfo(name).isAbsolute() ? name : customer + QLatin1Char('/') + name;
    };
    const QString output = work(QStringLiteral("out/custom.zip"));
    const QString log = work(QStringLiteral("out/changes.log"));
    QStringList arguments{
        "edit",  m_sample, "-o",           output, "--add-priv", testData("Plain.apk"),
        "--log", log,      "--log-format", "utf8"};
    if (!keyPair.isEmpty())
        arguments << "--platform-key" << inCustomer(keyPair.at(0)) << inCustomer(keyPair.at(1));
    const Run run = cli(arguments);
    if (signer.isEmpty()) {
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.startsWith("corvane-cli: error: --platform-key: ") &&
                     run.err.count('\n') == 1,
                 run.err.constData());
        QVERIFY(!QFileInfo::exists(output));
        return;
    }
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QVERIFY2(run.err.contains("add " + testData("Plain.apk").toUtf8() + " to system/priv-app"),
             run.err.constData());
    const QMap<QString, QByteArray> members = ReadZip(output);
    QVERIFY(!members.contains("system/app/Plain/Plain.apk"));
    const QByteArray added = members.value("system/priv-app/Plain/Plain.apk");
    QVERIFY(!added.isEmpty());
    QVERIFY(added != ReadFile(testData("Plain.apk")));
    const QString apk = work(QStringLiteral("Plain-from-output.apk"));
    QVERIFY(WriteFile(apk, added));
    const QByteArray expected = certificateDigest(inCustomer(signer));
    QVERIFY(!expected.isEmpty());
    const Run apksigner = RunProgram(QStringLiteral("apksigner"), {"verify", "--print-certs", apk});
    QVERIFY2(apksigner.exitCode == 0, apksigner.err.constData());
    QVERIFY2(apksigner.out.contains("certificate SHA-256 digest: " + expected),
             apksigner.out.constData());
    QVERIFY2(ReadFile(log).contains("\" to \"system/priv-app\""), ReadFile(log).constData());
}

void TestCli::dryRunPrintsThePlanAndWritesNothing_data() {
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("said"); // on stdout when it succeeds, else on stderr
    QTest::newRow("every kind of edit")
        << QStringList{"--delete",   "Music.apk",           "--replace",    "logo.img=" + m_sample,
                       "--set-prop", "ro.customer=acme",    "--unset-prop", "ro.build.id",
                       "--add-data", testData("Plain.apk"), "--add-priv",   testData("Plain.apk")}
        << 0
        << QByteArray("delete system/app/Music.apk\nreplace logo.img with " + m_sample.toUtf8() +
                      "\nset ro.customer=acme in system/build.prop\nunset ro.build.id in "
                      "system/build.prop\nadd " +
                      testData("Plain.apk").toUtf8() +
                      " to userdata/app\n  as userdata/app/Plain/Plain.apk\nadd " +
                      testData("Plain.apk").toUtf8() +
                      " to system/priv-app\n  as system/priv-app/Plain/Plain.apk\n");
    // Where an added APK's libraries go, by the device's ABIs.
    QTest::newRow("an APK with native libraries")
        << QStringList{"--abi", "arm64-v8a,armeabi-v7a", "--add-system",
                       bundleFile(QStringLiteral("samples/add/Karaoke.apk"))}
        << 0
        << QByteArray("add " + bundleFile(QStringLiteral("samples/add/Karaoke.apk")).toUtf8() +
                      " to system/app\n  as system/app/Karaoke/Karaoke.apk\n  with "
                      "system/lib64/libkaraoke.so\n  with system/lib/libkaraoke.so\n");
    QTest::newRow("an APK that is not there")
        << QStringList{"--set-prop", "ro.customer=acme", "--delete", "Nothing.apk"} << 1
        << QByteArray("no APK named \"Nothing.apk\"");
    QTest::newRow("a key to remove that is not there")
        << QStringList{"--unset-prop", "ro.prodcut.brand"} << 1
        << QByteArray("--unset-prop ro.prodcut.brand: no such key in system/build.prop");
    QTest::newRow("a key to remove that an earlier edit removed")
        << QStringList{"--unset-prop", "ro.build.id", "--unset-prop", "ro.build.id"} << 1
        << QByteArray("--unset-prop ro.build.id: no such key");
    QTest::newRow("a replacement that is not there")
        << QStringList{"--replace", "logo.img=" + work(QStringLiteral("no such image"))} << 1
        << QByteArray("is not a file");
}

void TestCli::dryRunPrintsThePlanAndWritesNothing() {
    QFETCH(QStringList, edits);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, said);
    const QString output = work(QStringLiteral("out/custom.zip"));
    const Run run = cli(QStringList{"edit", m_sample, "-o", output, "--dry-run"} + edits);
    QCOMPARE(run.exitCode, exitCode);
    if (exitCode == 0) {
        QVERIFY2(run.out.startsWith(said), run.out.constData());
        QCOMPARE(run.err, QByteArray());
    } else {
        QVERIFY2(run.err.startsWith("corvane-cli: error: ") && run.err.contains(said) &&
                     run.err.count('\n') == 1,
                 run.err.constData());
    }
    QCOMPARE(QDir(work(QStringLiteral("out")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void TestCli::deletedOrReplacedApkTakesItsOdex() {
    // A flat Android 4.4 package with odex files: the device would run a
    // stale odex instead of the new APK's code, or of none.
    const QByteArray apk = ReadFile(testData("Plain.apk"));
    const QString package = work(QStringLiteral("odex.zip"));
    QVERIFY(WriteZip(package, {{"system/build.prop", "ro.build.version.release=4.4\n"},
                               {"system/app/Music.apk", apk},
                               {"system/app/Music.odex", "music odex"},
                               {"system/app/Other.odex", "other odex"},
                               {"userdata/app/Music.apk", apk},
                               {"userdata/app/Music.odex", "data odex"}}));
    QDir().mkpath(work(QStringLiteral("newer")));
    const QString newer = work(QStringLiteral("newer/Music.apk"));
    QFile::remove(newer);
    QVERIFY(QFile::copy(testData("Plain.apk"), newer));
    const QString output = work(QStringLiteral("out/odex.zip"));
    const QStringList edit{"edit",       package, "-o", output, "--delete", "system/app/Music.apk",
                           "--add-data", newer};
    const Run plan = cli(edit + QStringList{"--dry-run"});
    QCOMPARE(plan.exitCode, 0);
    QVERIFY2(plan.out.contains("delete system/app/Music.apk\ndelete system/app/Music.odex\n"),
             plan.out.constData());
    QVERIFY2(plan.out.contains("  as userdata/app/Music.apk\ndelete userdata/app/Music.odex\n"),
             plan.out.constData());

    const Run run = cli(edit);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.contains("delete system/app/Music.odex") &&
                 run.err.contains("delete userdata/app/Music.odex"),
             run.err.constData());
    const QStringList members = ZipMemberNames(output);
    QVERIFY2(!members.contains("system/app/Music.odex") &&
                 !members.contains("userdata/app/Music.odex") &&
                 !members.contains("system/app/Music.apk"),
             qPrintable(members.join(' ')));
    QVERIFY(members.contains("system/app/Other.odex"));
    QVERIFY(members.contains("userdata/app/Music.apk"));
}

void TestCli::inputThatIsNoRegularFileIsRefusedUnopened_data() {
    QTest::addColumn<QStringList>("arguments"); // FIFO stands for the FIFO's path
    QTest::addColumn<int>("exitCode");
    const QString out = work(QStringLiteral("out/new.zip"));
    const QString config = bundleFile(QStringLiteral("Config"));
    QTest::newRow("edit's package") << QStringList{"edit", "FIFO", "-o", out} << 1;
    QTest::newRow("an APK to add")
        << QStringList{"edit", m_sample, "-o", out, "--add-data", "FIFO"} << 1;
    QTest::newRow("the package key") << QStringList{"edit",
                                                    m_sample,
                                                    "-o",
                                                    out,
                                                    "--package-key",
                                                    "FIFO",
                                                    config + "/testkey.pk8"}
                                     << 1;
    QTest::newRow("the platform key")
        << QStringList{"edit", m_sample, "-o", out, "--platform-key", config + "/platform.x509.pem",
                       "FIFO"}
        << 1;
    QTest::newRow("info's package") << QStringList{"info", "FIFO"} << 1;
    QTest::newRow("diff's second package") << QStringList{"diff", m_sample, "FIFO"} << 2;
}

void TestCli::inputThatIsNoRegularFileIsRefusedUnopened() {
    // Opening a FIFO for reading blocks until a writer comes: the run would
    // hang, deaf to SIGINT and SIGTERM.
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    const QString fifo = work(QStringLiteral("a fifo"));
    QFile::remove(fifo);
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    arguments.replaceInStrings(QStringLiteral("FIFO"), fifo);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(QStringLiteral("\"%1\" is not a regular file").arg(fifo).toUtf8()),
             run.err.constData());
    QCOMPARE(QDir(work(QStringLiteral("out")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void TestCli::dryRunRefusesTheSystemApksTheRunRefuses_data() {
    QTest::addColumn<QByteArray>("apk");
    QList<RawZipEntry> plain;
    const QMap<QString, QByteArray> members = ReadZip(testData("Plain.apk"));
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (!it.key().startsWith("META-INF/"))
            plain.append(RawZipEntry{it.key().toUtf8(), it.value()});
    }
    QVERIFY(!plain.isEmpty());
    // The offsets of the first entry's local header fields and of its
    // central directory record (found by its signature).
    const auto patched = [&](int localField, int centralField, quint16 value) {
        QByteArray bytes = BuildRawZip(plain);
        const qsizetype central = bytes.indexOf(QByteArray("PK\x01\x02", 4));
        for (const qsizetype at : {qsizetype(localField), central + centralField}) {
            if (at < 0)
                continue;
            bytes[at] = char(value & 0xFF);
            bytes[at + 1] = char(value >> 8);
        }
        return bytes;
    };
    QList<RawZipEntry> twice = plain;
    twice.append(plain.first());
    QTest::newRow("a member twice") << BuildRawZip(twice);
    QTest::newRow("compression method 12") << patched(8, 10, 12);
    // The local header's CRC-32 (its low half) disagrees with the data.
    QTest::newRow("a bad local CRC-32") << patched(14, -1000000, 0x1234);
    QList<RawZipEntry> garbage = plain;
    garbage.prepend(RawZipEntry{"META-INF/MANIFEST.MF", QByteArray("\x01\xff not a manifest")});
    QTest::newRow("a garbage MANIFEST.MF") << BuildRawZip(garbage);
}

void TestCli::dryRunRefusesTheSystemApksTheRunRefuses() {
    // A dry run that passes promises a real run that passes.
    QFETCH(QByteArray, apk);
    const QString file = work(QStringLiteral("Refused.apk"));
    QVERIFY(WriteFile(file, apk));
    const QString output = work(QStringLiteral("out/refused.zip"));
    const QStringList edit{"edit", m_sample, "-o", output, "--add-system", file};
    const Run real = cli(edit);
    QCOMPARE(real.exitCode, 1);
    const Run dry = cli(edit + QStringList{"--dry-run"});
    QCOMPARE(dry.exitCode, 1);
    QCOMPARE(dry.out, QByteArray());
    QVERIFY2(dry.err.startsWith("corvane-cli: error: --add-system "), dry.err.constData());
    QVERIFY(!QFile::exists(output));
}

void TestCli::argumentFileWithBlanksAndNonAscii() {
    // A customisation kept as a file, in a directory whose name has blanks and
    // non-ASCII characters, naming files of the same kind.
    const QString folder = work(QStringLiteral("Kunde Müller 客户"));
    QVERIFY(QDir().mkpath(folder));
    const QString apk = folder + QStringLiteral("/Plain.apk");
    QFile::remove(apk);
    QVERIFY(QFile::copy(testData("Plain.apk"), apk));
    const QString logo = folder + QStringLiteral("/Logo für Kunde.img");
    QVERIFY(WriteFile(logo, "LOGO Müller"));
    const QString output = work(QStringLiteral("out/Ausgabe 客户.zip"));
    const QString arguments = folder + QStringLiteral("/edit args ä.txt");
    const QString text = QStringLiteral("# Customer build\r\n"
                                        "edit\r\n"
                                        "%1\r\n"
                                        "\r\n"
                                        "-o\n"
                                        "%2\n"
                                        "   \n"
                                        "# the customer's own APK\n"
                                        "--add-data\n"
                                        "%3\n"
                                        "--replace\r\n"
                                        "logo.img=%4\r\n")
                             .arg(m_sample, output, apk, logo);
    QVERIFY(WriteFile(arguments, text.toUtf8()));

    const QString log = work(QStringLiteral("out/changes.log"));
    const Run run = cli({"@" + arguments, "--delete", "Weather.apk", "--log", log});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    // The log names the files in code page 936.
    const QByteArray logText = ReadFile(log);
    QVERIFY2(
        logText.contains(": REPLACE \"logo.img\" with \"" + m_work.path().toUtf8() +
                         "/Kunde M\xa8\xb9ller \xbf\xcd\xbb\xa7/Logo f\xa8\xb9r Kunde.img\"\r\n"),
        logText.constData());
    const QMap<QString, QByteArray> members = ReadZip(output);
    QCOMPARE(members.value("userdata/app/Plain/Plain.apk"), ReadFile(testData("Plain.apk")));
    QCOMPARE(members.value("logo.img"), QByteArray("LOGO Müller"));
    QVERIFY(!members.contains("userdata/app/Weather.apk"));
    QVERIFY(members.contains("userdata/app/Radio/Radio.apk"));
}

void TestCli::failedEditLeavesTheOutputAlone_data() {
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<bool>("outputExisted");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("delete of no APK")
        << QStringList{"--delete", "Nothing.apk"} << false
        << QByteArray("corvane-cli: error: --delete Nothing.apk: no APK named \"Nothing.apk\" in "
                      "system/app, system/priv-app or userdata/app\n");
    QTest::newRow("delete of no APK, output kept")
        << QStringList{"--add-data", testData("Plain.apk"), "--delete", "Nothing.apk"} << true
        << QByteArray("--delete Nothing.apk: no APK named \"Nothing.apk\"");
    QTest::newRow("delete of a name two APKs have")
        << QStringList{"--add-system", testData("Plain.apk"),
                       "--add-data",   testData("Plain.apk"),
                       "--delete",     "Plain.apk"}
        << true
        << QByteArray("\"Plain.apk\" names more than one APK: system/app/Plain/Plain.apk, "
                      "userdata/app/Plain/Plain.apk");
    QTest::newRow("library overwrite declined by default")
        << QStringList{"--add-system", testData("NativeDemo.apk"), "--add-priv",
                       testData("NativeDemo.apk")}
        << true << Msg::OverwriteQuestion("libdemo.so").toUtf8() + " no";
    QTest::newRow("not an APK file") << QStringList{"--add-data", work(QStringLiteral("Plain.bin"))}
                                     << false << Msg::NotApkContinue("Plain.bin").toUtf8() + " no";
    QTest::newRow("missing replacement")
        << QStringList{"--replace", "boot.img=" + work(QStringLiteral("no-boot.img"))} << true
        << QByteArray("--replace boot.img=");
    QTest::newRow("log in a missing directory")
        << QStringList{"--delete", "Music.apk", "--log", work(QStringLiteral("gone/changes.log"))}
        << true << QByteArray("the directory of \"" + work("gone/changes.log").toUtf8());
    // Checked before the work: the output is not replaced first.
    QTest::newRow("log that is a folder")
        << QStringList{"--delete", "Music.apk", "--log", work(QStringLiteral("logs"))} << true
        << QByteArray(work("logs").toUtf8());
}

void TestCli::failedEditLeavesTheOutputAlone() {
    QFETCH(QStringList, edits);
    QFETCH(bool, outputExisted);
    QFETCH(QByteArray, message);
    QFile::remove(work(QStringLiteral("Plain.bin")));
    QVERIFY(QDir().mkpath(work(QStringLiteral("logs"))));
    QVERIFY(QFile::copy(testData("Plain.apk"), work(QStringLiteral("Plain.bin"))));
    const QString output = work(QStringLiteral("out/customer.zip"));
    const QByteArray previous("the previous build");
    if (outputExisted)
        QVERIFY(WriteFile(output, previous));

    // A log beside the output, unless the row names its own: none is written.
    QStringList arguments{"edit", m_sample, "-o", output};
    if (!edits.contains(QStringLiteral("--log")))
        arguments << QStringLiteral("--log") << work(QStringLiteral("out/changes.log"));
    const Run run = cli(arguments + edits);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("corvane-cli: ") && run.err.contains(message), run.err.constData());
    // One line for the failure, the last one, without the window's text.
    const QList<QByteArray> errors = errorLines(run.err);
    QVERIFY2(errors.size() == 1 && run.err.endsWith(errors.first() + '\n'), run.err.constData());
    QVERIFY2(!run.err.contains("Failed!"), run.err.constData());
    QCOMPARE(run.out, QByteArray());
    // Nothing new beside the output, and the output as it was.
    const QStringList expected =
        outputExisted ? QStringList{QStringLiteral("customer.zip")} : QStringList{};
    QCOMPARE(QDir(work(QStringLiteral("out")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             expected);
    if (outputExisted)
        QCOMPARE(ReadFile(output), previous);
}

void TestCli::brokenSignerLeavesTheOutputAlone_data() {
    // The package is signed in-process with the bundle's test key pair.
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("damaged test key") << QByteArray("not a PKCS#8 key");
    QTest::newRow("key of another certificate") << QByteArray("platform");
}

void TestCli::brokenSignerLeavesTheOutputAlone() {
    QFETCH(QByteArray, key);
    TestBundle bundle;
    QVERIFY(bundle.isValid());
    const QString program = copyCliInto(bundle);
    QVERIFY(!program.isEmpty());
    const QString testKey = bundle.file(QStringLiteral("Config/testkey.pk8"));
    QVERIFY(QFile::remove(testKey));
    if (key == "platform")
        QVERIFY(QFile::copy(bundle.file(QStringLiteral("Config/platform.pk8")), testKey));
    else
        QVERIFY(WriteFile(testKey, key));
    const QString output = work(QStringLiteral("out/customer.zip"));
    QVERIFY(WriteFile(output, "the previous build"));

    const Run run = cli({"edit", m_sample, "-o", output, "--replace", "boot.img=" + m_sample,
                         "--log", work(QStringLiteral("out/changes.log"))},
                        program);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.startsWith("corvane-cli: error: cannot save \"" + output.toUtf8() + "\": ") &&
                 run.err.count('\n') == 1,
             run.err.constData());
    QVERIFY2(!run.err.contains(Msg::SignFailed().toUtf8().trimmed()), run.err.constData());
    QCOMPARE(ReadFile(output), QByteArray("the previous build"));
    QCOMPARE(QDir(work(QStringLiteral("out")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("customer.zip")});
}

// A run stopped while it writes: a signal ends it with 130 and its
// temporaries removed; a kill leaves them, and the next run for that output
// removes them. The output is never there.
void TestCli::interruptedRunLeavesNoOutput_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

void TestCli::interruptedRunLeavesNoOutput() {
    QFETCH(int, signal);
    // An image large and compressible enough to keep the copy busy for a
    // while (it is deflated, and read twice).
    const QString image = work(QStringLiteral("large-boot.img"));
    if (!QFileInfo::exists(image)) {
        QByteArray text;
        for (int line = 0; text.size() < (8 << 20); ++line)
            text += "line " + QByteArray::number(line) + " of a large compressible image\n";
        QFile file(image);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 24; ++i)
            QVERIFY(file.write(text) == text.size());
    }
    const QString output = work(QStringLiteral("out/customer.zip"));
    const auto temporaries = [&] {
        return QDir(work(QStringLiteral("out")))
            .entryList({".customer.zip.*.corvane-part"}, QDir::Files | QDir::Hidden);
    };
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(bundleFile(QStringLiteral("corvane-cli")),
                  {"edit", m_sample, "-o", output, "--replace", "boot.img=" + image});
    QVERIFY(process.waitForStarted(-1));
    QTRY_VERIFY_WITH_TIMEOUT(!temporaries().isEmpty(), 60000);
    ::kill(static_cast<pid_t>(process.processId()), signal);
    QVERIFY(process.waitForFinished(60000));
    QVERIFY(!QFileInfo::exists(output));
    if (signal != SIGKILL) {
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(err.endsWith("corvane-cli: error: interrupted\n") && errorLines(err).size() == 1,
                 err.constData());
        QCOMPARE(temporaries(), QStringList());
        return;
    }
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QVERIFY(!temporaries().isEmpty());
    const Run run = cli({"edit", m_sample, "-o", output, "--delete", "Music.apk"});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QCOMPARE(temporaries(), QStringList());
    QVERIFY(QFileInfo::exists(output));
}

void TestCli::abandonedWorkspaceIsRemovedOnlyWhenItsOwnerIsGone_data() {
    // A workspace as a run leaves it: its lock file "free" (its run is gone),
    // "held" (its run lives) or "none" (the run was killed before it locked);
    // its creator's process id in its name "gone", "alive" or "unnamed" (an
    // older name); the age of the directory; "link": a link named like a
    // workspace, to a directory elsewhere.
    QTest::addColumn<QString>("lock");
    QTest::addColumn<QString>("creator");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("link");
    QTest::addColumn<bool>("removed");
    QTest::newRow("lock that can be taken, its pid in use again") << "free"
                                                                  << "alive" << 0 << false << true;
    QTest::newRow("lock held by a live run") << "held"
                                             << "alive" << 7200 << false << false;
    QTest::newRow("no lock, creator gone, past its first minute") << "none"
                                                                  << "gone" << 120 << false << true;
    QTest::newRow("no lock, creator gone, in its first minute") << "none"
                                                                << "gone" << 0 << false << false;
    QTest::newRow("no lock, creator alive, within the hour") << "none"
                                                             << "alive" << 1800 << false << false;
    QTest::newRow("no lock, older than an hour") << "none"
                                                 << "alive" << 7200 << false << true;
    QTest::newRow("no lock, no creator in its name, older than an hour")
        << "none"
        << "unnamed" << 7200 << false << true;
    QTest::newRow("a link named like a workspace") << "free"
                                                   << "gone" << 7200 << true << false;
}

void TestCli::abandonedWorkspaceIsRemovedOnlyWhenItsOwnerIsGone() {
    QFETCH(QString, lock);
    QFETCH(QString, creator);
    QFETCH(int, ageSeconds);
    QFETCH(bool, link);
    QFETCH(bool, removed);

    qint64 pid = QCoreApplication::applicationPid();
    if (creator == "gone") {
        QProcess ended;
        ended.start(QStringLiteral("true"), QStringList());
        QVERIFY(ended.waitForStarted(-1));
        pid = ended.processId();
        QVERIFY(ended.waitForFinished(-1));
        QVERIFY(ProcessGone(pid));
    }
    const QString name = creator == "unnamed" ? QStringLiteral("corvane-cli-Ab3dE9")
                                              : QStringLiteral("corvane-cli-%1-Xy7kQ2").arg(pid);
    const QString workspace = m_tmp + QLatin1Char('/') + name;
    const QString directory = link ? work(QStringLiteral("elsewhere")) : workspace;
    const QString bundleFiles = work(QStringLiteral("bundle files"));
    // What is kept goes at the end, as its owner would remove it (raw names
    // and all), and so does a failed test's.
    const auto removeAll = qScopeGuard([&] {
        RunProgram(QStringLiteral("rm"),
                   {QStringLiteral("-rf"), workspace, directory, bundleFiles});
    });
    QVERIFY(QDir().mkpath(directory));
    if (link)
        QVERIFY(QFile::link(directory, workspace));
    // What the tools' links lead to is never touched.
    QVERIFY(WriteFile(bundleFiles + "/Config/7za", "the bundle's tool"));
    QVERIFY(QDir().mkpath(bundleFiles + "/jre"));
    QVERIFY(QFile::link(bundleFiles + "/Config", directory + "/Config"));
    QVERIFY(QFile::link(bundleFiles + "/jre", directory + "/jre"));
    // A tree as 7-Zip unpacks it, a name in code page 936 among its names.
    QVERIFY(WriteFile(directory + "/srctemp/system/build.prop", "ro.build.version.release=9\n"));
    const QByteArray rawName =
        QFile::encodeName(directory + "/srctemp/system") + "/\xc3\xbd\xcc\xe5.txt";
    const int raw = ::open(rawName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    QVERIFY(raw >= 0);
    ::close(raw);
    int held = -1;
    if (lock != "none") {
        QVERIFY(WriteFile(directory + "/owner.lock", ""));
        if (lock == "held") {
            held = ::open(QFile::encodeName(directory + "/owner.lock").constData(),
                          O_RDONLY | O_CLOEXEC);
            QVERIFY(held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0);
        }
    }
    const struct timespec times[2] = {{std::time(nullptr) - ageSeconds, 0},
                                      {std::time(nullptr) - ageSeconds, 0}};
    QCOMPARE(
        ::utimensat(AT_FDCWD, QFile::encodeName(workspace).constData(), times, AT_SYMLINK_NOFOLLOW),
        0);

    const Run run = cli(
        {"edit", m_sample, "-o", work(QStringLiteral("out/next.zip")), "--delete", "Music.apk"});
    if (held >= 0)
        ::close(held);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(!run.err.contains("warning"), run.err.constData());
    struct stat info {};
    QCOMPARE(::lstat(QFile::encodeName(workspace).constData(), &info) == 0, !removed);
    QCOMPARE(ReadFile(bundleFiles + "/Config/7za"), QByteArray("the bundle's tool"));
    QVERIFY(QFileInfo(bundleFiles + "/jre").isDir());
    if (link)
        QCOMPARE(::lstat(rawName.constData(), &info), 0);
}

void TestCli::namesNotInUtf8LeaveNoWorkspaceBehind() {
    // A package made on Unix with a name in code page 936 and no UTF-8 flag:
    // 7-Zip unpacks that name as its raw bytes.
    QList<RawZipEntry> entries;
    const QMap<QString, QByteArray> sample = ReadZip(m_sample);
    QVERIFY(!sample.isEmpty());
    for (auto it = sample.cbegin(); it != sample.cend(); ++it)
        entries.append(RawZipEntry{it.key().toUtf8(), it.value()});
    entries.append(RawZipEntry{QByteArray("system/\xc3\xbd\xcc\xe5.txt"), "gbk"});
    const QString package = work(QStringLiteral("cp936.zip"));
    QFile archive(package);
    QVERIFY(archive.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(archive.write(BuildRawZip(entries)) > 0);
    archive.close();

    const Run run = cli({"edit", package, "-o", work(QStringLiteral("out/cp936-out.zip")),
                         "--delete", "Music.apk"});
    QVERIFY2(!run.err.contains("cannot remove the workspace"), run.err.constData());
    // The save refuses the name the device could not read; the workspace
    // with that name in its tree is removed all the same.
    QVERIFY2(run.exitCode == 1 && run.err.contains("is not UTF-8"), run.err.constData());
    // cleanup() checks that no workspace is left.
}

void TestCli::progressOnlyOnATerminal() {
    // script(1) gives the run a terminal; what it wrote there comes back on
    // script's standard output.
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1) is not installed");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), m_tmp);
    const QString output = work(QStringLiteral("out/terminal.zip"));
    const QString command = QStringLiteral("'%1' edit '%2' -o '%3' --replace 'boot.img=%2'")
                                .arg(bundleFile(QStringLiteral("corvane-cli")), m_sample, output);
    const Run run = RunProgram(script, {"-q", "-e", "-c", command, "/dev/null"}, environment);
    QVERIFY2(run.exitCode == 0, run.out.constData());
    QVERIFY2(run.out.contains("%"), run.out.constData());
    QVERIFY2(run.out.contains("\rSigning files"), run.out.constData());
    // The last progress line is blanked out again at its end, before the
    // summary line.
    const qsizetype summary = run.out.lastIndexOf("corvane-cli: wrote ");
    QVERIFY2(summary > 0, run.out.constData());
    const QByteArray progress = run.out.left(summary);
    QVERIFY2(progress.endsWith('\r'), run.out.constData());
    const qsizetype last = progress.lastIndexOf('\r');
    const qsizetype before = progress.lastIndexOf('\r', last - 1);
    QVERIFY(before >= 0 && last - before > 1);
    QCOMPARE(progress.mid(before + 1, last - before - 1).trimmed(), QByteArray());
    QVERIFY(QFileInfo(output).isFile());
}

void TestCli::readmeExampleRunsAsWritten() {
    // The shell block of the README's command-line section, run as it is
    // written from a directory that holds build/bundle: the executable
    // linked (it finds its tools and keys where the link leads) and a copy of
    // the samples, which receives the output.
    const QByteArray readme = ReadFile(QStringLiteral(CORVANE_TEST_SOURCE_DIR "/../README.md"));
    const qsizetype section = readme.indexOf("\n## Command line\n");
    QVERIFY(section >= 0);
    const qsizetype start = readme.indexOf("\n```sh\n", section);
    const qsizetype end = readme.indexOf("\n```\n", start + 1);
    QVERIFY(start > section && end > start && readme.indexOf("\n## ", section + 1) > end);
    const QByteArray block = readme.mid(start + 7, end - start - 6);
    QVERIFY2(block.contains("corvane-cli edit") && block.contains("corvane-cli info") &&
                 block.contains("corvane-cli diff"),
             block.constData());

    const QString root = work(QStringLiteral("readme"));
    QDir(root).removeRecursively();
    const QString bundle = root + QStringLiteral("/build/bundle");
    QVERIFY(QDir().mkpath(bundle));
    QVERIFY(QFile::link(bundleFile(QStringLiteral("corvane-cli")), bundle + "/corvane-cli"));
    const Run copied = RunProgram(QStringLiteral("cp"), {"-r", bundleFile("samples"), bundle});
    QCOMPARE(copied.exitCode, 0);

    QProcess shell;
    shell.setProcessEnvironment(environment());
    shell.setWorkingDirectory(root);
    shell.setStandardInputFile(QProcess::nullDevice());
    shell.start(QStringLiteral("sh"),
                {QStringLiteral("-e"), QStringLiteral("-c"), QString::fromUtf8(block)});
    QVERIFY(shell.waitForStarted(-1) && shell.waitForFinished(600000));
    const QByteArray out = shell.readAllStandardOutput();
    const QByteArray err = shell.readAllStandardError();
    QVERIFY2(shell.exitStatus() == QProcess::NormalExit && shell.exitCode() == 0, err.constData());
    QVERIFY2(out.startsWith("Package: "), out.constData());
    QVERIFY2(out.contains("  added    system/app/Karaoke/Karaoke.apk") &&
                 out.contains("  removed  system/app/Music.apk") &&
                 out.contains("  changed  logo.img"),
             out.constData());
    QVERIFY(QFileInfo(bundle + "/samples/customer.zip").isFile());
}

void TestCli::successEndsWithOneSummaryLine_data() {
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QString>("verbosity");
    QTest::addColumn<QString>("summary"); // its changes; empty: no summary
    QTest::addColumn<bool>("steps");
    const QStringList remove{"--delete", "Music.apk"};
    QTest::newRow("one pass") << remove << ""
                              << "delete system/app/Music.apk" << false;
    QTest::newRow("one pass, -q") << remove << "-q"
                                  << "" << false;
    QTest::newRow("one pass, -v") << remove << "-v"
                                  << "delete system/app/Music.apk" << true;
    QTest::newRow("no edit") << QStringList() << ""
                             << "no change" << false;
    QTest::newRow("with an add") << QStringList{"--add-data", bundleFile("samples/add/Karaoke.apk")}
                                 << ""
                                 << "add " + bundleFile("samples/add/Karaoke.apk") +
                                        " to userdata/app"
                                 << false;
}

void TestCli::successEndsWithOneSummaryLine() {
    QFETCH(QStringList, edits);
    QFETCH(QString, verbosity);
    QFETCH(QString, summary);
    QFETCH(bool, steps);
    const QString output = work(QStringLiteral("summary.zip"));
    QStringList arguments{"edit", m_sample, "-o", output};
    arguments << edits;
    if (!verbosity.isEmpty())
        arguments << verbosity;
    const Run run = cli(arguments);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QList<QByteArray> lines = run.err.split('\n');
    lines.removeAll(QByteArray());
    QList<QByteArray> wrote;
    for (const QByteArray& line : lines)
        if (line.startsWith("corvane-cli: wrote "))
            wrote << line;
    if (summary.isEmpty()) {
        QVERIFY2(wrote.isEmpty(), run.err.constData());
        return;
    }
    QCOMPARE(wrote.size(), 1);
    QCOMPARE(lines.last(), wrote.first());
    const QString expected = QStringLiteral("corvane-cli: wrote %1 (%2 bytes): %3")
                                 .arg(output)
                                 .arg(QFileInfo(output).size())
                                 .arg(summary);
    QCOMPARE(QString::fromUtf8(wrote.first()), expected);
    QCOMPARE(lines.size() > 1, steps);
}

// A block-based package carries its system partition as an image: an edit
// inside an image that does not decode or check clean is refused naming the
// image member, before anything is written; the data partition is still
// edited.
void TestCli::imagePackageRefusesSystemEdits_data() {
    QTest::addColumn<QStringList>("images");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QStringList>("edit");
    QTest::addColumn<QByteArray>("label");
    const struct {
        const char* name;
        QStringList images;
        const char* form;
    } forms[] = {
        {"new.dat.br",
         {"system.new.dat.br", "system.transfer.list", "system.patch.dat"},
         "system.new.dat.br with system.transfer.list"},
        {"new.dat",
         {"system.new.dat", "system.transfer.list", "system.patch.dat"},
         "system.new.dat with system.transfer.list"},
        {"img", {"system.img"}, "system.img"},
    };
    const struct {
        const char* name;
        QStringList edit;
        const char* label;
    } edits[] = {
        {"add-system", {"--add-system", testData("Plain.apk")}, "--add-system "},
        {"add-priv", {"--add-priv", testData("Plain.apk")}, "--add-priv "},
        {"delete of a system APK", {"--delete", "Settings.apk"}, "--delete Settings.apk"},
        {"set-prop", {"--set-prop", "ro.product.brand=Customer"}, "--set-prop "},
        {"unset-prop", {"--unset-prop", "ro.product.brand"}, "--unset-prop "},
    };
    for (const auto& form : forms)
        for (const auto& edit : edits)
            QTest::addRow("%s, %s", form.name, edit.name)
                << form.images << QString::fromLatin1(form.form) << edit.edit
                << QByteArray(edit.label);
}

void TestCli::imagePackageRefusesSystemEdits() {
    QFETCH(QStringList, images);
    QFETCH(QString, form);
    QFETCH(QStringList, edit);
    QFETCH(QByteArray, label);
    Q_UNUSED(form);
    // A tiny block-based package: the partition's image members (not a real
    // image: the refusal reads only their names), the data partition in files.
    QList<QPair<QString, QByteArray>> members{
        {"META-INF/com/google/android/updater-script",
         "block_image_update(\"/dev/block/system\", package_extract_file(\"system.transfer."
         "list\"), \"system.new.dat.br\", \"system.patch.dat\");\n"},
        {"boot.img", "ANDROID! kernel"},
        {"userdata/app/Weather.apk", ReadFile(testData("Plain.apk"))}};
    for (const QString& image : images)
        members.append({image, image == "system.transfer.list"
                                   ? QByteArray("4\n1\n0\n0\nnew 2,0,1\n")
                                   : QByteArray("image bytes")});
    const QString package = work(QStringLiteral("block.zip"));
    QVERIFY(WriteZip(package, members));
    const QString output = work(QStringLiteral("out/customer.zip"));

    for (const bool dryRun : {false, true}) {
        QStringList arguments = QStringList{"edit", package, "-o", output} + edit;
        if (dryRun)
            arguments << QStringLiteral("--dry-run");
        const Run run = cli(arguments);
        QCOMPARE(run.exitCode, 1);
        const QByteArray expected = "corvane-cli: error: " + label;
        QVERIFY2(run.err.startsWith(expected) &&
                     run.err.contains(": " + images.first().toUtf8() + ": "),
                 run.err.constData());
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(QDir(work(QStringLiteral("out")))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
    }
    // The data partition is files: its edits go on.
    const Run data = cli({"edit", package, "-o", output, "--add-data", testData("Foo.apk"),
                          "--delete", "Weather.apk"});
    QVERIFY2(data.exitCode == 0, data.err.constData());
    const QMap<QString, QByteArray> written = ReadZip(output);
    QVERIFY(written.contains("userdata/app/Foo.apk"));
    QVERIFY(!written.contains("userdata/app/Weather.apk"));
    for (const QString& image : images)
        QVERIFY(written.contains(image));
}

// A package whose system partition is a raw ext4 image: delete, add (its
// library in the app's own folder, Android 6 and later) and a property are
// made inside the image; the written image checks clean, the new files are
// 0:0, 0644/0755 and labelled from the image's file_contexts, a file not
// touched keeps its inode and label.
void TestCli::imagePackageIsEditedInsideTheImage_data() {
    QTest::addColumn<bool>("sparse");
    QTest::addRow("raw system.img") << false;
    QTest::addRow("sparse system.img") << true;
}

void TestCli::imagePackageIsEditedInsideTheImage() {
    QFETCH(bool, sparse);
    const auto tool = [](const QString& name) {
        const QString found = QStandardPaths::findExecutable(name);
        return found.isEmpty() ? QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"})
                               : found;
    };
    const QString tree = work(QStringLiteral("image-tree"));
    QDir(tree).removeRecursively();
    for (const char* member : {"system/app/Browser/Browser.apk", "system/build.prop"}) {
        const Run unzip = RunProgram(QStringLiteral("unzip"), {"-p", m_sample, member});
        QCOMPARE(unzip.exitCode, 0);
        QByteArray bytes = unzip.out;
        if (QByteArray(member).endsWith("build.prop"))
            bytes.replace("ro.build.version.release=5.1.1", "ro.build.version.release=9");
        const QString path = tree + QLatin1Char('/') + QString::fromLatin1(member).mid(7);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(WriteFile(path, bytes));
    }
    QVERIFY(WriteFile(tree + "/priv-app/Old/Old.apk", ReadFile(testData("Plain.apk"))));
    QVERIFY(WriteFile(tree + "/etc/selinux/plat_file_contexts",
                      "/system(/.*)?\tu:object_r:system_file:s0\n"));
    const QString image = work(QStringLiteral("system.img"));
    QFile::remove(image);
    QCOMPARE(RunProgram(tool("mke2fs"),
                        {"-q", "-F", "-t", "ext4", "-b", "4096", "-d", tree, image, "8M"})
                 .exitCode,
             0);
    const QString label = QStringLiteral("u:object_r:system_file:s0");
    QCOMPARE(
        RunProgram(tool("debugfs"),
                   {"-w", "-R", "ea_set /app/Browser/Browser.apk security.selinux " + label, image})
            .exitCode,
        0);
    const auto debugfs = [&](const QString& file, const QString& request) {
        return RunProgram(tool("debugfs"), {"-R", request, file}).out;
    };
    const QByteArray browserBefore = debugfs(image, "stat /app/Browser/Browser.apk");
    const QString package = work(QStringLiteral("image.zip"));
    QString member = image;
    if (sparse) {
        member = work(QStringLiteral("system.sparse"));
        QFile::remove(member);
        QCOMPARE(RunProgram(QStringLiteral("img2simg"), {image, member}).exitCode, 0);
    }
    QVERIFY(WriteZip(package, {{"system.img", ReadFile(member)}}));
    const QString output = work(QStringLiteral("out/customer.zip"));
    const QString karaoke = bundleFile(QStringLiteral("samples/add/Karaoke.apk"));
    const QStringList edits{"--delete", "Old.apk",    "--add-system",
                            karaoke,    "--set-prop", "ro.product.brand=Customer",
                            "--abi",    "armeabi-v7a"};

    const Run plan = cli(QStringList{"edit", package, "-o", output, "--dry-run"} + edits);
    QVERIFY2(plan.exitCode == 0, plan.err.constData());
    for (const char* line :
         {"delete system/priv-app/Old in system.img", "  as system/app/Karaoke/Karaoke.apk",
          "  with system/app/Karaoke/lib/arm/libkaraoke.so",
          "set ro.product.brand=Customer in build.prop in system.img",
          "write system.img from the edited image"})
        QVERIFY2(plan.out.contains(line), plan.out.constData());
    QVERIFY(!QFileInfo::exists(output));

    const Run run = cli(QStringList{"edit", package, "-o", output} + edits);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QString written = work(QStringLiteral("written.img"));
    QVERIFY(WriteFile(written, ReadZip(output).value("system.img")));
    if (sparse) {
        // Written sparse again; Android's own reader expands it.
        QVERIFY(ReadFile(written).startsWith(QByteArray::fromHex("3aff26ed")));
        const QString expanded = work(QStringLiteral("written.raw"));
        QFile::remove(expanded);
        QCOMPARE(RunProgram(QStringLiteral("simg2img"), {written, expanded}).exitCode, 0);
        QVERIFY(QFile::remove(written) && QFile::rename(expanded, written));
    }
    QCOMPARE(RunProgram(tool("e2fsck"), {"-fn", written}).exitCode, 0);
    QVERIFY(debugfs(written, "stat /priv-app/Old").contains("File not found") ||
            RunProgram(tool("debugfs"), {"-R", "stat /priv-app/Old", written})
                .err.contains("File not found"));
    for (const char* path :
         {"/app/Karaoke", "/app/Karaoke/Karaoke.apk", "/app/Karaoke/lib/arm/libkaraoke.so"}) {
        const QByteArray stat = debugfs(written, QStringLiteral("stat ") + path);
        const bool folder = !QByteArray(path).contains('.');
        QVERIFY2(stat.contains(folder ? "Mode:  0755" : "Mode:  0644"), stat.constData());
        QVERIFY2(stat.contains("User:     0   Group:     0"), stat.constData());
        QVERIFY2(debugfs(written, QStringLiteral("ea_get %1 security.selinux").arg(path))
                     .contains(label.toUtf8()),
                 path);
    }
    QVERIFY(debugfs(written, "cat /build.prop").contains("ro.product.brand=Customer\n"));
    // Not touched: the same inode, owner, mode and label.
    QCOMPARE(debugfs(written, "stat /app/Browser/Browser.apk").left(200), browserBefore.left(200));
    QVERIFY(debugfs(written, "ea_get /app/Browser/Browser.apk security.selinux")
                .contains(label.toUtf8()));
}

// Warnings that fail nothing: a boot or recovery image without the boot
// header's magic, an APK whose minSdk is above the package's SDK level; an
// image the package lacks is added, and the plan says so.
void TestCli::questionableAddsAndReplacementsWarn_data() {
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QStringList>("planLines"); // each in the dry run's plan
    QTest::addColumn<QByteArray>("warning");    // empty: none
    const QString boot = work(QStringLiteral("boot-new.img"));
    QVERIFY(WriteFile(boot, "ANDROID!new kernel"));
    const QString karaoke = bundleFile(QStringLiteral("samples/add/Karaoke.apk"));
    QTest::newRow("a boot image") << QStringList{"--replace", "boot.img=" + boot}
                                  << QStringList{"replace boot.img with " + boot} << QByteArray();
    QTest::newRow("an APK as the boot image")
        << QStringList{"--replace", "boot.img=" + testData("Plain.apk")}
        << QStringList{"replace boot.img with " + testData("Plain.apk")}
        << QByteArray("corvane-cli: warning: --replace boot.img=" + testData("Plain.apk").toUtf8() +
                      ": not an Android boot image (no ANDROID! header): the device may not "
                      "boot it\n");
    QTest::newRow("an APK as the recovery image")
        << QStringList{"--replace", "recovery.img=" + testData("Plain.apk")}
        << QStringList{"replace recovery.img with " + testData("Plain.apk")}
        << QByteArray("recovery.img=" + testData("Plain.apk").toUtf8() +
                      ": not an Android boot image");
    QTest::newRow("an APK its Android can install")
        << QStringList{"--add-data", karaoke} << QStringList{"add " + karaoke + " to userdata/app"}
        << QByteArray();
    // Karaoke needs SDK 21; the package set to 19 before the add.
    QTest::newRow("an APK for a later Android")
        << QStringList{"--set-prop", "ro.build.version.sdk=19", "--add-data", karaoke}
        << QStringList{"add " + karaoke + " to userdata/app"}
        << QByteArray("corvane-cli: warning: Karaoke.apk: its minSdk is 21, above the package's "
                      "SDK level 19: the device will refuse to install it\n");
}

void TestCli::questionableAddsAndReplacementsWarn() {
    QFETCH(QStringList, edits);
    QFETCH(QStringList, planLines);
    QFETCH(QByteArray, warning);
    const QString output = work(QStringLiteral("out/customer.zip"));
    const Run run = cli(QStringList{"edit", m_sample, "-o", output, "--dry-run"} + edits);
    QCOMPARE(run.exitCode, 0);
    for (const QString& line : planLines)
        QVERIFY2(run.out.contains(line.toUtf8() + '\n'), run.out.constData());
    if (warning.isEmpty())
        QVERIFY2(!run.err.contains("warning"), run.err.constData());
    else
        QVERIFY2(run.err.contains(warning), run.err.constData());

    // A package without the image: the plan adds it.
    const QString noRecovery = work(QStringLiteral("no-recovery.zip"));
    QVERIFY(WriteZip(noRecovery, {{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                                  {"boot.img", "ANDROID!"}}));
    const QString recovery = work(QStringLiteral("recovery-new.img"));
    QVERIFY(WriteFile(recovery, "ANDROID!recovery"));
    const Run added = cli(
        {"edit", noRecovery, "-o", output, "--dry-run", "--replace", "recovery.img=" + recovery});
    QCOMPARE(added.exitCode, 0);
    QVERIFY2(added.out.contains("add recovery.img from " + recovery.toUtf8() + "\n"),
             added.out.constData());
}

// edit --json: the result as one JSON object on standard output (the output,
// its size and digest, what changed); a failure as the error object.
void TestCli::editJsonPrintsTheResult() {
    const QString output = work(QStringLiteral("out/customer.zip"));
    const Run run = cli({"edit", m_sample, "-o", output, "--json", "--delete", "Music.apk",
                         "--set-prop", "ro.product.brand=Customer"});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    QJsonParseError parsed;
    const QJsonObject object = QJsonDocument::fromJson(run.out, &parsed).object();
    QCOMPARE(parsed.error, QJsonParseError::NoError);
    QCOMPARE(object.value("schema").toInt(), 1);
    QCOMPARE(object.value("output").toString(), output);
    QCOMPARE(object.value("size").toInteger(), QFileInfo(output).size());
    QCOMPARE(object.value("sha256").toString().toLatin1(), sha256(ReadFile(output)).toHex());
    const QJsonArray changes = object.value("changes").toArray();
    QCOMPARE(changes.size(), 2);
    QVERIFY(changes.at(0).toString().startsWith("delete system/app/Music.apk"));
    QVERIFY(changes.at(1).toString().startsWith("set ro.product.brand=Customer"));

    const Run failed =
        cli({"edit", m_sample, "-o", work("out/other.zip"), "--json", "--delete", "Nothing.apk"});
    QCOMPARE(failed.exitCode, 1);
    const QJsonObject error = QJsonDocument::fromJson(failed.out).object();
    QVERIFY2(error.value("error").toString().startsWith("--delete Nothing.apk: no APK named"),
             failed.out.constData());
    QVERIFY(!QFileInfo::exists(work("out/other.zip")));
}

// A folder the output cannot be written in is named as the cause, before
// anything is copied (not the first temporary the copy would make there).
void TestCli::unwritableOutputFolderIsNamed() {
    QString folder = work(QStringLiteral("read-only"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(work(QStringLiteral("read-only")), QFileDevice::ReadOwner |
                                                                     QFileDevice::WriteOwner |
                                                                     QFileDevice::ExeOwner);
    });
    // Root writes in any folder: /proc refuses it a new file.
    if (::geteuid() == 0)
        folder = QStringLiteral("/proc");
    const Run run = cli({"edit", m_sample, "-o", folder + "/customer.zip", "--delete", "Music.apk",
                         "--set-prop", "ro.product.brand=Customer"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.startsWith("corvane-cli: error: cannot write \"" + folder.toUtf8() +
                                "/customer.zip\": the folder \"" + folder.toUtf8() +
                                "\" cannot be written: "),
             run.err.constData());
    QVERIFY2(!run.err.contains("build.prop"), run.err.constData());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_Cli.moc"
