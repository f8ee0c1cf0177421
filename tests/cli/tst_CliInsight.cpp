// corvane-cli info and diff end to end, and the conventions of the command
// line (--version, -q, -v, one-line usage errors, JSON errors): the bundle's
// executables run as a user would, on the sample package and on small
// packages made here. Neither command unpacks anything: every run leaves
// TMPDIR empty.
#include "core/crypto/WholeFileSignature.h"
#include "support/RawZip.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString bundleFile(const QString& relative) {
    return QStringLiteral(CORVANE_BUNDLE_DIR "/") + relative;
}

QString testData(const QString& name) {
    return QStringLiteral(CORVANE_TESTDATA_DIR "/") + name;
}

QString certificate(const char* key) {
    return bundleFile(QStringLiteral("Config/%1.x509.pem").arg(QLatin1String(key)));
}

// The SHA-256 of a certificate's DER form in lower-case hex, as openssl
// computes it.
QString certificateDigest(const QString& pem) {
    const Run run = RunProgram(QStringLiteral("openssl"),
                               {"x509", "-in", pem, "-noout", "-fingerprint", "-sha256"},
                               QProcessEnvironment::systemEnvironment());
    const qsizetype equals = run.out.indexOf('=');
    if (run.exitCode != 0 || equals < 0)
        return {};
    return QString::fromLatin1(run.out.mid(equals + 1).trimmed().replace(":", "").toLower());
}

QByteArray derOf(const QString& pem) {
    const Run run = RunProgram(QStringLiteral("openssl"), {"x509", "-in", pem, "-outform", "DER"},
                               QProcessEnvironment::systemEnvironment());
    return run.exitCode == 0 ? run.out : QByteArray();
}

// Signs a ZIP without comment as a whole file, with a bundle key pair.
bool signWholeFile(const QString& path, const char* key) {
    QByteArray bytes = ReadFile(path);
    if (!bytes.endsWith(QByteArray(2, '\0')))
        return false;
    bytes.chop(2);
    WholeFileSigner signer;
    QString error;
    if (!signer.loadKey(certificate(key),
                        bundleFile(QStringLiteral("Config/%1.pk8").arg(QLatin1String(key))),
                        &error))
        return false;
    signer.update(bytes.constData(), bytes.size());
    QByteArray tail;
    return signer.finish(&tail, &error) && WriteFile(path, bytes + tail);
}

// The bytes with their last four replaced so that the whole has the CRC-32
// of target (of the same size): the register is run back from the target
// through the four table entries it must have taken, then forward.
QByteArray withCrcOf(QByteArray bytes, const QByteArray& target) {
    quint32 table[256];
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    const auto crcOf = [](const QByteArray& data) {
        return quint32(crc32(0, reinterpret_cast<const Bytef*>(data.constData()),
                             static_cast<uInt>(data.size())));
    };
    quint32 back = crcOf(target) ^ 0xFFFFFFFFu;
    quint8 indexes[4];
    for (int step = 3; step >= 0; --step) {
        quint8 index = 0;
        while ((table[index] >> 24) != (back >> 24))
            ++index;
        indexes[step] = index;
        back = (back ^ table[index]) << 8;
    }
    quint32 forward = crcOf(bytes.left(bytes.size() - 4)) ^ 0xFFFFFFFFu;
    for (int step = 0; step < 4; ++step) {
        const quint8 byte = quint8((forward ^ indexes[step]) & 0xFF);
        bytes[bytes.size() - 4 + step] = char(byte);
        forward = (forward >> 8) ^ table[(forward ^ byte) & 0xFF];
    }
    return bytes;
}

// An e2fsprogs tool, also where a plain user's PATH leaves it out.
QString e2fsprogsTool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"}) : found;
}

QJsonObject jsonOf(const Run& run) {
    return QJsonDocument::fromJson(run.out).object();
}

} // namespace

class TestCliInsight : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void versionOfBothPrograms_data();
    void versionOfBothPrograms();
    void infoTextOfTheSample();
    void infoJsonPlacesAndBuildFacts_data();
    void infoJsonPlacesAndBuildFacts();
    void infoReadsStoredAndDeflatedApksAlike();
    void infoTellsTheWholeFileSignature_data();
    void infoTellsTheWholeFileSignature();
    void infoVerifiesAgainstAGivenCertificate_data();
    void infoVerifiesAgainstAGivenCertificate();
    void infoWarnsWhenOtaCertsLackTheTestKey_data();
    void infoWarnsWhenOtaCertsLackTheTestKey();
    void errorsUnderJsonAreJson_data();
    void errorsUnderJsonAreJson();
    void quietAndVerbose_data();
    void quietAndVerbose();
    void diffExitsAsDiffDoes_data();
    void diffExitsAsDiffDoes();
    void diffJson();
    void textOutputEscapesNamesFromThePackage();
    void backslashTwinOfBuildPropIsAnotherFile();
    void utf8ChangeLog();
    void infoListsTheApksInsideASystemImage_data();
    void infoListsTheApksInsideASystemImage();
    void infoWarnsOfAVerifiedPartitionAndNamesImagesNotEdited_data();
    void infoWarnsOfAVerifiedPartitionAndNamesImagesNotEdited();

private:
    Run cli(const QStringList& arguments) const;
    QString work(const QString& relative) const { return m_work.filePath(relative); }
    // A package of the members, every one stored (raw) or as libzip writes.
    QString package(const QString& name, const QList<QPair<QString, QByteArray>>& members,
                    bool stored = false) const;

    QTemporaryDir m_work;
    QString m_tmp;
    QString m_sample;
};

Run TestCliInsight::cli(const QStringList& arguments) const {
    return RunProgram(bundleFile(QStringLiteral("corvane-cli")), arguments,
                      CliTestEnvironment(m_tmp));
}

QString TestCliInsight::package(const QString& name,
                                const QList<QPair<QString, QByteArray>>& members,
                                bool stored) const {
    const QString path = work(name);
    QFile::remove(path);
    if (stored) {
        QList<RawZipEntry> entries;
        for (const auto& [member, data] : members)
            entries.append(RawZipEntry{member.toUtf8(), data});
        if (!WriteFile(path, BuildRawZip(entries)))
            return {};
    } else if (!WriteZip(path, members)) {
        return {};
    }
    return path;
}

void TestCliInsight::initTestCase() {
    QVERIFY(m_work.isValid());
    QVERIFY(QFileInfo(bundleFile(QStringLiteral("corvane-cli"))).isExecutable());
    m_tmp = work(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(m_tmp));
    m_sample = bundleFile(QStringLiteral("samples/update.zip"));
}

void TestCliInsight::cleanup() {
    // Nothing is unpacked: no workspace, no temporary file is left or made.
    const QStringList left = QDir(m_tmp).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                   QDir::NoDotAndDotDot);
    if (!left.isEmpty()) {
        QDir(m_tmp).removeRecursively();
        QDir().mkpath(m_tmp);
    }
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

void TestCliInsight::versionOfBothPrograms_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("corvane-cli") << bundleFile(QStringLiteral("corvane-cli"))
                                 << QByteArray("corvane-cli " CORVANE_EXPECTED_VERSION "\n");
    QTest::newRow("Corvane, without a display")
        << bundleFile(QStringLiteral("Corvane"))
        << QByteArray("Corvane " CORVANE_EXPECTED_VERSION "\n");
}

void TestCliInsight::versionOfBothPrograms() {
    QFETCH(QString, program);
    QFETCH(QByteArray, expected);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const Run run = RunProgram(program, {QStringLiteral("--version")}, environment);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, expected);
    QCOMPARE(run.err, QByteArray());
}

void TestCliInsight::infoTextOfTheSample() {
    const Run run = cli({QStringLiteral("info"), m_sample});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QByteArray());
    const QString text = QString::fromUtf8(run.out);
    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(
        lines.first(),
        QStringLiteral("Package: %1 (%2 bytes)").arg(m_sample).arg(QFileInfo(m_sample).size()));
    for (const char* line :
         {"Android: 5.1.1 (major 5)",
          "Fingerprint: Corvane/samplebox/samplebox:5.1.1/LMY49M/eng.builder.20240315:userdebug/"
          "test-keys",
          "ABIs: armeabi-v7a, armeabi", "Layout: directory (each APK in a directory of its own)",
          "Whole-file signature: none", "OTA certificates: absent",
          "APKs (8):", "  system/app/Browser/Browser.apk", "  system/app/Music.apk",
          "  userdata/app/Radio/Radio.apk",
          "  bootanimation.zip  2154 bytes  (system/media/bootanimation.zip)",
          "  boot.img           16384 bytes"})
        QVERIFY2(lines.contains(QLatin1String(line)), line);
    // Each APK's place and layout follows its path; the sizes are its own.
    QVERIFY2(text.contains(QRegularExpression(
                 QStringLiteral("  system/app/Browser/Browser.apk\n    place: app, directory; "
                                "\\d+ bytes, deflated\n"))),
             run.out.constData());
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral(
                 "  system/priv-app/Launcher.apk\n    place: priv-app, flat; \\d+ bytes"))),
             run.out.constData());
    QVERIFY2(text.contains(QRegularExpression(
                 QStringLiteral("  userdata/app/Weather.apk\n    place: data, flat; \\d+ bytes"))),
             run.out.constData());
}

void TestCliInsight::infoJsonPlacesAndBuildFacts_data() {
    QTest::addColumn<QString>("package");
    QTest::addColumn<QJsonValue>("version");
    QTest::addColumn<QJsonValue>("fingerprint");
    QTest::addColumn<QStringList>("abis");
    QTest::addColumn<QString>("layout");
    // Every APK as "path place layout", in listing order.
    QTest::addColumn<QStringList>("apks");
    QTest::addColumn<QStringList>("presentImages");
    QTest::addColumn<QByteArray>("warning");

    QTest::newRow("sample, Android 5")
        << m_sample << QJsonValue(QStringLiteral("5.1.1"))
        << QJsonValue(QStringLiteral(
               "Corvane/samplebox/samplebox:5.1.1/LMY49M/eng.builder.20240315:userdebug/test-keys"))
        << QStringList{"armeabi-v7a", "armeabi"} << "directory"
        << QStringList{"system/app/Browser/Browser.apk app directory",
                       "system/app/Gallery.apk app flat",
                       "system/app/LiveTV/LiveTV.apk app directory",
                       "system/app/Music.apk app flat",
                       "system/priv-app/Launcher.apk priv-app flat",
                       "system/priv-app/Settings/Settings.apk priv-app directory",
                       "userdata/app/Radio/Radio.apk data directory",
                       "userdata/app/Weather.apk data flat"}
        << QStringList{"logo.img",     "fastplay.img",  "bootanimation.zip",
                       "bootargs.img", "baseparam.img", "boot.img",
                       "fastboot.img", "recovery.img",  "pq_param.img"}
        << QByteArray();

    // Android 4: ABIs from abi and abi2; the first value of a read-only
    // property counts, as on the device; names ordered without case.
    const QString plain = testData(QStringLiteral("Plain.apk"));
    QTest::newRow("flat, Android 4")
        << package(QStringLiteral("flat.zip"),
                   {{"system/build.prop", "ro.build.version.release=4.4.2\n"
                                          "ro.product.cpu.abi = armeabi-v7a\n"
                                          "ro.product.cpu.abi2=armeabi\n"
                                          "# ro.build.fingerprint=commented/out\n"
                                          "ro.build.version.release=9\n"},
                    {"system/app/Zebra.apk", ReadFile(plain)},
                    {"system/app/alpha.apk", ReadFile(plain)},
                    {"system/app/Nested/Nested.apk", ReadFile(plain)},
                    {"system/app/readme.txt", "not an APK"},
                    {"system/priv-app/Core.apk", ReadFile(plain)},
                    {"logo.img", "LOGO"},
                    {"system/media/bootanimation.zip", "PK"}})
        << QJsonValue(QStringLiteral("4.4.2")) << QJsonValue()
        << QStringList{"armeabi-v7a", "armeabi"} << "flat"
        << QStringList{"system/app/alpha.apk app flat",
                       "system/app/Nested/Nested.apk app directory",
                       "system/app/Zebra.apk app flat", "system/priv-app/Core.apk priv-app flat"}
        << QStringList{"logo.img", "bootanimation.zip"} << QByteArray();

    // Its bytes no longer match its CRC-32: read as absent, not a crash.
    const QString damaged = package(
        QStringLiteral("damaged-prop.zip"),
        {{"system/build.prop", "ro.build.version.release=5.1.1\n"}, {"boot.img", "ANDROID!"}},
        true);
    QByteArray damagedBytes = ReadFile(damaged);
    damagedBytes[damagedBytes.indexOf("5.1.1")] = '6';
    QVERIFY(WriteFile(damaged, damagedBytes));
    QTest::newRow("damaged build.prop")
        << damaged << QJsonValue() << QJsonValue() << QStringList{} << "flat" << QStringList{}
        << QStringList{"boot.img"}
        << QByteArray("corvane-cli: warning: the package has no readable system/build.prop\n");
    // Framework APKs and those of a vendor partition in files are listed too.
    QTest::newRow("framework and vendor")
        << package(QStringLiteral("framework.zip"),
                   {{"system/build.prop", "ro.build.version.release=7.1.2\n"},
                    {"system/framework/framework-res.apk", ReadFile(plain)},
                    {"system/framework/services.jar", "not an APK"},
                    {"vendor/app/Tuner/Tuner.apk", ReadFile(plain)}})
        << QJsonValue(QStringLiteral("7.1.2")) << QJsonValue() << QStringList{} << "flat"
        << QStringList{"system/framework/framework-res.apk framework flat",
                       "vendor/app/Tuner/Tuner.apk vendor directory"}
        << QStringList{} << QByteArray();
    QTest::newRow("without build.prop")
        << package(QStringLiteral("bare.zip"),
                   {{"userdata/app/Data.apk", ReadFile(plain)}, {"boot.img", "ANDROID!"}})
        << QJsonValue() << QJsonValue() << QStringList{} << "flat"
        << QStringList{"userdata/app/Data.apk data flat"} << QStringList{"boot.img"}
        << QByteArray("corvane-cli: warning: the package has no readable system/build.prop\n");
}

void TestCliInsight::infoJsonPlacesAndBuildFacts() {
    QFETCH(QString, package);
    QFETCH(QJsonValue, version);
    QFETCH(QJsonValue, fingerprint);
    QFETCH(QStringList, abis);
    QFETCH(QString, layout);
    QFETCH(QStringList, apks);
    QFETCH(QStringList, presentImages);
    QFETCH(QByteArray, warning);

    const Run run = cli({QStringLiteral("info"), QStringLiteral("--json"), package});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, warning);
    QJsonParseError parseError;
    const QJsonObject info = QJsonDocument::fromJson(run.out, &parseError).object();
    QVERIFY2(parseError.error == QJsonParseError::NoError, run.out.constData());
    QCOMPARE(info.value("schema").toInt(), 1);
    QCOMPARE(info.value("package").toString(), package);
    QCOMPARE(info.value("size").toInteger(), QFileInfo(package).size());
    QCOMPARE(info.value("androidVersion"), version);
    QCOMPARE(info.value("fingerprint"), fingerprint);
    QCOMPARE(info.value("abis").toVariant().toStringList(), abis);
    QCOMPARE(info.value("layout").toString(), layout);
    QStringList listed;
    for (const QJsonValue& apk : info.value("apks").toArray()) {
        const QJsonObject object = apk.toObject();
        listed << QStringLiteral("%1 %2 %3")
                      .arg(object.value("path").toString(), object.value("place").toString(),
                           object.value("layout").toString());
    }
    QCOMPARE(listed, apks);
    const QJsonArray images = info.value("images").toArray();
    QCOMPARE(images.size(), 9);
    QStringList present;
    for (const QJsonValue& image : images) {
        if (image.toObject().value("present").toBool())
            present << image.toObject().value("slot").toString();
    }
    QCOMPARE(present, presentImages);
    QCOMPARE(images.at(2).toObject().value("path").toString(),
             QStringLiteral("system/media/bootanimation.zip"));
}

void TestCliInsight::infoReadsStoredAndDeflatedApksAlike() {
    // The same APK stored (read through a window onto the package) and
    // deflated (inflated first) gives the same facts.
    const QByteArray apk = ReadFile(testData(QStringLiteral("NativeDemo.apk")));
    QVERIFY(!apk.isEmpty());
    const QString stored = package(QStringLiteral("stored.zip"),
                                   {{"system/app/NativeDemo/NativeDemo.apk", apk}}, true);
    const QString deflated =
        package(QStringLiteral("deflated.zip"), {{"system/app/NativeDemo/NativeDemo.apk", apk}});
    QJsonObject facts[2];
    const QString packages[2] = {stored, deflated};
    for (int i = 0; i < 2; ++i) {
        const Run run = cli({QStringLiteral("info"), QStringLiteral("--json"), packages[i]});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const QJsonArray apks = jsonOf(run).value("apks").toArray();
        QCOMPARE(apks.size(), 1);
        facts[i] = apks.at(0).toObject();
    }
    QCOMPARE(facts[0].value("stored").toBool(), true);
    QCOMPARE(facts[1].value("stored").toBool(), false);
    QCOMPARE(facts[0].value("size").toInteger(), apk.size());
    QCOMPARE(facts[0].value("packageName").toString(),
             QStringLiteral("com.corvane.fixture.nativedemo"));
    QCOMPARE(facts[0].value("abis").toVariant().toStringList(),
             (QStringList{"arm64-v8a", "armeabi-v7a"}));
    facts[0].remove("stored");
    facts[1].remove("stored");
    QCOMPARE(facts[0], facts[1]);
}

void TestCliInsight::infoTellsTheWholeFileSignature_data() {
    QTest::addColumn<QString>("package");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QJsonValue>("signer");
    QTest::addColumn<bool>("signerIsTestKey");
    QTest::addColumn<QJsonValue>("verified"); // with --verify

    const QList<QPair<QString, QByteArray>> members = {
        {"system/build.prop", "ro.build.version.release=5.1.1\n"},
        {"logo.img", "LOGO the signed payload"}};
    const QJsonValue testKey(certificateDigest(certificate("testkey")));
    const QJsonValue platformKey(certificateDigest(certificate("platform")));
    QVERIFY(!testKey.toString().isEmpty() && !platformKey.toString().isEmpty());

    // Nothing to verify fails the check as the device's recovery would.
    QTest::newRow("unsigned") << package(QStringLiteral("unsigned.zip"), members, true) << false
                              << QJsonValue() << false << QJsonValue(false);
    const QString signedByTestKey = package(QStringLiteral("testkey.zip"), members, true);
    QVERIFY(signWholeFile(signedByTestKey, "testkey"));
    QTest::newRow("test key") << signedByTestKey << true << testKey << true << QJsonValue(true);
    const QString signedByPlatform = package(QStringLiteral("platform.zip"), members, true);
    QVERIFY(signWholeFile(signedByPlatform, "platform"));
    QTest::newRow("another key") << signedByPlatform << true << platformKey << false
                                 << QJsonValue(false);
    // One byte of a member changed after the signing: the signer is still
    // the test key, the digest no longer matches.
    const QString changed = package(QStringLiteral("changed.zip"), members, true);
    QVERIFY(signWholeFile(changed, "testkey"));
    QByteArray bytes = ReadFile(changed);
    const qsizetype payload = bytes.indexOf("signed payload");
    QVERIFY(payload > 0);
    bytes[payload] = 'S';
    QVERIFY(WriteFile(changed, bytes));
    QTest::newRow("changed after signing")
        << changed << true << testKey << true << QJsonValue(false);
}

void TestCliInsight::infoTellsTheWholeFileSignature() {
    QFETCH(QString, package);
    QFETCH(bool, present);
    QFETCH(QJsonValue, signer);
    QFETCH(bool, signerIsTestKey);
    QFETCH(QJsonValue, verified);

    // Without --verify the digest is not checked (nothing but the comment is
    // read for it).
    for (const bool verify : {false, true}) {
        QStringList arguments{QStringLiteral("info"), QStringLiteral("--json"), package};
        if (verify)
            arguments << QStringLiteral("--verify");
        const Run run = cli(arguments);
        // A check is a gate: a signature that does not verify (or none)
        // fails the run, and the facts are still printed.
        const bool fails = verify && verified == QJsonValue(false);
        QCOMPARE(run.exitCode, fails ? 1 : 0);
        const QJsonObject signature = jsonOf(run).value("wholeFileSignature").toObject();
        QCOMPARE(signature.value("present").toBool(), present);
        QCOMPARE(signature.value("signerSha256"), signer);
        QCOMPARE(signature.value("signerIsTestKey").toBool(), signerIsTestKey);
        QCOMPARE(signature.value("verified"), verify ? verified : QJsonValue());
        QCOMPARE(signature.contains("verifyError"), fails);
        QCOMPARE(run.err.contains("error: the whole-file signature does not verify with the test "
                                  "key"),
                 fails);
        // -q drops warnings, not the failure.
        if (fails) {
            const Run quiet = cli(arguments << QStringLiteral("-q"));
            QCOMPARE(quiet.exitCode, 1);
            QVERIFY(quiet.err.contains("error: the whole-file signature does not verify"));
        }
    }
}

// --cert checks against a customer's certificate (PEM or DER) instead of the
// test key: a package signed with that pair verifies, one signed with the test
// key does not.
void TestCliInsight::infoVerifiesAgainstAGivenCertificate_data() {
    QTest::addColumn<QString>("signer");
    QTest::addColumn<bool>("der");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("customer's pair, PEM") << "platform" << false << 0;
    QTest::newRow("customer's pair, DER") << "platform" << true << 0;
    QTest::newRow("test key") << "testkey" << false << 1;
}

void TestCliInsight::infoVerifiesAgainstAGivenCertificate() {
    QFETCH(QString, signer);
    QFETCH(bool, der);
    QFETCH(int, exitCode);
    // The bundle's platform certificate stands for a customer's.
    QString customer = certificate("platform");
    if (der) {
        customer = work(QStringLiteral("customer.der"));
        QVERIFY(WriteFile(customer, derOf(certificate("platform"))));
    }
    const QString signedPackage =
        package(QStringLiteral("signed-%1.zip").arg(signer),
                {{"system/build.prop", "ro.build.version.release=5.1.1\n"}}, true);
    QVERIFY(signWholeFile(signedPackage, signer.toLatin1().constData()));

    const Run run = cli({"info", "--json", "--cert", customer, signedPackage});
    QCOMPARE(run.exitCode, exitCode);
    const QJsonObject signature = jsonOf(run).value("wholeFileSignature").toObject();
    QCOMPARE(signature.value("verified").toBool(), exitCode == 0);
    QCOMPARE(signature.value("verifiedWith").toString(), QFileInfo(customer).absoluteFilePath());
    const Run text = cli({"info", "--verify", "--cert", customer, signedPackage});
    QCOMPARE(text.exitCode, exitCode);
    QVERIFY2(text.out.contains((exitCode == 0 ? ", verifies with " : ", does not verify with ") +
                               customer.toUtf8()),
             text.out.constData());
}

void TestCliInsight::infoWarnsWhenOtaCertsLackTheTestKey_data() {
    QTest::addColumn<QString>("package");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QStringList>("certificates");
    QTest::addColumn<bool>("includesTestKey");
    QTest::addColumn<bool>("error");
    QTest::addColumn<bool>("warning");

    const QString testKey = certificateDigest(certificate("testkey"));
    const QString platformKey = certificateDigest(certificate("platform"));
    const auto withOtaCerts = [&](const QString& name, const QByteArray& otaCerts) {
        return package(name, {{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                              {"system/etc/security/otacerts.zip", otaCerts}});
    };
    const auto zipOf = [&](const QString& name, const QList<QPair<QString, QByteArray>>& members) {
        const QString path = package(name, members);
        return ReadFile(path);
    };
    QTest::newRow("absent") << package(QStringLiteral("no-otacerts.zip"),
                                       {{"system/build.prop", "ro.build.version.release=5.1.1\n"}})
                            << false << QStringList{} << false << false << false;
    QTest::newRow("the test key (PEM) and another (DER)")
        << withOtaCerts(QStringLiteral("ota-test.zip"),
                        zipOf(QStringLiteral("certs-test.zip"),
                              {{"testkey.x509.pem", ReadFile(certificate("testkey"))},
                               {"platform.x509.der", derOf(certificate("platform"))}}))
        << true << QStringList{testKey, platformKey} << true << false << false;
    QTest::newRow("another key only")
        << withOtaCerts(QStringLiteral("ota-platform.zip"),
                        zipOf(QStringLiteral("certs-platform.zip"),
                              {{"platform.x509.pem", ReadFile(certificate("platform"))}}))
        << true << QStringList{platformKey} << false << false << true;
    QTest::newRow("not a ZIP") << withOtaCerts(QStringLiteral("ota-broken.zip"), "not a ZIP")
                               << true << QStringList{} << false << true << true;
}

void TestCliInsight::infoWarnsWhenOtaCertsLackTheTestKey() {
    QFETCH(QString, package);
    QFETCH(bool, present);
    QFETCH(QStringList, certificates);
    QFETCH(bool, includesTestKey);
    QFETCH(bool, error);
    QFETCH(bool, warning);

    const Run run = cli({QStringLiteral("info"), QStringLiteral("--json"), package});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject otaCerts = jsonOf(run).value("otaCerts").toObject();
    QCOMPARE(otaCerts.value("present").toBool(), present);
    QCOMPARE(otaCerts.value("certificateSha256").toVariant().toStringList(), certificates);
    QCOMPARE(otaCerts.value("includesTestKey").toBool(), includesTestKey);
    QCOMPARE(otaCerts.contains("error"), error);
    QCOMPARE(run.err, warning ? QByteArray("corvane-cli: warning: system/etc/security/otacerts.zip "
                                           "does not hold the test key: the device will refuse "
                                           "every later update signed with it\n")
                              : QByteArray());
}

void TestCliInsight::errorsUnderJsonAreJson_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("cause");
    const QString notZip = work(QStringLiteral("notes.zip"));
    QVERIFY(WriteFile(notZip, "not a ZIP archive"));
    const QString missing = work(QStringLiteral("missing.zip"));
    QTest::newRow("info, missing") << QStringList{"info", "--json", missing} << 1
                                   << QStringLiteral("cannot open \"%1\": ").arg(missing);
    QTest::newRow("info, not a ZIP")
        << QStringList{"info", notZip, "--json"} << 1
        << QStringLiteral("\"%1\" is not a readable ZIP: ").arg(notZip);
    QTest::newRow("info, usage") << QStringList{"info", "--json", m_sample, m_sample} << 2
                                 << QStringLiteral("more than one package given");
    QTest::newRow("diff, missing") << QStringList{"diff", "--json", m_sample, missing} << 2
                                   << QStringLiteral("cannot open \"%1\": ").arg(missing);
    QTest::newRow("diff, usage") << QStringList{"diff", m_sample, "--json"} << 2
                                 << QStringLiteral("diff needs two packages");
}

void TestCliInsight::errorsUnderJsonAreJson() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, cause);
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QJsonParseError parseError;
    const QJsonObject error = QJsonDocument::fromJson(run.out, &parseError).object();
    QVERIFY2(parseError.error == QJsonParseError::NoError, run.out.constData());
    QCOMPARE(error.size(), 2);
    QCOMPARE(error.value("schema").toInt(), 1);
    QVERIFY2(error.value("error").toString().startsWith(cause), run.out.constData());
    // Standard error still has its one line.
    QVERIFY2(run.err.startsWith("corvane-cli: error: " + error.value("error").toString().toUtf8() +
                                "\n"),
             run.err.constData());
}

void TestCliInsight::quietAndVerbose_data() {
    QTest::addColumn<bool>("before"); // the option before the command
    QTest::addColumn<QString>("option");
    QTest::addColumn<QStringList>("errLines");
    const QString bare = package(QStringLiteral("quiet.zip"), {{"boot.img", "ANDROID!"}});
    const QStringList verbose{
        "corvane-cli: reading the keys in " + bundleFile(QStringLiteral("Config")),
        "corvane-cli: reading " + bare,
        "corvane-cli: warning: the package has no readable system/build.prop"};
    QTest::newRow("normal: the warning")
        << false << QString()
        << QStringList{"corvane-cli: warning: the package has no readable system/build.prop"};
    QTest::newRow("-q: nothing") << false << "-q" << QStringList{};
    QTest::newRow("--quiet: nothing") << false << "--quiet" << QStringList{};
    QTest::newRow("-v: the steps and the warning") << false << "-v" << verbose;
    QTest::newRow("-q before the command") << true << "-q" << QStringList{};
    QTest::newRow("--verbose before the command") << true << "--verbose" << verbose;
}

void TestCliInsight::quietAndVerbose() {
    QFETCH(bool, before);
    QFETCH(QString, option);
    QFETCH(QStringList, errLines);
    QStringList arguments{QStringLiteral("info"), work(QStringLiteral("quiet.zip"))};
    if (!option.isEmpty() && before)
        arguments.prepend(option);
    else if (!option.isEmpty())
        arguments << option;
    const Run run = cli(arguments);
    QCOMPARE(run.exitCode, 0);
    QStringList lines = QString::fromUtf8(run.err).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines, errLines);
    QVERIFY(run.out.startsWith("Package: "));
}

void TestCliInsight::diffExitsAsDiffDoes_data() {
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");

    const QByteArray plain = ReadFile(testData(QStringLiteral("Plain.apk")));
    const QByteArray native = ReadFile(testData(QStringLiteral("NativeDemo.apk")));
    QVERIFY(!plain.isEmpty() && native.size() > plain.size());
    const QByteArray prop = "ro.build.version.release=5.1.1\nro.build.id=A1\nro.old=gone\n";
    const QList<QPair<QString, QByteArray>> base = {{"system/build.prop", prop},
                                                    {"system/app/Plain/Plain.apk", plain},
                                                    {"system/app/Music.apk", plain},
                                                    {"logo.img", "LOGO one"},
                                                    {"system/etc/key.xml", "<keys/>"}};
    QVERIFY(!package(QStringLiteral("a.zip"), base).isEmpty());
    // Stored here, deflated there: the members' bytes are what count.
    QTest::newRow("the same members")
        << package(QStringLiteral("same.zip"), base, true) << 0 << QByteArray();

    const QByteArray otherProp = "ro.build.version.release=5.1.1\nro.build.id=B2\nro.new=here\n";
    const QList<QPair<QString, QByteArray>> other = {
        {"system/build.prop", otherProp},  {"system/app/Plain/Plain.apk", native},
        {"userdata/app/Added.apk", plain}, {"logo.img", "LOGO two!"},
        {"system/etc/key.xml", "<keys/>"}, {"system/lib/libnew.so", "ELF"}};
    const auto crc = [](const QByteArray& data) {
        return QStringLiteral("%1").arg(crc32(0, reinterpret_cast<const Bytef*>(data.constData()),
                                              static_cast<uInt>(data.size())),
                                        8, 16, QLatin1Char('0'));
    };
    // CRC-32 is no digest: members alike in both directories are compared
    // by their contents.
    QList<QPair<QString, QByteArray>> forged = base;
    forged[4].second = withCrcOf("<KEYS/>", "<keys/>");
    QVERIFY(forged[4].second != base[4].second);
    QCOMPARE(crc(forged[4].second), crc(base[4].second));
    QTest::newRow("the same size and CRC-32, other contents")
        << package(QStringLiteral("forged.zip"), forged) << 1
        << QStringLiteral("Other files (1):\n"
                          "  changed  system/etc/key.xml: content (the same 7 bytes and CRC-32 "
                          "%1)\n")
               .arg(crc(base[4].second))
               .toUtf8();
    QTest::newRow("every kind of change")
        << package(QStringLiteral("b.zip"), other) << 1
        << QStringLiteral("APKs (3):\n"
                          "  removed  system/app/Music.apk (com.corvane.fixture.plain, version "
                          "unknown, %1 bytes)\n"
                          "  changed  system/app/Plain/Plain.apk: size %1 -> %2\n"
                          "  added    userdata/app/Added.apk (com.corvane.fixture.plain, version "
                          "unknown, %1 bytes)\n"
                          "build.prop (3):\n"
                          "  changed  ro.build.id: A1 -> B2\n"
                          "  added    ro.new=here\n"
                          "  removed  ro.old=gone\n"
                          "Images (1):\n"
                          "  changed  logo.img: 8 -> 9 bytes, CRC-32 %3 -> %4\n"
                          "Other files (2):\n"
                          "  changed  system/build.prop: %5 -> %6 bytes, CRC-32 %7 -> %8\n"
                          "  added    system/lib/libnew.so (3 bytes)\n")
               .arg(plain.size())
               .arg(native.size())
               .arg(crc("LOGO one"), crc("LOGO two!"))
               .arg(prop.size())
               .arg(otherProp.size())
               .arg(crc(prop), crc(otherProp))
               .toUtf8();
    // A name and its backslash twin are two files to a device: both listed.
    QList<QPair<QString, QByteArray>> twin = base;
    twin.append({QStringLiteral("system\\etc\\key.xml"), QByteArray("<keys/>")});
    QTest::newRow("a backslash twin beside a member")
        << package(QStringLiteral("twin.zip"), twin) << 1
        << QByteArray("Other files (1):\n  added    system\\etc\\key.xml (7 bytes)\n");
}

void TestCliInsight::textOutputEscapesNamesFromThePackage() {
    // A name can hold a line break and a terminal escape: shown raw, it would
    // forge a report line and clear the screen.
    const QByteArray plain = ReadFile(testData(QStringLiteral("Plain.apk")));
    const QString evil =
        package(QStringLiteral("evil.zip"),
                {{"system/build.prop", "ro.build.fingerprint=fp\x1b[2J\n"},
                 {QStringLiteral("system/app/Evil\n    platform key: yes\x1b[31m.apk"), plain}},
                true);
    const QString clean = package(QStringLiteral("clean.zip"),
                                  {{"system/build.prop", "ro.build.fingerprint=fp\n"}}, true);
    for (const QStringList& arguments :
         {QStringList{"info", evil}, QStringList{"diff", clean, evil}}) {
        const Run run = cli(arguments);
        QVERIFY2(run.exitCode == 0 || run.exitCode == 1, run.err.constData());
        QVERIFY2(!run.out.contains('\x1b') && !run.err.contains('\x1b'), run.out.constData());
        QVERIFY2(run.out.contains("system/app/Evil\\x0a    platform key: yes\\x1b[31m.apk"),
                 run.out.constData());
        QVERIFY2(run.out.contains("fp\\x1b[2J"), run.out.constData());
        QVERIFY2(run.out.count("\n    platform key: ") <= 1, run.out.constData());
    }
    // JSON keeps the name as it is, escaped by JSON itself.
    const Run json = cli({"info", "--json", evil});
    QCOMPARE(json.exitCode, 0);
    QCOMPARE(jsonOf(json)["apks"].toArray().first().toObject()["path"].toString(),
             QStringLiteral("system/app/Evil\n    platform key: yes\x1b[31m.apk"));
}

void TestCliInsight::backslashTwinOfBuildPropIsAnotherFile() {
    // To a device "system\build.prop" is another file: the real one is read,
    // and an edit that would take the twin out with it is refused.
    const QString twin = package(QStringLiteral("twin.zip"),
                                 {{"system/build.prop", "ro.build.fingerprint=real\nro.a=1\n"},
                                  {"system\\build.prop", "ro.build.fingerprint=twin\nro.a=2\n"}},
                                 true);
    const Run info = cli({"info", twin});
    QCOMPARE(info.exitCode, 0);
    QVERIFY2(info.out.contains("Fingerprint: real\n"), info.out.constData());
    const Run edit =
        cli({"edit", twin, "-o", work(QStringLiteral("edited.zip")), "--set-prop", "ro.a=3"});
    QCOMPARE(edit.exitCode, 1);
    QVERIFY2(edit.err.contains("the package holds \"system\\build.prop\" beside "
                               "system/build.prop"),
             edit.err.constData());
    QVERIFY(!QFile::exists(work(QStringLiteral("edited.zip"))));
}

void TestCliInsight::diffExitsAsDiffDoes() {
    QFETCH(QString, second);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    const Run run = cli({QStringLiteral("diff"), work(QStringLiteral("a.zip")), second});
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(run.out, out);
}

void TestCliInsight::diffJson() {
    const QByteArray plain = ReadFile(testData(QStringLiteral("Plain.apk")));
    const QString a = package(QStringLiteral("json-a.zip"),
                              {{"system/build.prop", "ro.a=1\n"}, {"boot.img", "B"}});
    const QString b = package(
        QStringLiteral("json-b.zip"),
        {{"system/build.prop", "ro.a=2\n"}, {"boot.img", "B"}, {"system/app/New.apk", plain}});
    const Run run = cli({QStringLiteral("diff"), QStringLiteral("--json"), a, b});
    QCOMPARE(run.exitCode, 1);
    const QJsonObject difference = jsonOf(run);
    QCOMPARE(difference.value("schema").toInt(), 1);
    QCOMPARE(difference.value("same").toBool(true), false);
    const QJsonArray apks = difference.value("apks").toArray();
    QCOMPARE(apks.size(), 1);
    QCOMPARE(apks.at(0).toObject().value("change").toString(), QStringLiteral("added"));
    QCOMPARE(apks.at(0).toObject().value("path").toString(), QStringLiteral("system/app/New.apk"));
    QCOMPARE(apks.at(0).toObject().value("after").toObject().value("size").toInteger(),
             plain.size());
    QVERIFY(!apks.at(0).toObject().contains("before"));
    const QJsonArray properties = difference.value("buildProperties").toArray();
    QCOMPARE(properties.size(), 1);
    QCOMPARE(properties.at(0).toObject().value("key").toString(), QStringLiteral("ro.a"));
    QCOMPARE(properties.at(0).toObject().value("before").toString(), QStringLiteral("1"));
    QCOMPARE(properties.at(0).toObject().value("after").toString(), QStringLiteral("2"));
    QCOMPARE(difference.value("images").toArray().size(), 0);

    const Run same = cli({QStringLiteral("diff"), QStringLiteral("--json"), a, a});
    QCOMPARE(same.exitCode, 0);
    QCOMPARE(jsonOf(same).value("same").toBool(false), true);
}

void TestCliInsight::utf8ChangeLog() {
    const QString output = work(QStringLiteral("logged.zip"));
    const QString log = work(QStringLiteral("changes.log"));
    const Run run = cli({"edit", m_sample, "-o", output, "--delete", "Music.apk", "--log", log,
                         "--log-format", "utf8"});
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QByteArray bytes = ReadFile(log);
    QVERIFY2(!bytes.contains('\r') && bytes.endsWith('\n'), bytes.constData());
    const QRegularExpression line(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(Z|[+-]\\d\\d:\\d\\d): DELETE \"system/app/"
        "Music.apk\"$"));
    const QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(line.match(lines.first()).hasMatch(), bytes.constData());
}

void TestCliInsight::infoListsTheApksInsideASystemImage_data() {
    QTest::addColumn<bool>("systemAsRoot");
    QTest::addRow("classic") << false;
    QTest::addRow("system-as-root") << true;
}

// A package whose system partition is a raw ext4 image: its APKs are listed
// with the same facts as members, read from inside the image, and the image's
// filesystem is told.
void TestCliInsight::infoListsTheApksInsideASystemImage() {
    QFETCH(bool, systemAsRoot);
    const QString tree = work(QStringLiteral("image-tree"));
    QDir(tree).removeRecursively();
    const QString root = systemAsRoot ? tree + QStringLiteral("/system") : tree;
    qsizetype apkSize = 0;
    for (const char* member : {"system/app/Browser/Browser.apk", "system/build.prop"}) {
        const Run unzip = RunProgram(QStringLiteral("unzip"), {"-p", m_sample, member});
        QCOMPARE(unzip.exitCode, 0);
        if (QByteArray(member).endsWith(".apk"))
            apkSize = unzip.out.size();
        const QString path = root + QLatin1Char('/') + QString::fromLatin1(member).mid(7);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(WriteFile(path, unzip.out));
    }
    const QString image = work(QStringLiteral("system.img"));
    QFile::remove(image);
    const Run mke2fs = RunProgram(e2fsprogsTool(QStringLiteral("mke2fs")),
                                  {"-q", "-F", "-t", "ext4", "-d", tree, image, "8M"});
    QCOMPARE(mke2fs.exitCode, 0);
    const QString path = package(QStringLiteral("image.zip"), {{"system.img", ReadFile(image)}});
    QVERIFY(!path.isEmpty());

    const Run text = cli({QStringLiteral("info"), path});
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.err, QByteArray());
    const QString out = QString::fromUtf8(text.out);
    QVERIFY2(out.contains(QStringLiteral("Android: 5.1.1 (major 5)")), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("  system/app/Browser/Browser.apk\n    place: app, "
                                         "directory; %1 bytes, in the system image\n    package: "
                                         "com.corvane.sample.browser, version 4200 (42.0)\n")
                              .arg(apkSize)),
             qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("Partition images:\n  system: raw (system.img)\n    ext4, "
                                         "8388608 bytes in blocks of 1024, ")),
             qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("    layout: %1; shared_blocks: no\n")
                              .arg(systemAsRoot ? "system-as-root" : "classic")),
             qPrintable(out));

    const Run json = cli({QStringLiteral("info"), path, QStringLiteral("--json")});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject object = jsonOf(json);
    const QJsonArray apks = object.value(QStringLiteral("apks")).toArray();
    QCOMPARE(apks.size(), 1);
    const QJsonObject apk = apks.at(0).toObject();
    QCOMPARE(apk.value(QStringLiteral("path")).toString(),
             QStringLiteral("system/app/Browser/Browser.apk"));
    QCOMPARE(apk.value(QStringLiteral("image")).toString(), QStringLiteral("system"));
    QCOMPARE(apk.value(QStringLiteral("packageName")).toString(),
             QStringLiteral("com.corvane.sample.browser"));
    const QJsonObject partition =
        object.value(QStringLiteral("imagePartitions")).toArray().at(0).toObject();
    QCOMPARE(partition.value(QStringLiteral("form")).toString(), QStringLiteral("raw"));
    QCOMPARE(partition.value(QStringLiteral("filesystemSize")).toInteger(), 8 << 20);
    QCOMPARE(partition.value(QStringLiteral("layout")).toString(),
             systemAsRoot ? QStringLiteral("system-as-root") : QStringLiteral("classic"));
}
void TestCliInsight::infoWarnsOfAVerifiedPartitionAndNamesImagesNotEdited_data() {
    QTest::addColumn<bool>("avbFooter");
    QTest::addColumn<bool>("vbmeta");
    QTest::addColumn<QString>("verity");
    QTest::addRow("plain") << false << false << "none";
    QTest::addRow("AVB footer") << true << false << "AVB footer";
    QTest::addRow("vbmeta.img in the package") << false << true << "vbmeta.img in the package";
}

// The device refuses an edited partition that dm-verity or AVB checks: info
// says so plainly; super.img and payload.bin are named as not edited.
void TestCliInsight::infoWarnsOfAVerifiedPartitionAndNamesImagesNotEdited() {
    QFETCH(bool, avbFooter);
    QFETCH(bool, vbmeta);
    QFETCH(QString, verity);
    const QString tree = work(QStringLiteral("verity-tree"));
    QDir(tree).removeRecursively();
    QVERIFY(QDir().mkpath(tree + QStringLiteral("/app")));
    const QString image = work(QStringLiteral("verity-system.img"));
    QFile::remove(image);
    const Run mke2fs = RunProgram(e2fsprogsTool(QStringLiteral("mke2fs")),
                                  {"-q", "-F", "-t", "ext4", "-d", tree, image, "4M"});
    QCOMPARE(mke2fs.exitCode, 0);
    QByteArray bytes = ReadFile(image) + QByteArray(1024 * 1024, '\0');
    if (avbFooter)
        bytes.replace(bytes.size() - 64, 4, "AVBf");
    QList<QPair<QString, QByteArray>> members{
        {"system.img", bytes}, {"super.img", "s"}, {"payload.bin", "p"}};
    if (vbmeta)
        members.append(qMakePair(QStringLiteral("vbmeta.img"), QByteArray("v")));
    const QString path = package(QStringLiteral("verity.zip"), members);
    QVERIFY(!path.isEmpty());

    const Run text = cli({QStringLiteral("info"), path});
    QCOMPARE(text.exitCode, 0);
    const QString out = QString::fromUtf8(text.out);
    QVERIFY2(out.contains(QStringLiteral("    verity: %1\n").arg(verity)), qPrintable(out));
    QVERIFY2(out.contains(QStringLiteral("Not edited: super.img (dynamic partitions)\n"
                                         "Not edited: payload.bin (an A/B update)\n")),
             qPrintable(out));
    const bool warned = QString::fromUtf8(text.err).contains(
        QStringLiteral("the device will refuse an edited system partition unless verity is "
                       "disabled or the image is signed again with the maker's key"));
    QCOMPARE(warned, avbFooter || vbmeta);

    const Run json = cli({QStringLiteral("info"), path, QStringLiteral("--json")});
    QCOMPARE(json.exitCode, 0);
    const QJsonObject object = jsonOf(json);
    const QJsonObject partition =
        object.value(QStringLiteral("imagePartitions")).toArray().at(0).toObject();
    QCOMPARE(partition.value(QStringLiteral("avbFooter")).toBool(), avbFooter);
    QCOMPARE(partition.value(QStringLiteral("verified")).toBool(), avbFooter || vbmeta);
    QCOMPARE(object.value(QStringLiteral("uneditedImages")).toArray().size(), 2);
}

QTEST_GUILESS_MAIN(TestCliInsight)
#include "tst_CliInsight.moc"
