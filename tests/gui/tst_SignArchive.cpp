#include "gui/CCorvaneApp.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QTimer>

class TestSignArchive : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_bundle = std::make_unique<TestBundle>();
        m_input = m_bundle->file("in dir/pack age.zip");
        QVERIFY(QDir().mkpath(m_bundle->file("in dir")));
        QVERIFY(WriteZip(m_input, {{"system/build.prop", "ro.build.version.release=4.4.2\n"},
                                   {"logo.img", "logo"}}));
    }
    void cleanup() {
        theApp().DestroyBusyDialog();
        m_bundle.reset();
    }
    void wholeFileSignatureReplacesOldOutput();
    void toolFailureLeavesNoOutput();
    void outputNamingInputIsRefused();
    void missingJavaFails();
    void stoppedSigningFails();
    void failingToolScriptIsNotSuccess();

private:
    std::unique_ptr<TestBundle> m_bundle;
    QString m_input;
};

void TestSignArchive::wholeFileSignatureReplacesOldOutput() {
    const QString output = m_bundle->file("out dir/signed 包.zip");
    QVERIFY(WriteFile(output, "old output"));
    QVERIFY(theApp().SignArchive(m_input, output, false));
    QCOMPARE(theApp().LastToolRun.exitCode, 0);
    const QByteArray signedBytes = ReadFile(output);
    QVERIFY(signedBytes.size() > 100);
    QVERIFY(!signedBytes.startsWith("old output"));
    // The members survive and the comment carries the whole-file signature.
    QCOMPARE(ReadZip(output).value("logo.img"), QByteArray("logo"));
    QCOMPARE(static_cast<unsigned char>(signedBytes.at(signedBytes.size() - 3)), 0xFF);
    QCOMPARE(static_cast<unsigned char>(signedBytes.at(signedBytes.size() - 4)), 0xFF);
}

void TestSignArchive::toolFailureLeavesNoOutput() {
    // Not an APK: the platform signing cannot read a manifest and exits 1,
    // leaving an empty output file behind.
    const QString output = m_bundle->file("Apktemp/pack.apk");
    QVERIFY(QDir().mkpath(m_bundle->file("Apktemp")));
    QVERIFY(!theApp().SignArchive(m_input, output, true));
    QCOMPARE(theApp().LastToolRun.exitCode, 1);
    QVERIFY(!FileHelpers::PathExists(output));
}

void TestSignArchive::outputNamingInputIsRefused() {
    const QByteArray before = ReadFile(m_input);
    const QString called = m_bundle->file("called");
    QVERIFY(!theApp().SignArchive(m_input, m_input, false));
    QVERIFY(!theApp().SignArchive(m_input, m_bundle->file("in dir/../in dir/pack age.zip"), false));
    QVERIFY(QFile::link(m_input, m_bundle->file("alias.zip")));
    QVERIFY(!theApp().SignArchive(m_input, m_bundle->file("alias.zip"), false));
    QCOMPARE(ReadFile(m_input), before);
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::NotRun);
}

void TestSignArchive::missingJavaFails() {
    m_bundle->removeTool("jre/bin/java");
    const QString output = m_bundle->file("out.zip");
    QVERIFY(!theApp().SignArchive(m_input, output, false));
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::FailedToStart);
    QVERIFY(!FileHelpers::PathExists(output));
}

void TestSignArchive::stoppedSigningFails() {
    const QString output = m_bundle->file("out.zip");
    m_bundle->replaceToolWithScript("jre/bin/java",
                                    QString("echo partial > \"$7\"\nexec sleep 30"));
    theApp().CreateBusyDialog();
    QTimer::singleShot(300, [] { theApp().BusyDialog->reject(); });
    QVERIFY(!theApp().SignArchive(m_input, output, false));
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::Stopped);
    QVERIFY(!FileHelpers::PathExists(output));
}

void TestSignArchive::failingToolScriptIsNotSuccess() {
    // Arguments as the tool sees them: -jar <jar> -w <cert> <key> <in> <out>.
    const QString argsFile = m_bundle->file("args.txt");
    m_bundle->replaceToolWithScript(
        "jre/bin/java",
        QString(
            "pwd > '%1'\nfor a in \"$@\"; do echo \"$a\" >> '%1'; done\ncp \"$6\" \"$7\"\nexit 3")
            .arg(argsFile));
    const QString output = m_bundle->file("out.zip");
    QVERIFY(!theApp().SignArchive(m_input, output, false));
    QVERIFY(!FileHelpers::PathExists(output));
    const QStringList seen = QString::fromUtf8(ReadFile(argsFile)).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(seen, QStringList({QFileInfo(m_bundle->file("Config")).canonicalFilePath(), "-jar",
                                m_bundle->file("Config/signapk.jar"), "-w", "testkey.x509.pem",
                                "testkey.pk8", m_input, output}));
}

QTEST_MAIN(TestSignArchive)
#include "tst_SignArchive.moc"
