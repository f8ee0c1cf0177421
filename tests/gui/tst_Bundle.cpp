// The bundle the build lays out (tools, keys, sample package), the APK
// fixtures of the tests, and the script that makes the links and keys.
#include "core/crypto/WholeFileSignature.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kBundle = QStringLiteral(CORVANE_BUNDLE_DIR);
const QString kTestData = QStringLiteral(CORVANE_TESTDATA_DIR);
const QString kLayoutScript =
    QStringLiteral(CORVANE_TEST_SOURCE_DIR) + QStringLiteral("/../scripts/layout-bundle.sh");
const QString kKeptKeys = QStringLiteral(CORVANE_TEST_SOURCE_DIR) + QStringLiteral("/../data/keys");
const char* const kKeyFiles[] = {"platform.x509.pem", "platform.pk8", "testkey.x509.pem",
                                 "testkey.pk8"};

struct RunResult {
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
};

RunResult Execute(const QString& program, const QStringList& arguments,
                  const QString& workingDirectory = QString()) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    RunResult result;
    result.finished = process.waitForFinished(120000);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = process.readAll();
    return result;
}

// The system's signapk, a peer that checks the bundle's keys and samples:
// java -jar signapk.jar [-w] CERT KEY IN OUT, run in Config so that the key
// files are found by name.
RunResult Sign(const QString& input, const QString& output, bool platformKey) {
    QStringList arguments{QStringLiteral("-jar"), QStringLiteral("/usr/share/signapk/signapk.jar")};
    if (platformKey)
        arguments << QStringLiteral("platform.x509.pem") << QStringLiteral("platform.pk8");
    else
        arguments << QStringLiteral("-w") << QStringLiteral("testkey.x509.pem")
                  << QStringLiteral("testkey.pk8");
    arguments << input << output;
    return Execute(QStringLiteral("java"), arguments, kBundle + QStringLiteral("/Config"));
}

QStringList WithPrefix(const QStringList& names, const QString& prefix) {
    QStringList found;
    for (const QString& name : names)
        if (name.startsWith(prefix))
            found << name;
    return found;
}

} // namespace

class TestBundleLayout : public QObject {
    Q_OBJECT
private slots:
    void tools_data();
    void tools();
    void noJavaOrSigningTool();
    void keyPairs_data();
    void keyPairs();

    void samplePackageMembers_data();
    void samplePackageMembers();
    void samplePackageContents();
    void sampleApksHaveManifests();

    void fixtures();

    void signApk_data();
    void signApk();
    void signWholePackage();

    void layoutCopiesTheKeptKeysOnly();
    void layoutReplacesKeysEarlierBuildsMade();
    void layoutKeepsWhatTheUserPutThere();
};

void TestBundleLayout::tools_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("executable");
    QTest::newRow("executable") << "Corvane" << true;
}

void TestBundleLayout::tools() {
    QFETCH(QString, path);
    QFETCH(bool, executable);
    const QFileInfo info(kBundle + QLatin1Char('/') + path);
    QVERIFY2(info.isFile(), qPrintable(info.filePath()));
    if (executable)
        QVERIFY(info.isExecutable());
}

// The program signs in-process: the bundle carries no Java runtime and no
// signing jar.
void TestBundleLayout::noJavaOrSigningTool() {
    QVERIFY(!QFileInfo(kBundle + "/jre").exists());
    QVERIFY(!QFileInfo(kBundle + "/jre").isSymLink());
    QVERIFY(!QFileInfo(kBundle + "/Config/signapk.jar").exists());
    QVERIFY(!QFileInfo(kBundle + "/Config/signapk.jar").isSymLink());
}

void TestBundleLayout::keyPairs_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("platform") << "platform";
    QTest::newRow("testkey") << "testkey";
}

// RSA 2048, a PEM certificate and an unencrypted PKCS#8 DER key that belong
// together.
void TestBundleLayout::keyPairs() {
    QFETCH(QString, name);
    const QString cert = kBundle + QStringLiteral("/Config/") + name + QStringLiteral(".x509.pem");
    const QString key = kBundle + QStringLiteral("/Config/") + name + QStringLiteral(".pk8");
    QVERIFY(ReadFile(cert).startsWith("-----BEGIN CERTIFICATE-----"));

    const RunResult text =
        Execute(QStringLiteral("openssl"), {QStringLiteral("x509"), QStringLiteral("-in"), cert,
                                            QStringLiteral("-noout"), QStringLiteral("-text")});
    QCOMPARE(text.exitCode, 0);
    QVERIFY(text.output.contains("rsaEncryption"));
    QVERIFY(text.output.contains("(2048 bit)"));

    const RunResult certKey =
        Execute(QStringLiteral("openssl"), {QStringLiteral("x509"), QStringLiteral("-in"), cert,
                                            QStringLiteral("-noout"), QStringLiteral("-pubkey")});
    const RunResult privateKey =
        Execute(QStringLiteral("openssl"),
                {QStringLiteral("pkcs8"), QStringLiteral("-nocrypt"), QStringLiteral("-inform"),
                 QStringLiteral("DER"), QStringLiteral("-in"), key, QStringLiteral("-out"),
                 QStringLiteral("/dev/null")});
    QCOMPARE(privateKey.exitCode, 0);
    const RunResult keyPublic =
        Execute(QStringLiteral("openssl"),
                {QStringLiteral("pkey"), QStringLiteral("-inform"), QStringLiteral("DER"),
                 QStringLiteral("-in"), key, QStringLiteral("-pubout")});
    QCOMPARE(certKey.exitCode, 0);
    QCOMPARE(keyPublic.exitCode, 0);
    QCOMPARE(keyPublic.output, certKey.output);
}

void TestBundleLayout::samplePackageMembers_data() {
    QTest::addColumn<QString>("member");
    for (const char* name :
         {"system/build.prop", "system/app/Music.apk", "system/app/Browser/Browser.apk",
          "system/priv-app/Settings/Settings.apk", "system/priv-app/Launcher.apk",
          "userdata/app/Weather.apk", "userdata/app/Radio/Radio.apk", "system/lib/libvendor_hal.so",
          "system/media/bootanimation.zip", "system/usr/keylayout/Vendor_0001_Product_0001.kl",
          "system/etc/key.xml", "logo.img", "fastplay.img", "bootargs.img", "baseparam.img",
          "boot.img", "fastboot.img", "recovery.img", "pq_param.img"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestBundleLayout::samplePackageMembers() {
    QFETCH(QString, member);
    const QMap<QString, QByteArray> members = ReadZip(TestBundle::samplePackage());
    QVERIFY(!members.isEmpty());
    QVERIFY2(members.contains(member), qPrintable(member));
    QVERIFY(!members.value(member).isEmpty());
}

void TestBundleLayout::samplePackageContents() {
    const QMap<QString, QByteArray> members = ReadZip(TestBundle::samplePackage());
    QVERIFY(members.value("system/build.prop").contains("\nro.build.version.release=5.1.1\n"));

    // The boot animation is an archive of its own.
    QTemporaryDir dir;
    const QString animation = dir.filePath("bootanimation.zip");
    QVERIFY(WriteFile(animation, members.value("system/media/bootanimation.zip")));
    const QStringList frames = ZipMemberNames(animation);
    QVERIFY(frames.contains("desc.txt"));
    QVERIFY(!WithPrefix(frames, "frames/").isEmpty());

    // Some APKs carry native libraries for more than one ABI.
    QVERIFY(WriteFile(dir.filePath("LiveTV.apk"), members.value("system/app/LiveTV/LiveTV.apk")));
    const QStringList libs = WithPrefix(ZipMemberNames(dir.filePath("LiveTV.apk")), "lib/");
    QVERIFY(libs.contains("lib/armeabi-v7a/libtvplayer.so"));
    QVERIFY(libs.contains("lib/arm64-v8a/libtvplayer.so"));
}

void TestBundleLayout::sampleApksHaveManifests() {
    const QMap<QString, QByteArray> members = ReadZip(TestBundle::samplePackage());
    QTemporaryDir dir;
    int apks = 0;
    QStringList samples;
    for (auto it = members.cbegin(); it != members.cend(); ++it) {
        if (!it.key().endsWith(".apk"))
            continue;
        ++apks;
        const QString apk = dir.filePath(QString::number(apks) + ".apk");
        QVERIFY(WriteFile(apk, it.value()));
        // A compiled manifest starts with the binary XML chunk type 0x0003.
        const QByteArray manifest = ReadZip(apk).value("AndroidManifest.xml");
        QVERIFY2(manifest.startsWith(QByteArray("\x03\x00\x08\x00", 4)), qPrintable(it.key()));
        samples << apk;
    }
    QVERIFY(apks >= 7);
    samples << kBundle + "/samples/add/Karaoke.apk" << kBundle + "/samples/add/Notes.apk";
    // Each says its version and SDK levels, as aapt reads them.
    const QRegularExpression facts(
        QStringLiteral("versionCode='[1-9][0-9]*' versionName='[^']+'.*\nsdkVersion:'[1-9][0-9]*'"
                       "\ntargetSdkVersion:'[1-9][0-9]*'"),
        QRegularExpression::DotMatchesEverythingOption);
    for (const QString& apk : samples) {
        const RunResult badging = Execute("aapt", {"dump", "badging", apk});
        QCOMPARE(badging.exitCode, 0);
        QVERIFY2(QString::fromUtf8(badging.output).contains(facts), badging.output.constData());
    }
}

void TestBundleLayout::fixtures() {
    const QMap<QString, QByteArray> plain = ReadZip(kTestData + "/Plain.apk");
    QVERIFY(plain.contains("AndroidManifest.xml"));
    QVERIFY(WithPrefix(plain.keys(), "lib/").isEmpty());

    const QMap<QString, QByteArray> native = ReadZip(kTestData + "/NativeDemo.apk");
    QVERIFY(native.contains("AndroidManifest.xml"));
    const QStringList libs = WithPrefix(native.keys(), "lib/");
    QCOMPARE(libs, QStringList({"lib/arm64-v8a/deep/libdeep.so", "lib/arm64-v8a/libdemo.so",
                                "lib/armeabi-v7a/libdemo.so"}));
    QVERIFY(native.value("lib/arm64-v8a/libdemo.so") != native.value("lib/armeabi-v7a/libdemo.so"));

    const QMap<QString, QByteArray> noManifest = ReadZip(kTestData + "/NoManifest.apk");
    QVERIFY(!noManifest.isEmpty());
    QVERIFY(!noManifest.contains("AndroidManifest.xml"));

    QVERIFY(ReadZip(kTestData + "/Foo.apk").contains("AndroidManifest.xml"));
}

void TestBundleLayout::signApk_data() {
    QTest::addColumn<QString>("apk");
    QTest::addColumn<bool>("signable");
    QTest::newRow("plain") << "Plain.apk" << true;
    QTest::newRow("native libraries") << "NativeDemo.apk" << true;
    QTest::newRow("foo") << "Foo.apk" << true;
    QTest::newRow("no manifest") << "NoManifest.apk" << false;
}

void TestBundleLayout::signApk() {
    QFETCH(QString, apk);
    QFETCH(bool, signable);
    QTemporaryDir dir;
    const QString output = dir.filePath("signed dir/out.apk");
    QVERIFY(QDir().mkpath(dir.filePath("signed dir")));
    const RunResult result = Sign(kTestData + QLatin1Char('/') + apk, output, true);
    QVERIFY(result.finished);
    if (!signable) {
        QVERIFY(result.exitCode != 0);
        // The tool may leave an empty output behind; it is never a signed APK.
        QVERIFY(!ReadZip(output).contains("META-INF/MANIFEST.MF"));
        return;
    }
    QVERIFY2(result.exitCode == 0, result.output.constData());
    const QMap<QString, QByteArray> signedApk = ReadZip(output);
    QVERIFY(signedApk.contains("META-INF/MANIFEST.MF"));
    QVERIFY(signedApk.contains("META-INF/CERT.RSA"));
    const QMap<QString, QByteArray> original = ReadZip(kTestData + QLatin1Char('/') + apk);
    for (auto it = original.cbegin(); it != original.cend(); ++it)
        QCOMPARE(signedApk.value(it.key()), it.value());
}

void TestBundleLayout::signWholePackage() {
    QTemporaryDir dir;
    const QString output = dir.filePath("signed.zip");
    const RunResult result = Sign(TestBundle::samplePackage(), output, false);
    QVERIFY(result.finished);
    QVERIFY2(result.exitCode == 0, result.output.constData());
    const QMap<QString, QByteArray> original = ReadZip(TestBundle::samplePackage());
    const QMap<QString, QByteArray> signedPackage = ReadZip(output);
    for (auto it = original.cbegin(); it != original.cend(); ++it)
        if (!it.key().endsWith('/'))
            QCOMPARE(signedPackage.value(it.key()), it.value());
    // A signature a recovery accepts, with the bundle's test certificate.
    QString error;
    QVERIFY2(VerifyWholeFileSignature(output, kBundle + "/Config/testkey.x509.pem", &error),
             qPrintable(error));
}

// A fresh bundle gets the project's kept key pairs, the same on every
// machine, each private key readable by its owner only; a second run changes
// nothing.
void TestBundleLayout::layoutCopiesTheKeptKeysOnly() {
    QTemporaryDir dir;
    const QString bundle = dir.filePath("bundle");
    QCOMPARE(Execute("bash", {kLayoutScript, bundle}).exitCode, 0);
    QMap<QString, QByteArray> keys;
    for (const char* name : kKeyFiles) {
        keys.insert(name, ReadFile(bundle + "/Config/" + name));
        QVERIFY2(!keys.value(name).isEmpty(), name);
        QCOMPARE(keys.value(name), ReadFile(kKeptKeys + "/" + name));
        QCOMPARE(ReadFile(kBundle + "/Config/" + name), keys.value(name));
    }
    for (const char* name : {"platform.pk8", "testkey.pk8"})
        QCOMPARE(QFileInfo(bundle + "/Config/" + name).permissions() & 0x0077,
                 QFileDevice::Permissions());
    QVERIFY(keys.value("platform.pk8") != keys.value("testkey.pk8"));
    // The program unpacks in-process: the bundle carries no 7-Zip.
    QVERIFY(!QFileInfo(bundle + "/Config/7za").isSymLink());
    QVERIFY(!QFileInfo::exists(kBundle + "/Config/7za"));
    QVERIFY(!QFileInfo(bundle + "/Config/signapk.jar").isSymLink());
    QVERIFY(!QFileInfo(bundle + "/jre").isSymLink());

    // The links an earlier layout made to 7-Zip, Java and its signing jar go.
    QVERIFY(QFile::link("/usr/bin/7za", bundle + "/Config/7za"));
    QVERIFY(QFile::link("/usr/share/signapk/signapk.jar", bundle + "/Config/signapk.jar"));
    QVERIFY(QFile::link("/usr", bundle + "/jre"));
    QCOMPARE(Execute("bash", {kLayoutScript, bundle}).exitCode, 0);
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        QCOMPARE(ReadFile(bundle + "/Config/" + it.key()), it.value());
    QVERIFY(!QFileInfo(bundle + "/Config/7za").isSymLink());
    QVERIFY(!QFileInfo(bundle + "/Config/signapk.jar").isSymLink());
    QVERIFY(!QFileInfo(bundle + "/jre").isSymLink());
    QVERIFY(QFileInfo("/usr/share/signapk/signapk.jar").isFile());
}

// A pair an earlier build made on the spot (different on every machine) gives
// way to the kept one.
void TestBundleLayout::layoutReplacesKeysEarlierBuildsMade() {
    QTemporaryDir dir;
    const QString config = dir.filePath("bundle/Config");
    QVERIFY(QDir().mkpath(config));
    const RunResult made =
        Execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                            "/CN=Corvane platform development key", "-keyout", config + "/key.pem",
                            "-out", config + "/platform.x509.pem"});
    QCOMPARE(made.exitCode, 0);
    QCOMPARE(Execute("openssl", {"pkcs8", "-topk8", "-nocrypt", "-outform", "DER", "-in",
                                 config + "/key.pem", "-out", config + "/platform.pk8"})
                 .exitCode,
             0);
    QVERIFY(QFile::remove(config + "/key.pem"));

    QCOMPARE(Execute("bash", {kLayoutScript, dir.filePath("bundle")}).exitCode, 0);
    for (const char* name : kKeyFiles)
        QCOMPARE(ReadFile(config + "/" + name), ReadFile(kKeptKeys + "/" + name));
}

// The device maker's own keys, a half pair and a real file in place of a
// link all stay as they are.
void TestBundleLayout::layoutKeepsWhatTheUserPutThere() {
    QTemporaryDir dir;
    const QString bundle = dir.filePath("bundle");
    QVERIFY(WriteFile(bundle + "/Config/platform.x509.pem", "maker's certificate"));
    QVERIFY(WriteFile(bundle + "/Config/platform.pk8", "maker's key"));
    QVERIFY(WriteFile(bundle + "/Config/testkey.pk8", "half a pair"));
    QVERIFY(WriteFile(bundle + "/Config/7za", "#!/bin/sh\n"));

    QCOMPARE(Execute("bash", {kLayoutScript, bundle}).exitCode, 0);
    QCOMPARE(ReadFile(bundle + "/Config/platform.x509.pem"), QByteArray("maker's certificate"));
    QCOMPARE(ReadFile(bundle + "/Config/platform.pk8"), QByteArray("maker's key"));
    QCOMPARE(ReadFile(bundle + "/Config/testkey.pk8"), QByteArray("half a pair"));
    QVERIFY(!QFileInfo::exists(bundle + "/Config/testkey.x509.pem"));
    QVERIFY(!QFileInfo(bundle + "/Config/7za").isSymLink());
    QCOMPARE(ReadFile(bundle + "/Config/7za"), QByteArray("#!/bin/sh\n"));
}

QTEST_MAIN(TestBundleLayout)
#include "tst_Bundle.moc"
