#include "core/base/MemoryBudget.h"
#include "core/format/BinaryXml.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberDevice.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/ApkInsight.h"
#include "core/package/PackageInsight.h"
#include "support/BinaryXmlFixture.h"
#include "support/RawZip.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <openssl/err.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <thread>

namespace {

// A little-endian number at an offset of a byte array. Out of line: inlined,
// GCC's array-bounds analysis of the sanitizer build follows the empty
// array's path and warns.
template <typename T> [[gnu::noinline]] T littleEndianAt(const QByteArray& bytes, qsizetype at) {
    return qFromLittleEndian<T>(bytes.constData() + at);
}

const char* const kFrameworkRes = "/usr/share/android-framework-res/framework-res.apk";

bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
         const QString& directory = QString()) {
    QProcess process;
    if (!directory.isEmpty())
        process.setWorkingDirectory(directory);
    process.start(program, arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << program << arguments << process.readAllStandardError();
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

// What aapt's badging says, in the facts' terms.
ApkFacts badging(const QString& apk) {
    ApkFacts facts;
    QByteArray out;
    if (!run(QStringLiteral("aapt"), {"dump", "badging", apk}, &out))
        return facts;
    const QString text = QString::fromUtf8(out);
    const auto field = [&](const QString& pattern) {
        const QRegularExpressionMatch m = QRegularExpression(pattern).match(text);
        return m.hasMatch() ? m.captured(1) : QString();
    };
    facts.packageName = field(QStringLiteral("package: name='([^']*)'"));
    const QString code = field(QStringLiteral("versionCode='([^']*)'"));
    facts.versionCode = code.isEmpty() ? -1 : code.toLongLong();
    facts.versionName = field(QStringLiteral("versionName='([^']*)'"));
    const QString sdk = field(QStringLiteral("(?m)^sdkVersion:'([^']*)'"));
    facts.minSdk = sdk.isEmpty() ? -1 : sdk.toInt();
    const QString target = field(QStringLiteral("(?m)^targetSdkVersion:'([^']*)'"));
    facts.targetSdk = target.isEmpty() ? -1 : target.toInt();
    const QString native = field(QStringLiteral("(?m)^native-code: (.*)$"));
    for (const QString& abi : native.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        facts.abis << QString(abi).remove(QLatin1Char('\''));
    facts.abis.sort();
    return facts;
}

// Builds an APK with aapt from a manifest (and a versionName string resource)
// and adds the given native libraries.
QString buildApk(const QString& dir, const QString& manifestText, const QStringList& libs) {
    QDir(dir).mkpath(QStringLiteral("res/values"));
    QFile manifest(dir + QStringLiteral("/AndroidManifest.xml"));
    QFile strings(dir + QStringLiteral("/res/values/strings.xml"));
    if (!manifest.open(QIODevice::WriteOnly) || !strings.open(QIODevice::WriteOnly))
        return QString();
    manifest.write(manifestText.toUtf8());
    strings.write("<resources><string name=\"version\">4.5-ref</string>"
                  "<string name=\"other\">x</string></resources>");
    manifest.close();
    strings.close();
    const QString apk = dir + QStringLiteral("/out.apk");
    if (!run(QStringLiteral("aapt"),
             {"package", "-f", "-M", manifest.fileName(), "-S", dir + QStringLiteral("/res"), "-I",
              kFrameworkRes, "-F", apk}))
        return QString();
    for (const QString& lib : libs) {
        QDir(dir).mkpath(QFileInfo(dir + QLatin1Char('/') + lib).path());
        QFile so(dir + QLatin1Char('/') + lib);
        if (!so.open(QIODevice::WriteOnly))
            return QString();
        so.write("\x7f"
                 "ELF");
        so.close();
        if (!run(QStringLiteral("aapt"), {"add", apk, lib}, nullptr, dir))
            return QString();
    }
    return apk;
}

QString manifestWith(const QString& attributes, const QString& usesSdk) {
    return QStringLiteral("<manifest xmlns:android=\"http://schemas.android.com/apk/res/android\" "
                          "package=\"org.example.probe\" %1>%2<application/></manifest>")
        .arg(attributes, usesSdk);
}

struct Signer {
    QString key;  // PKCS#8 DER
    QString cert; // PEM
    QByteArray certDer;
};

Signer makeSigner(const QString& dir, const QString& name) {
    Signer s;
    const QString pem = dir + QLatin1Char('/') + name + QStringLiteral(".key.pem");
    s.key = dir + QLatin1Char('/') + name + QStringLiteral(".pk8");
    s.cert = dir + QLatin1Char('/') + name + QStringLiteral(".cert.pem");
    const QString der = dir + QLatin1Char('/') + name + QStringLiteral(".cert.der");
    if (!run(QStringLiteral("openssl"),
             {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pem, "-out", s.cert,
              "-subj", "/CN=" + name, "-days", "2"}) ||
        !run(QStringLiteral("openssl"), {"pkcs8", "-topk8", "-inform", "PEM", "-outform", "DER",
                                         "-nocrypt", "-in", pem, "-out", s.key}) ||
        !run(QStringLiteral("openssl"), {"x509", "-in", s.cert, "-outform", "DER", "-out", der}))
        return Signer();
    QFile f(der);
    if (f.open(QIODevice::ReadOnly))
        s.certDer = f.readAll();
    return s;
}

QByteArray apksignerDigest(const QString& apk) {
    QByteArray out;
    if (!run(QStringLiteral("apksigner"), {"verify", "--print-certs", apk}, &out))
        return QByteArray();
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("certificate SHA-256 digest: ([0-9a-f]{64})"))
            .match(QString::fromUtf8(out));
    return m.hasMatch() ? QByteArray::fromHex(m.captured(1).toLatin1()) : QByteArray();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void put32(QByteArray* b, quint32 v) {
    char raw[4];
    qToLittleEndian(v, raw);
    b->append(raw, 4);
}
void put16(QByteArray* b, quint16 v) {
    char raw[2];
    qToLittleEndian(v, raw);
    b->append(raw, 2);
}

// A resource table of package 0x7f with one type (id 1) whose entries are the
// given (type, data) values, and an empty UTF-8 value string pool holding "s".
QByteArray tableWith(const QList<QPair<quint8, quint32>>& values) {
    QByteArray pool;
    put16(&pool, 0x0001);
    put16(&pool, 28);
    put32(&pool, 28 + 4 + 4);
    put32(&pool, 1);     // strings
    put32(&pool, 0);     // styles
    put32(&pool, 0x100); // UTF-8
    put32(&pool, 32);    // strings start
    put32(&pool, 0);
    put32(&pool, 0); // offset of string 0
    pool.append("\x01\x01s\0", 4);

    QByteArray type;
    const quint32 header = 8 + 12 + 8; // with a configuration of 8 bytes, all default
    put16(&type, 0x0201);
    put16(&type, quint16(header));
    put32(&type, 0); // size, set below
    type.append(char(1));
    type.append(char(0));
    put16(&type, 0);
    put32(&type, quint32(values.size()));
    put32(&type, quint32(header + 4 * values.size()));
    put32(&type, 8);
    put32(&type, 0);
    for (int i = 0; i < values.size(); ++i)
        put32(&type, quint32(i * 16));
    for (const auto& v : values) {
        put16(&type, 8);
        put16(&type, 0);
        put32(&type, 0);
        put16(&type, 8);
        type.append(char(0));
        type.append(char(v.first));
        put32(&type, v.second);
    }
    qToLittleEndian(quint32(type.size()), type.data() + 4);

    QByteArray package;
    const quint32 packageHeader = 288;
    put16(&package, 0x0200);
    put16(&package, quint16(packageHeader));
    put32(&package, quint32(packageHeader + quint32(type.size())));
    put32(&package, 0x7f);
    package.append(QByteArray(int(packageHeader) - 12, '\0'));
    package.append(type);

    QByteArray table;
    put16(&table, 0x0002);
    put16(&table, 12);
    put32(&table, quint32(12 + pool.size() + package.size()));
    put32(&table, 1);
    table.append(pool);
    table.append(package);
    return table;
}

} // namespace

class TestApkInsight : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void factsAgreeWithAapt_data();
    void factsAgreeWithAapt();
    void frameworkResAgreesWithAapt();
    void samplePackageApksAgreeWithAapt();
    void sampleApkWithoutManifestIsRefused();
    void certificatesAgreeWithApksigner_data();
    void certificatesAgreeWithApksigner();
    void damagedV1SignatureIsRefusedLeavingNoOpenSslError();
    void readsFromAnyRandomAccessDevice();
    void damagedSigningBlockIsRefused_data();
    void damagedSigningBlockIsRefused();
    void inflatedSizeBeyondDeflatesReachIsRefused();
    void truncatedManifestNeverReadsPastItsEnd();
    void hostileManifestIsRefused_data();
    void hostileManifestIsRefused();
    void memoryBudgetIsSharedByEveryReader();
    void resourceTableBeyondTheBudgetLeftIsRefusedNamingIt();
    void resourceReferences_data();
    void resourceReferences();
    void apkInAPackageIsReadInPlace_data();
    void apkInAPackageIsReadInPlace();

private:
    QTemporaryDir m_dir;
    Signer m_signer;
    QString m_signedApk; // v1 + v2
    QString m_noisyApk;  // signed, with 256 KB of incompressible bytes stored
    QString m_samples;   // the sample package and APKs the bundle is made with
    QString m_testdata;
};

void TestApkInsight::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_samples = m_dir.path() + QStringLiteral("/samples");
    m_testdata = m_dir.path() + QStringLiteral("/testdata");
    QVERIFY(run(QStringLiteral("bash"),
                {QStringLiteral(CORVANE_TEST_SOURCE_DIR "/../scripts/make-samples.sh"),
                 QStringLiteral(CORVANE_TEST_SOURCE_DIR "/../scripts/sample"), m_samples,
                 m_testdata, m_dir.path() + QStringLiteral("/sample-work")}));
    QVERIFY(QFile::exists(QString::fromLatin1(kFrameworkRes)));
    m_signer = makeSigner(m_dir.path(), QStringLiteral("signer"));
    QVERIFY(!m_signer.certDer.isEmpty());
    const QString dir = m_dir.path() + QStringLiteral("/signed");
    const QString apk =
        buildApk(dir,
                 manifestWith(QStringLiteral("android:versionCode=\"3\""),
                              QStringLiteral("<uses-sdk android:minSdkVersion=\"21\"/>")),
                 {});
    QVERIFY(!apk.isEmpty());
    m_signedApk = dir + QStringLiteral("/signed.apk");
    QVERIFY(run(QStringLiteral("apksigner"),
                {"sign", "--key", m_signer.key, "--cert", m_signer.cert, "--v1-signing-enabled",
                 "true", "--v2-signing-enabled", "true", "--out", m_signedApk, apk}));
}

void TestApkInsight::apkInAPackageIsReadInPlace_data() {
    QTest::addColumn<QString>("level"); // zip's
    QTest::addColumn<qint64>("memoryLimit");
    QTest::addColumn<bool>("temporaryFiles");
    QTest::addColumn<bool>("damaged");
    QTest::addColumn<QString>("cause"); // empty: the facts are read

    // The APK is four times the memory limit: only reading it in place
    // (a stored member's window, a deflated one's stored blocks) needs no
    // temporary file.
    QTest::newRow("stored") << "-0" << qint64(64 * 1024) << false << false << "";
    QTest::newRow("deflated, its stored blocks read in place")
        << "-6" << qint64(64 * 1024) << false << false << "";
    QTest::newRow("deflated, compressed blocks beyond the memory: a temporary file")
        << "-6" << qint64(0) << true << false << "";
    QTest::newRow("deflated, compressed blocks beyond the memory, no temporary file")
        << "-6" << qint64(0) << false << false << "cannot make a temporary file";
    QTest::newRow("deflated, damaged") << "-6" << qint64(64 * 1024) << true << true << "damaged";
}

void TestApkInsight::apkInAPackageIsReadInPlace() {
    QFETCH(QString, level);
    QFETCH(qint64, memoryLimit);
    QFETCH(bool, temporaryFiles);
    QFETCH(bool, damaged);
    QFETCH(QString, cause);
    if (m_noisyApk.isEmpty()) {
        const QString dir = m_dir.path() + QStringLiteral("/noisy");
        const QString apk = buildApk(dir, manifestWith(QString(), QString()), {});
        QVERIFY(!apk.isEmpty());
        QByteArray noise(256 * 1024, Qt::Uninitialized);
        QRandomGenerator random(7);
        for (char& c : noise)
            c = static_cast<char>(random.bounded(256));
        QDir(dir).mkpath(QStringLiteral("assets"));
        QFile asset(dir + QStringLiteral("/assets/noise.bin"));
        QVERIFY(asset.open(QIODevice::WriteOnly) && asset.write(noise) == noise.size());
        asset.close();
        QVERIFY(run(QStringLiteral("zip"), {"-q", "-0", apk, "assets/noise.bin"}, nullptr, dir));
        m_noisyApk = dir + QStringLiteral("/noisy.apk");
        QVERIFY(run(QStringLiteral("apksigner"), {"sign", "--key", m_signer.key, "--cert",
                                                  m_signer.cert, "--out", m_noisyApk, apk}));
    }
    QVERIFY(QFileInfo(m_noisyApk).size() > 4 * 64 * 1024);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    QVERIFY(QDir(work.path()).mkpath(QStringLiteral("system/app/Noisy")));
    QVERIFY(QFile::copy(m_noisyApk, work.filePath(QStringLiteral("system/app/Noisy/Noisy.apk"))));
    const QString package = work.filePath(QStringLiteral("package.zip"));
    QVERIFY(run(QStringLiteral("zip"), {"-q", "-r", "-D", level, package, "system"}, nullptr,
                work.path()));
    if (damaged) {
        // The first block of the deflated APK gets the reserved type.
        const int fd = ::open(QFile::encodeName(package).constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(fd >= 0);
        ZipDirectory directory;
        quint64 offset = 0;
        QString error;
        const bool found = ReadZipDirectory(fd, &directory, &error) &&
                           directory.entries.size() == 1 &&
                           ZipMemberDataOffset(fd, directory.entries.at(0), &offset, &error);
        const char reserved = 0x07;
        const bool written = found && ::pwrite(fd, &reserved, 1, off_t(offset)) == 1;
        ::close(fd);
        QVERIFY2(written, qPrintable(error));
    }

    const QByteArray savedTemp = qgetenv("TMPDIR");
    if (!temporaryFiles)
        qputenv("TMPDIR", QFile::encodeName(work.filePath(QStringLiteral("no-such-directory"))));
    PackageInsightOptions options;
    options.memoryLimit = memoryLimit;
    PackageFacts facts;
    QString error;
    const bool read = ReadPackageFacts(package, {}, options, &facts, &error);
    if (savedTemp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTemp);
    QVERIFY2(read, qPrintable(error));
    QCOMPARE(facts.apks.size(), 1);
    const PackageApk& apk = facts.apks.at(0);
    QCOMPARE(apk.stored, level == QLatin1String("-0"));
    if (!cause.isEmpty()) {
        QVERIFY(!apk.factsRead);
        QVERIFY2(apk.factsError.contains(cause), qPrintable(apk.factsError));
        return;
    }
    QVERIFY2(apk.factsRead, qPrintable(apk.factsError));
    ApkFacts expected;
    QVERIFY2(ReadApkFacts(m_noisyApk, &expected, &error), qPrintable(error));
    QCOMPARE(apk.facts.packageName, QStringLiteral("org.example.probe"));
    QCOMPARE(apk.facts.size, expected.size);
    QCOMPARE(apk.facts.signatureSchemes, expected.signatureSchemes);
    QCOMPARE(apk.facts.v1CertificateSha256, expected.v1CertificateSha256);
    QCOMPARE(apk.facts.v2CertificateSha256, expected.v2CertificateSha256);
    QVERIFY(!expected.v2CertificateSha256.isEmpty());
}

void TestApkInsight::factsAgreeWithAapt_data() {
    QTest::addColumn<QString>("attributes");
    QTest::addColumn<QString>("usesSdk");
    QTest::addColumn<QStringList>("libs");

    QTest::newRow("literal versionName, min and target sdk")
        << "android:versionCode=\"42\" android:versionName=\"1.2.3\""
        << "<uses-sdk android:minSdkVersion=\"19\" android:targetSdkVersion=\"28\"/>"
        << QStringList();
    QTest::newRow("versionName as a string resource")
        << "android:versionCode=\"7\" android:versionName=\"@string/version\""
        << "<uses-sdk android:minSdkVersion=\"21\"/>" << QStringList();
    QTest::newRow("no version, no sdk") << ""
                                        << "" << QStringList();
    QTest::newRow("target sdk only")
        << "android:versionCode=\"1\""
        << "<uses-sdk android:targetSdkVersion=\"30\"/>" << QStringList();
    QTest::newRow("large versionCode") << "android:versionCode=\"2147483647\""
                                       << "" << QStringList();
    QTest::newRow("native libraries of several ABIs")
        << "android:versionCode=\"5\""
        << "<uses-sdk android:minSdkVersion=\"24\"/>"
        << QStringList{"lib/x86_64/libb.so", "lib/armeabi-v7a/liba.so", "lib/arm64-v8a/liba.so",
                       "lib/armeabi-v7a/libb.so"};
}

void TestApkInsight::factsAgreeWithAapt() {
    QFETCH(QString, attributes);
    QFETCH(QString, usesSdk);
    QFETCH(QStringList, libs);
    const QString dir =
        m_dir.path() + QLatin1Char('/') + QString::number(qHash(QTest::currentDataTag()));
    const QString apk = buildApk(dir, manifestWith(attributes, usesSdk), libs);
    QVERIFY(!apk.isEmpty());
    const ApkFacts expected = badging(apk);
    QVERIFY(!expected.packageName.isEmpty());

    ApkFacts facts;
    QString error;
    QVERIFY2(ReadApkFacts(apk, &facts, &error), qPrintable(error));
    QCOMPARE(facts.packageName, expected.packageName);
    QCOMPARE(facts.versionCode, expected.versionCode);
    QCOMPARE(facts.versionName, expected.versionName);
    QCOMPARE(facts.minSdk, expected.minSdk);
    QCOMPARE(facts.targetSdk, expected.targetSdk);
    QCOMPARE(facts.abis, expected.abis);
    QCOMPARE(facts.size, QFileInfo(apk).size());
    QVERIFY(facts.signatureSchemes.isEmpty());
    QVERIFY(facts.v1CertificateSha256.isEmpty());
}

void TestApkInsight::frameworkResAgreesWithAapt() {
    const QString apk = QString::fromLatin1(kFrameworkRes);
    const ApkFacts expected = badging(apk);
    ApkFacts facts;
    QString error;
    QVERIFY2(ReadApkFacts(apk, &facts, &error), qPrintable(error));
    QCOMPARE(facts.packageName, expected.packageName);
    QCOMPARE(facts.versionCode, expected.versionCode);
    QCOMPARE(facts.versionName, expected.versionName);
    QCOMPARE(facts.minSdk, expected.minSdk);
    QCOMPARE(facts.targetSdk, expected.targetSdk);
    QCOMPARE(facts.abis, expected.abis);
}

void TestApkInsight::samplePackageApksAgreeWithAapt() {
    // Each APK of the sample package read where it lies, through a window
    // onto its member (stored or inflated), against aapt on its own copy; and
    // the loose sample APKs from their files.
    const QString package = m_samples + QStringLiteral("/update.zip");
    const int fd = ::open(QFile::encodeName(package).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    ZipDirectory directory;
    QString error;
    const bool read = ReadZipDirectory(fd, &directory, &error);
    QStringList checked;
    for (const ZipCentralEntry& entry : directory.entries) {
        if (!read || !entry.rawName.endsWith(".apk"))
            continue;
        const std::unique_ptr<QIODevice> device = OpenZipMemberDevice(fd, entry, 1 << 20, &error);
        QVERIFY2(device, qPrintable(error));
        const QString copy = m_dir.path() + QStringLiteral("/member.apk");
        QFile::remove(copy);
        QFile out(copy);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(device->readAll());
        out.close();
        const ApkFacts expected = badging(copy);
        ApkFacts facts;
        QVERIFY2(ReadApkFacts(*device, &facts, &error), qPrintable(error));
        QCOMPARE(facts.packageName, expected.packageName);
        QCOMPARE(facts.versionCode, expected.versionCode);
        QCOMPARE(facts.minSdk, expected.minSdk);
        QCOMPARE(facts.abis, expected.abis);
        QCOMPARE(facts.size, qint64(entry.uncompressedSize));
        checked << QString::fromUtf8(entry.rawName);
    }
    ::close(fd);
    QVERIFY2(read, qPrintable(error));
    QVERIFY(checked.size() >= 8);
    QVERIFY(checked.contains(QStringLiteral("system/app/Gallery.apk")));

    QStringList loose;
    for (const QString& name : QDir(m_samples + QStringLiteral("/add")).entryList({"*.apk"}))
        loose << m_samples + QStringLiteral("/add/") + name;
    loose << m_testdata + QStringLiteral("/Plain.apk")
          << m_testdata + QStringLiteral("/NativeDemo.apk");
    for (const QString& apk : loose) {
        const ApkFacts expected = badging(apk);
        ApkFacts facts;
        QVERIFY2(ReadApkFacts(apk, &facts, &error), qPrintable(apk + QStringLiteral(": ") + error));
        QCOMPARE(facts.packageName, expected.packageName);
        QCOMPARE(facts.abis, expected.abis);
    }
}

void TestApkInsight::sampleApkWithoutManifestIsRefused() {
    ApkFacts facts;
    QString error;
    QVERIFY(!ReadApkFacts(m_testdata + QStringLiteral("/NoManifest.apk"), &facts, &error));
    QCOMPARE(error, QStringLiteral("no AndroidManifest.xml"));
}

void TestApkInsight::certificatesAgreeWithApksigner_data() {
    QTest::addColumn<bool>("v1");
    QTest::addColumn<bool>("v2");
    QTest::addColumn<QList<int>>("schemes");
    QTest::newRow("v1 only") << true << false << QList<int>{1};
    QTest::newRow("v2 only") << false << true << QList<int>{2};
    QTest::newRow("v1 and v2") << true << true << QList<int>{1, 2};
}

void TestApkInsight::certificatesAgreeWithApksigner() {
    QFETCH(bool, v1);
    QFETCH(bool, v2);
    QFETCH(QList<int>, schemes);
    const QString dir =
        m_dir.path() + QStringLiteral("/sig") + QString::number(v1) + QString::number(v2);
    const QString apk =
        buildApk(dir,
                 manifestWith(QStringLiteral("android:versionCode=\"1\""),
                              QStringLiteral("<uses-sdk android:minSdkVersion=\"24\"/>")),
                 {});
    QVERIFY(!apk.isEmpty());
    const QString signedApk = dir + QStringLiteral("/signed.apk");
    QVERIFY(run(QStringLiteral("apksigner"),
                {"sign", "--key", m_signer.key, "--cert", m_signer.cert, "--v1-signing-enabled",
                 v1 ? "true" : "false", "--v2-signing-enabled", v2 ? "true" : "false",
                 "--v3-signing-enabled", "false", "--out", signedApk, apk}));
    const QByteArray expected = apksignerDigest(signedApk);
    QCOMPARE(expected.size(), 32);

    ApkFacts facts;
    QString error;
    QVERIFY2(ReadApkFacts(signedApk, &facts, &error), qPrintable(error));
    QCOMPARE(facts.signatureSchemes, schemes);
    QCOMPARE(facts.v1CertificateSha256, v1 ? expected : QByteArray());
    QCOMPARE(facts.v2CertificateSha256, v2 ? expected : QByteArray());
    QVERIFY(facts.v3CertificateSha256.isEmpty());
    QVERIFY(SignedWith(facts, m_signer.certDer));
    const Signer other = makeSigner(dir, QStringLiteral("other"));
    QVERIFY(!SignedWith(facts, other.certDer));
    QVERIFY(!SignedWith(facts, QByteArray()));
}

void TestApkInsight::damagedV1SignatureIsRefusedLeavingNoOpenSslError() {
    // buildApk's files hold "\x7fELF": not a PKCS#7 signature.
    const QString apk = buildApk(m_dir.path() + QStringLiteral("/badv1"),
                                 manifestWith(QString(), QString()), {"META-INF/CERT.RSA"});
    QVERIFY(!apk.isEmpty());
    ERR_clear_error();
    ApkFacts facts;
    QString error;
    QVERIFY(!ReadApkFacts(apk, &facts, &error));
    QVERIFY2(error.contains(QStringLiteral("META-INF/CERT.RSA is not a PKCS#7 signature")),
             qPrintable(error));
    // Callers report OpenSSL's own errors from its queue: a refused APK must
    // not leave a stale one there.
    QCOMPARE(ERR_peek_error(), 0UL);
}

void TestApkInsight::readsFromAnyRandomAccessDevice() {
    // A window onto a package's member is a device, not a file: the same
    // facts come from the bytes in memory.
    QByteArray bytes = readFile(m_signedApk);
    QBuffer buffer(&bytes);
    ApkFacts facts, fromFile;
    QString error;
    QVERIFY2(ReadApkFacts(buffer, &facts, &error), qPrintable(error));
    QVERIFY2(ReadApkFacts(m_signedApk, &fromFile, &error), qPrintable(error));
    QCOMPARE(facts.packageName, QStringLiteral("org.example.probe"));
    QCOMPARE(facts.v2CertificateSha256, fromFile.v2CertificateSha256);
    // apksigner adds a v3 block for a minSdk below 28.
    QCOMPARE(facts.signatureSchemes, (QList<int>{1, 2, 3}));
    QCOMPARE(facts.v3CertificateSha256, facts.v2CertificateSha256);
}

void TestApkInsight::damagedSigningBlockIsRefused_data() {
    // Offsets are from the block's footer (its size field, 24 bytes before
    // the central directory); each edit sets a 32- or 64-bit little-endian
    // value.
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("cause");
    QTest::newRow("block size larger than the file") << "footer-size-huge"
                                                     << "APK signing block of a bad size";
    QTest::newRow("block sizes disagree") << "header-size"
                                          << "APK signing block sizes disagree";
    QTest::newRow("pair length past the block") << "pair-length"
                                                << "of a bad length";
    QTest::newRow("signer length past the value") << "signers-length"
                                                  << "v2 block: signers run past the block";
}

void TestApkInsight::damagedSigningBlockIsRefused() {
    QFETCH(QString, what);
    QFETCH(QString, cause);
    QByteArray bytes = readFile(m_signedApk);
    const qsizetype end = bytes.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    QVERIFY(end > 0);
    const quint32 directory = littleEndianAt<quint32>(bytes, end + 16);
    const qsizetype footer = qsizetype(directory) - 24;
    QCOMPARE(bytes.mid(footer + 8, 16), QByteArrayLiteral("APK Sig Block 42"));
    const quint64 size = littleEndianAt<quint64>(bytes, footer);
    const qsizetype block = qsizetype(directory) - qsizetype(size) - 8;
    if (what == QLatin1String("footer-size-huge"))
        qToLittleEndian(quint64(1) << 40, bytes.data() + footer);
    else if (what == QLatin1String("header-size"))
        qToLittleEndian(size + 8, bytes.data() + block);
    else if (what == QLatin1String("pair-length"))
        qToLittleEndian(size * 2, bytes.data() + block + 8);
    else // the v2 value's first field: the length of its signers
        qToLittleEndian(quint32(0x7FFFFFF0), bytes.data() + block + 8 + 12);
    QBuffer buffer(&bytes);
    ApkFacts facts;
    QString error;
    QVERIFY(!ReadApkFacts(buffer, &facts, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
}

void TestApkInsight::inflatedSizeBeyondDeflatesReachIsRefused() {
    // The manifest's central record claims 15 MiB from a few hundred bytes:
    // refused before anything of that size is allocated.
    QByteArray bytes = readFile(m_signedApk);
    const qsizetype end = bytes.lastIndexOf(QByteArrayLiteral("PK\x05\x06"));
    QVERIFY(end > 0);
    qsizetype record = littleEndianAt<quint32>(bytes, end + 16);
    bool found = false;
    while (!found && record + 46 < end && bytes.mid(record, 4) == QByteArrayLiteral("PK\x01\x02")) {
        const quint16 nameLength = littleEndianAt<quint16>(bytes, record + 28);
        found = bytes.mid(record + 46, nameLength) == QByteArrayLiteral("AndroidManifest.xml");
        if (!found)
            record += 46 + nameLength + littleEndianAt<quint16>(bytes, record + 30) +
                      littleEndianAt<quint16>(bytes, record + 32);
    }
    QVERIFY(found);
    QCOMPARE(littleEndianAt<quint16>(bytes, record + 10), quint16(8));
    qToLittleEndian(quint32(15 * 1024 * 1024), bytes.data() + record + 24);
    QBuffer buffer(&bytes);
    ApkFacts facts;
    QString error;
    QVERIFY(!ReadApkFacts(buffer, &facts, &error));
    QVERIFY2(error.startsWith(QStringLiteral("AndroidManifest.xml claims 15728640 bytes from")),
             qPrintable(error));
}

void TestApkInsight::truncatedManifestNeverReadsPastItsEnd() {
    QByteArray xml;
    QString error;
    // The compiled manifest of the signed APK, cut at every length: each
    // read is refused or gives what the prefix holds, never reads past it.
    {
        QTemporaryDir dir;
        QVERIFY(run(QStringLiteral("unzip"),
                    {"-q", m_signedApk, "AndroidManifest.xml", "-d", dir.path()}));
        xml = readFile(dir.path() + QStringLiteral("/AndroidManifest.xml"));
    }
    QVERIFY(xml.size() > 100);
    ManifestFacts facts;
    QVERIFY2(ReadBinaryManifest(xml, &facts, &error), qPrintable(error));
    QCOMPARE(facts.packageName, QStringLiteral("org.example.probe"));
    for (qsizetype n = 0; n < xml.size(); ++n) {
        const QByteArray cut(xml.constData(), n); // a copy of its own: no bytes after it
        ManifestFacts partial;
        if (!ReadBinaryManifest(cut, &partial, &error))
            QVERIFY(!error.isEmpty());
    }
}

void TestApkInsight::hostileManifestIsRefused_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("cause");
    QByteArray header;
    put16(&header, 0x0003);
    put16(&header, 8);

    QByteArray notXml;
    put16(&notXml, 0x0002);
    put16(&notXml, 8);
    put32(&notXml, 8);
    QTest::newRow("not compiled XML") << notXml << "not a compiled XML file (chunk type 0x0002)";

    QByteArray hugeRoot = header;
    put32(&hugeRoot, 0xFFFFFFF0);
    QTest::newRow("root larger than the file") << hugeRoot << "is truncated";

    // A string pool claiming a huge count.
    QByteArray pool;
    put16(&pool, 0x0001);
    put16(&pool, 28);
    put32(&pool, 28);
    put32(&pool, 0x10000000);
    put32(&pool, 0);
    put32(&pool, 0);
    put32(&pool, 28);
    put32(&pool, 0);
    QByteArray hugeCount = header;
    put32(&hugeCount, quint32(8 + pool.size()));
    hugeCount.append(pool);
    QTest::newRow("string pool with a huge count")
        << hugeCount << "string pool of 268435456 strings larger than its chunk";

    // An element whose name is string 5 of an empty pool.
    QByteArray emptyPool;
    put16(&emptyPool, 0x0001);
    put16(&emptyPool, 28);
    put32(&emptyPool, 28);
    for (int i = 0; i < 5; ++i)
        put32(&emptyPool, 0);
    QByteArray element;
    put16(&element, 0x0102);
    put16(&element, 16);
    put32(&element, 36);
    put32(&element, 1);
    put32(&element, 0xFFFFFFFF);
    put32(&element, 0xFFFFFFFF);
    put32(&element, 5); // name
    put16(&element, 20);
    put16(&element, 20);
    put16(&element, 0);
    put16(&element, 0);
    put16(&element, 0);
    put16(&element, 0);
    QByteArray outOfRange = header;
    put32(&outOfRange, quint32(8 + emptyPool.size() + element.size()));
    outOfRange.append(emptyPool);
    outOfRange.append(element);
    QTest::newRow("string index out of range")
        << outOfRange << "string index 5 out of range (0 strings)";

    QTest::newRow("empty") << QByteArray() << "past the end";
}

void TestApkInsight::hostileManifestIsRefused() {
    QFETCH(QByteArray, xml);
    QFETCH(QString, cause);
    ManifestFacts facts;
    QString error;
    QVERIFY(!ReadBinaryManifest(xml, &facts, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
}

void TestApkInsight::resourceReferences_data() {
    QTest::addColumn<QByteArray>("table");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<bool>("resolves");
    QTest::addColumn<QString>("text"); // resolved, or part of the cause

    QTest::newRow("string") << tableWith({{0x03, 0}}) << 0x7f010000u << true << "s";
    QTest::newRow("reference to a string")
        << tableWith({{0x01, 0x7f010001u}, {0x03, 0}}) << 0x7f010000u << true << "s";
    QTest::newRow("reference to itself")
        << tableWith({{0x01, 0x7f010000u}}) << 0x7f010000u << false << "references go round";
    QTest::newRow("two references in a cycle")
        << tableWith({{0x01, 0x7f010001u}, {0x01, 0x7f010000u}}) << 0x7f010000u << false
        << "references go round";
    QTest::newRow("entry past the count")
        << tableWith({{0x03, 0}}) << 0x7f010005u << false << "no resource 0x7f010005";
    QTest::newRow("string index out of range")
        << tableWith({{0x03, 9}}) << 0x7f010000u << false << "string index 9 out of range";
    QTest::newRow("other package")
        << tableWith({{0x03, 0}}) << 0x01010000u << false << "no resource 0x01010000";
    QByteArray truncated = tableWith({{0x03, 0}});
    truncated.chop(4);
    QTest::newRow("truncated") << truncated << 0x7f010000u << false << "truncated";
}

void TestApkInsight::resourceReferences() {
    QFETCH(QByteArray, table);
    QFETCH(quint32, id);
    QFETCH(bool, resolves);
    QFETCH(QString, text);
    ResValue value;
    QString error;
    QCOMPARE(ResolveResource(table, id, &value, &error), resolves);
    if (resolves) {
        QCOMPARE(value.string, text);
    } else {
        QVERIFY2(error.contains(text), qPrintable(error));
    }
}

// One budget, taken from and given back by any thread: what one holder has
// taken is not there for another until it is given back.
void TestApkInsight::memoryBudgetIsSharedByEveryReader() {
    MemoryBudget budget(1000);
    MemoryLease first(budget);
    QVERIFY(first.take(600));
    bool secondTook = true;
    std::thread other([&] {
        MemoryLease second(budget);
        secondTook = second.take(600);
        QVERIFY(second.take(400));
    });
    other.join();
    QVERIFY(!secondTook);
    QCOMPARE(budget.left(), 400);
    first.release();
    QCOMPARE(budget.left(), 1000);
    QVERIFY(!budget.take(1001));
    QCOMPARE(ProcessMemoryBudget().total(), 128 * 1024 * 1024);
}

// An APK whose versionName is a reference into its resource table: with the
// budget's room taken by another reader, the table is refused with the memory
// it needs; with the room given back, it is read.
void TestApkInsight::resourceTableBeyondTheBudgetLeftIsRefusedNamingIt() {
    BinaryXmlBuilder xml;
    const quint32 manifest = xml.string(QStringLiteral("manifest"));
    const quint32 package = xml.string(QStringLiteral("package"));
    const quint32 name = xml.string(QStringLiteral("com.example"));
    const quint32 versionName = xml.string(QStringLiteral("versionName"));
    xml.start(manifest, {{package, 0x03, name}, {versionName, 0x01, 0x7f010000u}});
    xml.end(manifest);
    const QByteArray manifestBytes = xml.build();
    const QByteArray table = tableWith({{0x03, 0}}) + QByteArray(100000, '\0');
    QByteArray zip =
        BuildRawZip({{"AndroidManifest.xml", manifestBytes, 0}, {"resources.arsc", table, 0}});
    MemoryBudget budget(manifestBytes.size() + table.size());
    MemoryLease otherReader(budget);
    QVERIFY(otherReader.take(50000));
    QBuffer apk(&zip);
    ApkFacts facts;
    QString error;
    QVERIFY(!ReadApkFacts(apk, &facts, &error, budget));
    QCOMPARE(error, QStringLiteral("resources.arsc needs %1 bytes, more than the %2 bytes of "
                                   "memory left for reading")
                        .arg(table.size())
                        .arg(table.size() - 50000));
    QCOMPARE(budget.left(), budget.total() - 50000); // the failed reading gave all back
    otherReader.release();
    QBuffer again(&zip);
    QVERIFY2(ReadApkFacts(again, &facts, &error, budget), qPrintable(error));
    QCOMPARE(facts.versionName, QStringLiteral("s"));
    QCOMPARE(budget.left(), budget.total());
}

QTEST_GUILESS_MAIN(TestApkInsight)
#include "tst_ApkInsight.moc"
