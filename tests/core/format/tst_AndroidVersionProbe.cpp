#include "core/base/Reporter.h"
#include "core/format/AndroidVersionProbe.h"
#include "support/RecordingReporter.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(AndroidVersionProbeResult::Error)

class TestAndroidVersionProbe : public QObject {
    Q_OBJECT
private slots:
    void probe_data();
    void probe();
    void failureIsReported_data();
    void failureIsReported();
    void releaseAsWritten_data();
    void releaseAsWritten();
};

void TestAndroidVersionProbe::probe_data() {
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("expected");
    const QByteArray longLine = "x=" + QByteArray(200, 'a');
    QTest::newRow("4.4.2") << QByteArray("ro.product.model=box\nro.build.version.release=4.4.2\n")
                           << 4;
    QTest::newRow("5.1.1") << QByteArray("ro.build.version.release=5.1.1\n") << 5;
    QTest::newRow("6.0 out of range") << QByteArray("ro.build.version.release=6.0\n") << 0;
    QTest::newRow("negative") << QByteArray("ro.build.version.release=-1\n") << 0;
    QTest::newRow("zero") << QByteArray("ro.build.version.release=0\n") << 0;
    QTest::newRow("last line without break") << QByteArray("a=b\nro.build.version.release=5") << 5;
    QTest::newRow("CRLF line ends") << QByteArray("a=b\r\nro.build.version.release=4.2\r\n") << 4;
    QTest::newRow("leading blanks in value") << QByteArray("ro.build.version.release=  3\n") << 3;
    QTest::newRow("empty value") << QByteArray("ro.build.version.release=\n") << 0;
    QTest::newRow("longer key matches too")
        << QByteArray("ro.build.version.release_or_codename=4\nro.build.version.release=5\n") << 4;
    QTest::newRow("first key line wins")
        << QByteArray("ro.build.version.release=4\nro.build.version.release=5\n") << 4;
    QTest::newRow("commented key") << QByteArray("#ro.build.version.release=5\n") << 0;
    QTest::newRow("key after blanks") << QByteArray("  ro.build.version.release=5\n") << 0;
    QTest::newRow("key without equals") << QByteArray("ro.build.version.release 5\n") << 0;
    QTest::newRow("no key") << QByteArray("ro.product.model=box\n") << 0;
    QTest::newRow("empty file") << QByteArray() << 0;
    // The line is read 127 bytes at a time: a piece starting with the key counts.
    QTest::newRow("key inside long line")
        << (QByteArray(127, 'p') + "ro.build.version.release=5\n") << 5;
    QTest::newRow("long line then key") << (longLine + "\nro.build.version.release=4\n") << 4;
}

void TestAndroidVersionProbe::probe() {
    QFETCH(QByteArray, contents);
    QFETCH(int, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("build.prop");
    QVERIFY(WriteFile(path, contents));
    RecordingReporter reporter;
    QCOMPARE(ProbeAndroidVersion(reporter, path), expected);
    QVERIFY(reporter.texts(RecordingReporter::Kind::Message).isEmpty());
    QVERIFY((reporter.texts().size() == reporter.texts(RecordingReporter::Kind::Message).size()));
    QCOMPARE(ProbeAndroidVersionFile(path).error, AndroidVersionProbeResult::Error::None);
}

void TestAndroidVersionProbe::failureIsReported_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<AndroidVersionProbeResult::Error>("error");
    QTest::addColumn<QString>("text");
    const QString missing = QDir::temp().filePath("corvane-no-such-dir/系统/build.prop");
    QTest::newRow("missing file") << missing << AndroidVersionProbeResult::Error::CannotOpen
                                  << QString("Failed to open the file %1! ").arg(missing);
    // An unpaired surrogate has no form in the file system's encoding.
    QTest::newRow("unconvertible path") << (QString("/tmp/bad") + QChar(0xD800) + "/build.prop")
                                        << AndroidVersionProbeResult::Error::PathNotConvertible
                                        << QString("Failed to read the Version! ");
}

void TestAndroidVersionProbe::failureIsReported() {
    QFETCH(QString, path);
    QFETCH(AndroidVersionProbeResult::Error, error);
    QFETCH(QString, text);
    const AndroidVersionProbeResult probe = ProbeAndroidVersionFile(path);
    QCOMPARE(probe.error, error);
    QCOMPARE(probe.version, 0);
    RecordingReporter reporter;
    QCOMPARE(ProbeAndroidVersion(reporter, path), 0);
    QCOMPARE(reporter.texts(RecordingReporter::Kind::Message), QStringList{text});
    QVERIFY((reporter.texts().size() == reporter.texts(RecordingReporter::Kind::Message).size()));
}

void TestAndroidVersionProbe::releaseAsWritten_data() {
    // The release string of the line the probe reads; null: no release.
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("expected");
    QTest::newRow("5.1.1") << QByteArray("a=b\nro.build.version.release=5.1.1\n") << "5.1.1";
    QTest::newRow("CRLF and blanks")
        << QByteArray("ro.build.version.release= 4.4.2 \r\n") << "4.4.2";
    QTest::newRow("last line without break") << QByteArray("ro.build.version.release=6.0") << "6.0";
    QTest::newRow("first key line wins")
        << QByteArray("ro.build.version.release=4\nro.build.version.release=5\n") << "4";
    QTest::newRow("longer key matches too")
        << QByteArray("ro.build.version.release_or_codename=S\nro.build.version.release=5\n")
        << "S";
    QTest::newRow("non-ASCII value") << QByteArray("ro.build.version.release=5.1 \xc3\xa4\n")
                                     << QString::fromUtf8("5.1 \xc3\xa4");
    QTest::newRow("empty value") << QByteArray("ro.build.version.release=\n") << QStringLiteral("");
    QTest::newRow("key without equals") << QByteArray("ro.build.version.release 5\n") << QString();
    QTest::newRow("commented key") << QByteArray("#ro.build.version.release=5\n") << QString();
    QTest::newRow("no key") << QByteArray("ro.product.model=box\n") << QString();
    QTest::newRow("key inside long line")
        << (QByteArray(127, 'p') + "ro.build.version.release=5\n") << "5";
}

void TestAndroidVersionProbe::releaseAsWritten() {
    QFETCH(QByteArray, contents);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath("build.prop");
    QVERIFY(WriteFile(path, contents));
    const QString release = ReadAndroidRelease(path);
    QCOMPARE(release, expected);
    QCOMPARE(release.isNull(), expected.isNull());
    QVERIFY(ReadAndroidRelease(dir.filePath("missing.prop")).isNull());
}

QTEST_GUILESS_MAIN(TestAndroidVersionProbe)
#include "tst_AndroidVersionProbe.moc"
