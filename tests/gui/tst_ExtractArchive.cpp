#include "gui/CCorvaneApp.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>

class TestExtractArchive : public QObject {
    Q_OBJECT
private slots:
    void init() { m_bundle = std::make_unique<TestBundle>(); }
    void cleanup() {
        theApp().DestroyBusyDialog();
        m_bundle.reset();
    }
    void extractsWithOddPaths_data();
    void extractsWithOddPaths();
    void overwritesWithoutAsking();
    void damagedArchiveFails_data();
    void damagedArchiveFails();
    void missingExtractorFails();
    void stoppedExtractionFails();
    void emptyArchivePathNeverReachesTheTool();

private:
    std::unique_ptr<TestBundle> m_bundle;
};

void TestExtractArchive::extractsWithOddPaths_data() {
    QTest::addColumn<QString>("archiveName");
    QTest::addColumn<QString>("outputName");
    QTest::newRow("plain") << "pkg.zip"
                           << "out";
    QTest::newRow("blanks") << "my package.zip"
                            << "out dir/with blanks";
    QTest::newRow("chinese") << "固件 包.zip"
                             << "输出/目录";
}

void TestExtractArchive::extractsWithOddPaths() {
    QFETCH(QString, archiveName);
    QFETCH(QString, outputName);
    const QString archive = m_bundle->file("in/" + archiveName);
    QVERIFY(QDir().mkpath(m_bundle->file("in")));
    QVERIFY(WriteZip(archive, {{"system/build.prop", "ro.build.version.release=5.1.1\n"},
                               {"system/app/Music.apk", "apk"},
                               {"logo.img", QByteArray(4096, 'L')}}));
    const QString output = m_bundle->file(outputName); // does not exist yet
    QVERIFY(theApp().ExtractArchive(archive, output));
    QCOMPARE(theApp().LastToolRun.exitCode, 0);
    QCOMPARE(ReadFile(output + "/system/build.prop"),
             QByteArray("ro.build.version.release=5.1.1\n"));
    QCOMPARE(ReadFile(output + "/system/app/Music.apk"), QByteArray("apk"));
    QCOMPARE(ReadFile(output + "/logo.img"), QByteArray(4096, 'L'));
}

void TestExtractArchive::overwritesWithoutAsking() {
    const QString archive = m_bundle->file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "new"}}));
    const QString output = m_bundle->file("out");
    QVERIFY(WriteFile(output + "/a.txt", "old"));
    QVERIFY(WriteFile(output + "/kept.txt", "kept"));
    QVERIFY(theApp().ExtractArchive(archive, output));
    QCOMPARE(ReadFile(output + "/a.txt"), QByteArray("new"));
    QCOMPARE(ReadFile(output + "/kept.txt"), QByteArray("kept"));
}

void TestExtractArchive::damagedArchiveFails_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("not a zip") << QByteArray("this is plain text, not an archive\n");
    QTest::newRow("empty file") << QByteArray();
    QByteArray truncated;
    {
        const QString full = QDir::temp().filePath("corvane-truncated-source.zip");
        WriteZip(full, {{"big.bin", QByteArray(200000, 'x') + QByteArray::number(12345)}});
        truncated = ReadFile(full).left(300);
        QFile::remove(full);
    }
    QTest::newRow("truncated") << truncated;
}

void TestExtractArchive::damagedArchiveFails() {
    QFETCH(QByteArray, bytes);
    const QString archive = m_bundle->file("bad.zip");
    QVERIFY(WriteFile(archive, bytes));
    QVERIFY(!theApp().ExtractArchive(archive, m_bundle->file("out")));
    QVERIFY(theApp().LastToolRun.ranToEnd());
    QVERIFY(theApp().LastToolRun.exitCode >= 2);
}

void TestExtractArchive::missingExtractorFails() {
    m_bundle->removeTool("Config/7za");
    const QString archive = m_bundle->file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "a"}}));
    QVERIFY(!theApp().ExtractArchive(archive, m_bundle->file("out")));
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::FailedToStart);
    QVERIFY(!FileHelpers::PathExists(m_bundle->file("out")));
}

void TestExtractArchive::stoppedExtractionFails() {
    m_bundle->replaceToolWithScript("Config/7za", "exec sleep 30");
    const QString archive = m_bundle->file("pkg.zip");
    QVERIFY(WriteZip(archive, {{"a.txt", "a"}}));
    theApp().CreateBusyDialog();
    QTimer::singleShot(100, [] { theApp().BusyDialog->reject(); });
    QVERIFY(!theApp().ExtractArchive(archive, m_bundle->file("out")));
    QCOMPARE(theApp().LastToolRun.outcome, ToolRunResult::Outcome::Stopped);
}

void TestExtractArchive::emptyArchivePathNeverReachesTheTool() {
    const QString called = m_bundle->file("called");
    m_bundle->replaceToolWithScript("Config/7za", QString("touch '%1'").arg(called));
    QVERIFY(!theApp().ExtractArchive(QString(), m_bundle->file("out")));
    QVERIFY(!FileHelpers::PathExists(called));
}

QTEST_MAIN(TestExtractArchive)
#include "tst_ExtractArchive.moc"
