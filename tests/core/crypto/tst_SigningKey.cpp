#include "core/crypto/SigningKey.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// The one loader of signing keys: a certificate in PEM or DER and its
// unencrypted PKCS#8 key in PEM or DER, made by the real openssl; anything
// else refused with its file named.
class TestSigningKey : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void loadsEveryEncoding_data();
    void loadsEveryEncoding();
    void refuses_data();
    void refuses();

private:
    QString tmp(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

namespace {

bool Openssl(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral("openssl"), args);
    const bool ok = process.waitForFinished(120000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok)
        qWarning().noquote() << "openssl" << args.join(' ') << process.readAllStandardError();
    return ok;
}

QByteArray Slurp(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Spill(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

} // namespace

void TestSigningKey::initTestCase() {
    QVERIFY(m_dir.isValid());
    for (const QString& name : {QStringLiteral("rsa"), QStringLiteral("other")}) {
        QVERIFY(
            Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", tmp(name + ".key"),
                     "-out", tmp(name + ".x509.pem"), "-days", "30", "-subj", "/CN=" + name}));
    }
    QVERIFY(Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                     "-nodes", "-keyout", tmp("ec.key"), "-out", tmp("ec.x509.pem"), "-days", "30",
                     "-subj", "/CN=ec"}));
    for (const QString& name :
         {QStringLiteral("rsa"), QStringLiteral("other"), QStringLiteral("ec")}) {
        QVERIFY(Openssl({"x509", "-in", tmp(name + ".x509.pem"), "-outform", "DER", "-out",
                         tmp(name + ".x509.der")}));
        QVERIFY(Openssl({"pkcs8", "-topk8", "-nocrypt", "-in", tmp(name + ".key"), "-out",
                         tmp(name + ".pk8.pem")}));
        QVERIFY(Openssl({"pkcs8", "-topk8", "-nocrypt", "-in", tmp(name + ".key"), "-outform",
                         "DER", "-out", tmp(name + ".pk8")}));
    }
    QVERIFY(Openssl({"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:secret", "-in",
                     tmp("rsa.key"), "-out", tmp("encrypted.pk8.pem")}));
    QVERIFY(Openssl({"pkcs8", "-topk8", "-v2", "aes-256-cbc", "-passout", "pass:secret", "-in",
                     tmp("rsa.key"), "-outform", "DER", "-out", tmp("encrypted.pk8")}));
    QVERIFY(
        Openssl({"rsa", "-traditional", "-in", tmp("rsa.key"), "-out", tmp("traditional.pem")}));
    QVERIFY(Spill(tmp("cut.pk8"), Slurp(tmp("rsa.pk8")).left(200)));
    QVERIFY(Spill(tmp("cut.x509.der"), Slurp(tmp("rsa.x509.der")).left(200)));
    QVERIFY(Spill(tmp("empty"), QByteArray()));
    QVERIFY(Spill(tmp("huge"), QByteArray((1 << 20) + 1, '-')));
}

void TestSigningKey::loadsEveryEncoding_data() {
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    for (const char* name : {"rsa", "ec"}) {
        for (const char* cert : {".x509.pem", ".x509.der"}) {
            for (const char* key : {".pk8.pem", ".pk8"}) {
                QTest::addRow("%s certificate %s, key %s", name, cert, key)
                    << tmp(QLatin1String(name) + QLatin1String(cert))
                    << tmp(QLatin1String(name) + QLatin1String(key));
            }
        }
    }
}

void TestSigningKey::loadsEveryEncoding() {
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    SigningKey signingKey;
    QString error;
    QVERIFY2(signingKey.load(certificate, key, &error), qPrintable(error));
    QVERIFY(signingKey.isLoaded());
    QCOMPARE(signingKey.certificateDer(),
             Slurp(certificate.section('.', 0, -3) + QStringLiteral(".x509.der")));
    QVERIFY(!signingKey.publicKeyDer().isEmpty());
    QCOMPARE(signingKey.isEc(), certificate.contains(QStringLiteral("/ec.")));
    QVERIFY(signingKey.bits() >= 256);
}

void TestSigningKey::refuses_data() {
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QString>("cause");
    using F = SigningKey::Fault;
    const QString cert = tmp("rsa.x509.pem");
    QTest::newRow("key of another certificate")
        << cert << tmp("other.pk8") << int(F::Mismatch)
        << QStringLiteral("the private key does not belong to the certificate: %1 is not the key "
                          "of %2")
               .arg(tmp("other.pk8"), cert);
    QTest::newRow("encrypted key, PEM") << cert << tmp("encrypted.pk8.pem") << int(F::Key)
                                        << tmp("encrypted.pk8.pem") + " is encrypted";
    QTest::newRow("encrypted key, DER")
        << cert << tmp("encrypted.pk8") << int(F::Key) << tmp("encrypted.pk8") + " is encrypted";
    QTest::newRow("damaged key") << cert << tmp("cut.pk8") << int(F::Key)
                                 << tmp("cut.pk8") + " is not an unencrypted PKCS#8 private key";
    QTest::newRow("traditional RSA key")
        << cert << tmp("traditional.pem") << int(F::Key)
        << tmp("traditional.pem") + " is not an unencrypted PKCS#8 private key";
    QTest::newRow("empty key") << cert << tmp("empty") << int(F::Key)
                               << "the private key " + tmp("empty") + " is empty";
    QTest::newRow("missing key") << cert << tmp("none") << int(F::Key)
                                 << "cannot read the private key " + tmp("none");
    QTest::newRow("damaged certificate")
        << tmp("cut.x509.der") << tmp("rsa.pk8") << int(F::Certificate)
        << tmp("cut.x509.der") + " is not an X.509 certificate";
    QTest::newRow("key as certificate") << tmp("rsa.pk8") << tmp("rsa.pk8") << int(F::Certificate)
                                        << tmp("rsa.pk8") + " is not an X.509 certificate";
    QTest::newRow("certificate too large")
        << tmp("huge") << tmp("rsa.pk8") << int(F::Certificate)
        << "the certificate " + tmp("huge") + " is too large to be one";
}

void TestSigningKey::refuses() {
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    QFETCH(int, fault);
    QFETCH(QString, cause);
    SigningKey signingKey;
    QString error;
    SigningKey::Fault found = SigningKey::Fault::None;
    QVERIFY(!signingKey.load(certificate, key, &error, &found));
    QVERIFY2(error.startsWith(cause), qPrintable(error));
    QCOMPARE(int(found), fault);
    QVERIFY(!signingKey.isLoaded());
    QVERIFY(signingKey.certificateDer().isEmpty());
}

QTEST_GUILESS_MAIN(TestSigningKey)
#include "tst_SigningKey.moc"
