#include "core/crypto/WholeFileSignature.h"
#include "support/ZipFixture.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// Checked against the system's real signapk -w: RSA signatures are
// deterministic, so our comment must equal signapk's byte for byte.
class TestWholeFileSignature : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void matchesSignapk_data();
    void matchesSignapk();
    void ecSignatureVerifiesBothWays();
    void verifierRejects_data();
    void verifierRejects();
    void loadKeyRefuses_data();
    void loadKeyRefuses();
    void finishRefusesAndRecovers();

private:
    QString tmp(const QString& name) const { return m_dir.filePath(name); }
    QString cert(const QString& key) const { return m_keys.value(key) + ".x509.pem"; }
    QString pk8(const QString& key) const { return m_keys.value(key) + ".pk8"; }
    bool signapk(const QString& key, const QString& in, const QString& out);

    QTemporaryDir m_dir;
    QMap<QString, QString> m_keys; // name -> path without .x509.pem / .pk8
    QString m_sample;
    QByteArray m_signedSample; // the sample signed by us with testkey
};

using Members = QList<QPair<QString, QByteArray>>;

namespace {

const QString kBundle = QStringLiteral(CORVANE_BUNDLE_DIR);

bool Run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess process;
    process.start(program, args);
    const bool finished = process.waitForFinished(300000);
    if (out)
        *out = process.readAllStandardOutput();
    const bool ok =
        finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok)
        qWarning().noquote() << program << args.join(' ')
                             << "failed:" << process.readAllStandardError();
    return ok;
}

QByteArray Slurp(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Spill(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(data) == data.size() && file.flush();
}

quint16 Le16At(const QByteArray& data, qsizetype at) {
    return static_cast<quint16>(static_cast<unsigned char>(data.at(at)) |
                                (static_cast<unsigned char>(data.at(at + 1)) << 8));
}

void PutLe16(QByteArray* data, qsizetype at, qint64 value) {
    (*data)[at] = static_cast<char>(value & 0xff);
    (*data)[at + 1] = static_cast<char>((value >> 8) & 0xff);
}

// Where the signed bytes of a signed package end: before the comment length.
qsizetype SignedEnd(const QByteArray& package) {
    return package.size() - Le16At(package, package.size() - 2) - 2;
}

// Feeds in uneven chunks, some shorter than the end record, so the signer's
// memory of the last bytes is crossed by chunk boundaries.
QByteArray SignRange(const QString& key, const QString& cert, const QByteArray& range,
                     QString* error) {
    WholeFileSigner signer;
    if (!signer.loadKey(cert, key, error))
        return {};
    static const qsizetype chunks[] = {1, 5, 19, 20, 21, 4093, 65536};
    qsizetype at = 0;
    for (int i = 0; at < range.size(); ++i) {
        const qsizetype n = qMin(chunks[i % 7], range.size() - at);
        signer.update(range.constData() + at, n);
        at += n;
    }
    if (signer.signedSize() != range.size()) {
        *error = "signed size differs from the bytes fed";
        return {};
    }
    QByteArray tail;
    return signer.finish(&tail, error) ? tail : QByteArray();
}

QByteArray Noise(qsizetype size) {
    QByteArray data(size, Qt::Uninitialized);
    quint32 state = 12345;
    for (qsizetype i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        data[i] = static_cast<char>(state >> 24);
    }
    return data;
}

// The CMS block's structure as openssl prints it, hex dumps left out.
QString BlockStructure(const QString& block) {
    QByteArray text;
    if (!Run("openssl", {"cms", "-cmsout", "-print", "-inform", "DER", "-in", block}, &text))
        return {};
    static const QRegularExpression hexLine(QStringLiteral("^\\s+[0-9a-f]{4} - .*$"),
                                            QRegularExpression::MultilineOption);
    return QString::fromLatin1(text).remove(hexLine);
}

} // namespace

bool TestWholeFileSignature::signapk(const QString& key, const QString& in, const QString& out) {
    return Run("java",
               {"-jar", "/usr/share/signapk/signapk.jar", "-w", cert(key), pk8(key), in, out});
}

void TestWholeFileSignature::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_sample = kBundle + "/samples/update.zip";
    QVERIFY(QFile::exists(m_sample));
    m_keys["testkey"] = kBundle + "/Config/testkey";
    m_keys["platform"] = kBundle + "/Config/platform";
    // A certificate signed with SHA-1 makes signapk sign with SHA-1, one with
    // SHA-256 with SHA-256; an EC key gives ECDSA.
    const auto makeCert = [&](const QString& name, const QString& keyPem, const QString& md) {
        m_keys[name] = tmp(name);
        return Run("openssl", {"req", "-x509", "-new", "-key", keyPem, "-" + md, "-days", "3650",
                               "-subj", "/CN=" + name, "-out", cert(name)}) &&
               Run("openssl", {"pkcs8", "-topk8", "-nocrypt", "-in", keyPem, "-outform", "DER",
                               "-out", pk8(name)});
    };
    QVERIFY(Run("openssl", {"genrsa", "-out", tmp("rsa.pem"), "2048"}));
    QVERIFY(Run("openssl",
                {"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", tmp("ec.pem")}));
    QVERIFY(makeCert("sha1", tmp("rsa.pem"), "sha1"));
    QVERIFY(makeCert("sha512", tmp("rsa.pem"), "sha512"));
    QVERIFY(makeCert("ec", tmp("ec.pem"), "sha256"));
    QVERIFY(
        Run("openssl", {"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:secret", "-in",
                        tmp("rsa.pem"), "-outform", "DER", "-out", tmp("encrypted.pk8")}));

    const QByteArray unsignedSample = Slurp(m_sample);
    QCOMPARE(Le16At(unsignedSample, unsignedSample.size() - 2), 0); // no comment yet
    const QByteArray range = unsignedSample.left(unsignedSample.size() - 2);
    QString error;
    const QByteArray tail = SignRange(pk8("testkey"), cert("testkey"), range, &error);
    QVERIFY2(!tail.isEmpty(), qPrintable(error));
    m_signedSample = range + tail;
}

void TestWholeFileSignature::matchesSignapk_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<Members>("members"); // empty: the sample
    QTest::addColumn<bool>("zip64");
    const Members sample;
    QTest::newRow("sample, SHA-256 RSA") << "testkey" << sample << false;
    QTest::newRow("sample, SHA-1 RSA") << "sha1" << sample << false;
    QTest::newRow("empty member") << "testkey" << Members{{"a", {}}} << false;
    QTest::newRow("one byte") << "sha1" << Members{{"a", "x"}} << false;
    QTest::newRow("70 KB of noise") << "testkey" << Members{{"n.bin", Noise(70000)}} << false;
    // More than 65535 entries: signapk writes a ZIP64 end record and locator.
    Members many;
    for (int i = 0; i < 65600; ++i)
        many.append({QString::number(i, 36), {}});
    QTest::newRow("ZIP64 end record") << "testkey" << many << true;
}

void TestWholeFileSignature::matchesSignapk() {
    QFETCH(QString, key);
    QFETCH(Members, members);
    QFETCH(bool, zip64);
    QString input = m_sample;
    if (!members.isEmpty()) {
        input = tmp("input.zip");
        QVERIFY(WriteZip(input, members));
    }
    const QString output = tmp("signapk.zip");
    QVERIFY(signapk(key, input, output));
    const QByteArray theirs = Slurp(output);
    const qsizetype end = SignedEnd(theirs);
    const QByteArray range = theirs.left(end);
    QCOMPARE(range.mid(end - 20 - 20, 4) == "PK\x06\x07", zip64);

    QString error;
    const QByteArray ours = SignRange(pk8(key), cert(key), range, &error);
    QVERIFY2(!ours.isEmpty(), qPrintable(error));
    QCOMPARE(ours.toHex(), theirs.mid(end).toHex());

    QVERIFY2(VerifyWholeFileSignature(output, cert(key), &error), qPrintable(error));
    QByteArray otacert;
    QVERIFY2(OtaCertData(cert(key), &otacert, &error), qPrintable(error));
    QCOMPARE(ReadZip(output).value("META-INF/com/android/otacert"), otacert);

    // OpenSSL's own CMS verification takes the block over the signed bytes.
    const qsizetype signatureStart = Le16At(ours, ours.size() - 6);
    QVERIFY(Spill(tmp("block.der"), ours.mid(ours.size() - signatureStart, signatureStart - 6)));
    QVERIFY(Spill(tmp("range.bin"), range));
    QVERIFY(Run("openssl", {"cms", "-verify", "-binary", "-inform", "DER", "-in", tmp("block.der"),
                            "-content", tmp("range.bin"), "-noverify", "-out", "/dev/null"}));
}

void TestWholeFileSignature::ecSignatureVerifiesBothWays() {
    // ECDSA is randomised: compare everything but the signature value.
    const QString output = tmp("signapk-ec.zip");
    QVERIFY(signapk("ec", m_sample, output));
    QString error;
    QVERIFY2(VerifyWholeFileSignature(output, cert("ec"), &error), qPrintable(error));

    const QByteArray theirs = Slurp(output);
    const QByteArray range = theirs.left(SignedEnd(theirs));
    const QByteArray ours = SignRange(pk8("ec"), cert("ec"), range, &error);
    QVERIFY2(!ours.isEmpty(), qPrintable(error));
    const QString ourPackage = tmp("ours-ec.zip");
    QVERIFY(Spill(ourPackage, range + ours));
    QVERIFY2(VerifyWholeFileSignature(ourPackage, cert("ec"), &error), qPrintable(error));
    QVERIFY(!VerifyWholeFileSignature(ourPackage, cert("testkey"), &error));

    const auto block = [](const QByteArray& tail) {
        const qsizetype start = Le16At(tail, tail.size() - 6);
        return tail.mid(tail.size() - start, start - 6);
    };
    QCOMPARE(ours.mid(2, 18), theirs.mid(range.size() + 2, 18));
    QVERIFY(Spill(tmp("ours.der"), block(ours)));
    QVERIFY(Spill(tmp("theirs.der"), block(theirs.mid(range.size()))));
    const QString structure = BlockStructure(tmp("ours.der"));
    QVERIFY(structure.contains("ecdsa-with-SHA256"));
    QCOMPARE(structure, BlockStructure(tmp("theirs.der")));
    QVERIFY(Spill(tmp("range.bin"), range));
    QVERIFY(Run("openssl", {"cms", "-verify", "-binary", "-inform", "DER", "-in", tmp("ours.der"),
                            "-content", tmp("range.bin"), "-noverify", "-out", "/dev/null"}));
}

void TestWholeFileSignature::verifierRejects_data() {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("cause"); // empty: accepted
    QTest::newRow("as signed") << "none"
                               << "testkey"
                               << "";
    QTest::newRow("first byte flipped") << "flip 0"
                                        << "testkey"
                                        << "does not match";
    QTest::newRow("end record byte flipped") << "flip end"
                                             << "testkey"
                                             << "does not match";
    QTest::newRow("signature byte flipped") << "flip signature"
                                            << "testkey"
                                            << "does not match";
    QTest::newRow("one byte cut off") << "truncate 1"
                                      << "testkey"
                                      << "no signature footer";
    QTest::newRow("cut in half") << "truncate half"
                                 << "testkey"
                                 << "no signature footer";
    QTest::newRow("empty") << "empty"
                           << "testkey"
                           << "too short";
    QTest::newRow("unsigned") << "unsigned"
                              << "testkey"
                              << "no signature footer";
    QTest::newRow("footer marker") << "marker"
                                   << "testkey"
                                   << "no signature footer";
    QTest::newRow("signature start past the comment") << "start past"
                                                      << "testkey"
                                                      << "outside the comment";
    QTest::newRow("signature start in the footer") << "start in footer"
                                                   << "testkey"
                                                   << "inside the footer";
    QTest::newRow("footer comment length off") << "footer length"
                                               << "testkey"
                                               << "does not lead to the end record";
    QTest::newRow("end record comment length off") << "record length"
                                                   << "testkey"
                                                   << "gives a comment length of";
    QTest::newRow("fake end record in the comment") << "fake record"
                                                    << "testkey"
                                                    << "second end-of-central-directory";
    QTest::newRow("block is not CMS") << "block"
                                      << "testkey"
                                      << "not a CMS structure";
    QTest::newRow("another certificate") << "none"
                                         << "platform"
                                         << "another certificate";
    // The certificate carried in the block is the test key's with a byte
    // changed: it is damaged, not another one.
    QTest::newRow("carried certificate's subject flipped") << "cert subject"
                                                           << "testkey"
                                                           << "damaged";
    QTest::newRow("carried certificate's signature flipped") << "cert signature"
                                                             << "testkey"
                                                             << "damaged";
}

void TestWholeFileSignature::verifierRejects() {
    QFETCH(QString, change);
    QFETCH(QString, key);
    QFETCH(QString, cause);
    QByteArray data = m_signedSample;
    const qsizetype size = data.size();
    const qsizetype comment = Le16At(data, size - 2);
    const qsizetype signatureStart = Le16At(data, size - 6);
    const auto flip = [&](qsizetype at) { data[at] = static_cast<char>(data.at(at) ^ 0x01); };
    if (change == "flip 0")
        flip(0);
    else if (change == "flip end")
        flip(SignedEnd(data) - 1);
    else if (change == "flip signature")
        flip(size - 7);
    else if (change == "truncate 1")
        data.chop(1);
    else if (change == "truncate half")
        data.truncate(size / 2);
    else if (change == "empty")
        data.clear();
    else if (change == "unsigned")
        data = Slurp(m_sample);
    else if (change == "marker")
        data[size - 4] = '\xfe';
    else if (change == "start past")
        PutLe16(&data, size - 6, comment + 1);
    else if (change == "start in footer")
        PutLe16(&data, size - 6, 6);
    else if (change == "footer length")
        PutLe16(&data, size - 2, comment - 1);
    else if (change == "record length")
        PutLe16(&data, SignedEnd(data), comment + 1);
    else if (change == "block")
        data[size - signatureStart] = 0x31;
    else if (change == "fake record") {
        // A second end record before the block; every length is kept consistent,
        // so only the marker search can catch it.
        const QByteArray fake = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
        data.insert(size - signatureStart, fake);
        PutLe16(&data, SignedEnd(m_signedSample), comment + fake.size());
        PutLe16(&data, data.size() - 2, comment + fake.size());
    } else if (change.startsWith("cert ")) {
        QByteArray der;
        QVERIFY(Run("openssl", {"x509", "-in", cert("testkey"), "-outform", "DER"}, &der));
        const qsizetype start = data.indexOf(der);
        QVERIFY(start > 0);
        if (change == "cert signature") {
            flip(start + der.size() - 1);
        } else {
            // The subject follows the issuer: the last name in the certificate.
            const qsizetype at = data.lastIndexOf("development", start + der.size());
            QVERIFY(at > start);
            flip(at);
        }
    } else
        QCOMPARE(change, QString("none"));

    const QString path = tmp("changed.zip");
    QVERIFY(Spill(path, data));
    QString error;
    QCOMPARE(VerifyWholeFileSignature(path, cert(key), &error), cause.isEmpty());
    QVERIFY2(error.contains(cause), qPrintable(error));
}

void TestWholeFileSignature::loadKeyRefuses_data() {
    QTest::addColumn<QString>("certPath");
    QTest::addColumn<QString>("keyPath");
    QTest::addColumn<QString>("cause");
    QTest::newRow("missing certificate")
        << tmp("none.pem") << pk8("testkey") << "cannot read the certificate";
    QTest::newRow("not a certificate")
        << pk8("testkey") << pk8("testkey") << "not an X.509 certificate";
    QTest::newRow("SHA-512 certificate") << cert("sha512") << pk8("sha512") << "SHA1withRSA";
    QTest::newRow("missing key") << cert("testkey") << tmp("none.pk8")
                                 << "cannot read the private key";
    QTest::newRow("encrypted key")
        << cert("sha1") << tmp("encrypted.pk8") << "not an unencrypted PKCS#8";
    QTest::newRow("another certificate's key")
        << cert("testkey") << pk8("platform") << "does not belong";
}

void TestWholeFileSignature::loadKeyRefuses() {
    QFETCH(QString, certPath);
    QFETCH(QString, keyPath);
    QFETCH(QString, cause);
    WholeFileSigner signer;
    QString error;
    QVERIFY(!signer.loadKey(certPath, keyPath, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
    QByteArray tail;
    QVERIFY(!signer.finish(&tail, &error));
}

void TestWholeFileSignature::finishRefusesAndRecovers() {
    const QByteArray range = m_signedSample.left(SignedEnd(m_signedSample));
    const QByteArray expected = m_signedSample.mid(range.size());
    WholeFileSigner signer;
    QString error;
    QByteArray tail;
    QVERIFY(!signer.finish(&tail, &error));
    QVERIFY2(error.contains("No signing key"), qPrintable(error));
    QVERIFY2(signer.loadKey(cert("testkey"), pk8("testkey"), &error), qPrintable(error));

    // The archive without its end record; then the archive with its comment length.
    signer.update(range.constData(), range.size() - 22);
    QVERIFY(!signer.finish(&tail, &error));
    QVERIFY2(error.contains("end-of-central-directory"), qPrintable(error));
    const QByteArray unsignedSample = Slurp(m_sample);
    signer.update(unsignedSample.constData(), unsignedSample.size());
    QVERIFY(!signer.finish(&tail, &error));

    // Each failure starts the next archive afresh, and so does a success.
    for (int round = 0; round < 2; ++round) {
        signer.update(range.constData(), range.size());
        QVERIFY2(signer.finish(&tail, &error), qPrintable(error));
        QCOMPARE(tail.toHex(), expected.toHex());
    }
}

QTEST_GUILESS_MAIN(TestWholeFileSignature)
#include "tst_WholeFileSignature.moc"
