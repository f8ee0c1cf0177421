// The in-process save against signapk -w: the same members with the same
// bytes, a whole-file signature that verifies as recovery checks it, dead
// bytes of earlier edits left out, and a save that can be stopped.

#include "core/crypto/WholeFileSignature.h"
#include "core/format/ArchiveEditor.h"
#include "core/workspace/SavePackage.h"
#include "support/ResultCheck.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString config(const char* name) {
    return TestBundle::buildBundle() + QStringLiteral("/Config/") + QLatin1String(name);
}

bool signWithSignapk(const QString& input, const QString& output) {
    QProcess java;
    java.setWorkingDirectory(TestBundle::buildBundle() + QStringLiteral("/Config"));
    // The system's signapk, a peer of the in-process signing.
    java.start(QStringLiteral("java"), {"-jar", "/usr/share/signapk/signapk.jar", "-w",
                                        "testkey.x509.pem", "testkey.pk8", input, output});
    return java.waitForFinished(300000) && java.exitStatus() == QProcess::NormalExit &&
           java.exitCode() == 0;
}

// File members only: signapk keeps no directory entries.
QMap<QString, QByteArray> fileMembers(const QString& path) {
    QMap<QString, QByteArray> members = ReadZip(path);
    for (auto it = members.begin(); it != members.end();)
        it = it.key().endsWith(QLatin1Char('/')) ? members.erase(it) : std::next(it);
    return members;
}

bool testedByTool(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.start(program, arguments);
    return tool.waitForFinished(300000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

} // namespace

class TestSignedPackage : public QObject {
    Q_OBJECT
private slots:
    void sameMembersAsSignapk_data();
    void sameMembersAsSignapk();
    void deadBytesAreLeftOut();
    void stoppedSaveLeavesNothing();
    void missingKeyFails();
    void damagedMemberIsNamed_data();
    void damagedMemberIsNamed();

private:
    QTemporaryDir m_dir;
};

void TestSignedPackage::sameMembersAsSignapk_data() {
    QTest::addColumn<QString>("archive");

    QTest::newRow("sample package") << TestBundle::samplePackage();

    // A package signed by its vendor: a jar signature, an otacert, directories.
    const QString vendor = m_dir.filePath("vendor.zip");
    QVERIFY(WriteZip(vendor, {{"META-INF/", {}},
                              {"META-INF/MANIFEST.MF", "Manifest-Version: 1.0\r\n"},
                              {"META-INF/CERT.SF", "sf"},
                              {"META-INF/CERT.RSA", "rsa"},
                              {"META-INF/com/android/otacert", "the vendor's certificate"},
                              {"META-INF/com/google/android/updater-script", "ui_print(\"hi\");"},
                              {"system/", {}},
                              {"system/build.prop", "ro.build.version.release=5.1.1\n"},
                              {"boot.img", QByteArray(100000, 'b')}}));
    QTest::newRow("vendor-signed package") << vendor;

    // More entries than the classic end record can count.
    QList<QPair<QString, QByteArray>> many;
    for (int i = 0; i < 65600; ++i)
        many.append({QStringLiteral("m/%1").arg(i), QByteArray::number(i)});
    const QString zip64 = m_dir.filePath("zip64.zip");
    QVERIFY(WriteZip(zip64, many));
    QTest::newRow("ZIP64 by entry count") << zip64;
}

void TestSignedPackage::sameMembersAsSignapk() {
    QFETCH(QString, archive);
    const QString reference = m_dir.filePath("reference.zip");
    const QString ours = m_dir.filePath("ours.zip");
    QVERIFY(signWithSignapk(archive, reference));

    QCOMPARE(FailureOf(WriteSignedPackage(archive, config("testkey.x509.pem"),
                                          config("testkey.pk8"), ours, {})),
             QString());
    const QMap<QString, QByteArray> expected = fileMembers(reference);
    const QMap<QString, QByteArray> actual = fileMembers(ours);
    QCOMPARE(actual.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(actual.value(it.key()) == it.value(), qPrintable(it.key()));

    QCOMPARE(FailureOf(VerifySignedPackage(ours, config("testkey.x509.pem"))), QString());
    QVERIFY(testedByTool("unzip", {"-tqq", ours}));
    QVERIFY(testedByTool("7za", {"t", ours}));
}

void TestSignedPackage::deadBytesAreLeftOut() {
    const QString archive = m_dir.filePath("edited.zip");
    // Incompressible, so that its dead bytes weigh more than the signature.
    QByteArray old(200000, '\0');
    QRandomGenerator random(7);
    for (char& byte : old)
        byte = static_cast<char>(random.generate() & 0xff);
    QVERIFY(WriteZip(archive, {{"logo.img", old}, {"system/build.prop", "x=1\n"}}));
    const QString replacement = m_dir.filePath("logo.img");
    QFile file(replacement);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1000, 'n'));
    file.close();
    QString error;
    QVERIFY2(
        ApplyArchiveChanges(archive, {{ArchiveChangeKind::Put, "logo.img", replacement}}, &error),
        qPrintable(error));

    const QString ours = m_dir.filePath("compact.zip");
    QCOMPARE(FailureOf(WriteSignedPackage(archive, config("testkey.x509.pem"),
                                          config("testkey.pk8"), ours, {})),
             QString());
    QVERIFY(QFileInfo(ours).size() < QFileInfo(archive).size());
    QCOMPARE(ReadZip(ours).value("logo.img"), QByteArray(1000, 'n'));
    QCOMPARE(FailureOf(VerifySignedPackage(ours, config("testkey.x509.pem"))), QString());
}

void TestSignedPackage::stoppedSaveLeavesNothing() {
    const QString ours = m_dir.filePath("stopped.zip");
    const Result written =
        WriteSignedPackage(TestBundle::samplePackage(), config("testkey.x509.pem"),
                           config("testkey.pk8"), ours, [](int) { return false; });
    QVERIFY(written.failed());
    QVERIFY(!written.cause().isEmpty());
    QVERIFY(!QFileInfo::exists(ours));
}

void TestSignedPackage::missingKeyFails() {
    const QString ours = m_dir.filePath("nokey.zip");
    const Result written =
        WriteSignedPackage(TestBundle::samplePackage(), config("testkey.x509.pem"),
                           m_dir.filePath("missing.pk8"), ours, {});
    QVERIFY(written.failed());
    QVERIFY(!written.cause().isEmpty());
    QVERIFY(!QFileInfo::exists(ours));
}

void TestSignedPackage::damagedMemberIsNamed_data() {
    QTest::addColumn<bool>("crcChanged");   // the CRC-32 of both headers no longer fits
    QTest::addColumn<bool>("streamBroken"); // the deflated data starts with an invalid block
    QTest::addColumn<QString>("cause");
    QTest::newRow("CRC-32 of both headers")
        << true << false << "its CRC-32 does not match its data";
    QTest::newRow("invalid deflate block") << false << true << "its deflated data is damaged";
}

// A signed package whose member reads wrong is refused naming the member and
// what is wrong with it.
void TestSignedPackage::damagedMemberIsNamed() {
    QFETCH(bool, crcChanged);
    QFETCH(bool, streamBroken);
    QFETCH(QString, cause);
    const QString archive = m_dir.filePath("plain.zip");
    QVERIFY(WriteZip(archive, {{"system/build.prop", QByteArray(4000, 'x')}}));
    const QString ours = m_dir.filePath("damaged.zip");
    QCOMPARE(FailureOf(WriteSignedPackage(archive, config("testkey.x509.pem"),
                                          config("testkey.pk8"), ours, {})),
             QString());
    QByteArray bytes = ReadFile(ours);
    // The member is the first entry: its local header at 0, its central one
    // the first of the directory.
    QCOMPARE(bytes.mid(30, 17), QByteArray("system/build.prop"));
    QCOMPARE(quint8(bytes[8]), quint8(8)); // deflated
    const qsizetype central = bytes.indexOf(QByteArray("PK\x01\x02", 4));
    QVERIFY(central > 0);
    if (crcChanged) {
        bytes[14] = static_cast<char>(bytes[14] ^ 1);
        bytes[central + 16] = static_cast<char>(bytes[central + 16] ^ 1);
    }
    const qsizetype data = 30 + 17 + (quint8(bytes[28]) | quint8(bytes[29]) << 8);
    if (streamBroken)
        bytes[data] = static_cast<char>(0xFF); // BFINAL with the reserved block type 3
    QVERIFY(WriteFile(ours, bytes));

    QCOMPARE(FailureOf(VerifySignedPackage(ours, config("testkey.x509.pem"))),
             "member system/build.prop of the signed package is damaged: " + cause);
}

QTEST_GUILESS_MAIN(TestSignedPackage)
#include "tst_SignedPackage.moc"
