// Which files count as a readable ZIP (before anything of the current work is
// deleted) and what the summary of one says (for the free-space check).

#include "core/format/ArchiveEditor.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestZipSummary : public QObject {
    Q_OBJECT
private slots:
    void readableZipArchive_data();
    void readableZipArchive();
    void summaryCountsMembersAndBytes();
};

void TestZipSummary::readableZipArchive_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readable");

    QTest::newRow("package") << "package" << true;
    QTest::newRow("archive without members") << "empty archive" << true;
    QTest::newRow("zero bytes") << "zero bytes" << false;
    QTest::newRow("text") << "text" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("directory") << "directory" << false;
    QTest::newRow("empty path") << "empty path" << false;
    QTest::newRow("truncated") << "truncated" << false;
    QTest::newRow("local header differs") << "local header" << false;
    // A stub put in front without adjusting the offsets, as `cat stub x.zip`
    // makes a self-extractor: other readers take it, so does the open.
    QTest::newRow("stub in front") << "stub" << true;
}

void TestZipSummary::readableZipArchive() {
    QFETCH(QString, kind);
    QFETCH(bool, readable);

    QTemporaryDir dir;
    QString path = dir.filePath("package.zip");
    QVERIFY(WriteZip(path, {{"system/build.prop", "ro.build.version.release=4.4\n"},
                            {"logo.img", QByteArray(4000, 'l')}}));
    const QByteArray bytes = ReadFile(path);
    if (kind == "empty archive") {
        QByteArray end("PK\x05\x06", 4);
        end.append(18, '\0');
        QVERIFY(WriteFile(path, end));
    } else if (kind == "zero bytes") {
        QVERIFY(WriteFile(path, QByteArray()));
    } else if (kind == "text") {
        QVERIFY(WriteFile(path, "ro.build.version.release=4.4\n"));
    } else if (kind == "missing") {
        QVERIFY(QFile::remove(path));
    } else if (kind == "directory") {
        QVERIFY(QFile::remove(path));
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "empty path") {
        path.clear();
    } else if (kind == "truncated") {
        QVERIFY(WriteFile(path, bytes.left(bytes.size() - 30)));
    } else if (kind == "stub") {
        QVERIFY(WriteFile(path, QByteArray("#!/bin/sh\nexit 0\n") + bytes));
    } else if (kind == "local header") {
        QByteArray damaged = bytes;
        damaged[26] = char(0xFF); // the first member's name length
        damaged[27] = char(0xFF);
        QVERIFY(WriteFile(path, damaged));
    }
    QCOMPARE(IsReadableZipArchive(path), readable);
}

void TestZipSummary::summaryCountsMembersAndBytes() {
    QTemporaryDir dir;
    const QString path = dir.filePath("package.zip");
    QVERIFY(WriteZip(path, {{"system/", {}},
                            {"system/build.prop", QByteArray(100, 'p')},
                            {"logo.img", QByteArray(4000, 'l')}}));
    ZipSummary summary;
    QVERIFY(SummariseZipArchive(path, &summary));
    QCOMPARE(summary.entries, qint64(3));
    QCOMPARE(summary.uncompressedBytes, qint64(4100));
}

QTEST_GUILESS_MAIN(TestZipSummary)
#include "tst_ZipSummary.moc"
