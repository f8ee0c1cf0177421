#include "core/workspace/ChangeLog.h"
#include "support/RecordingReporter.h"

#include "core/base/FileHelpers.h"
#include "core/base/Operation.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"
#include "core/workspace/AppState.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

namespace {

// A workspace with its zipTemp (where the journal lives) and the parts of an
// operation.
struct Workspace {
    TestBundle bundle;
    AppState state{bundle.path()};
    RecordingReporter reporter;
    ToolRunner runner;
    Operation op{state, reporter, runner};
    Workspace() { QDir().mkpath(state.paths().zipTempDir()); }
    QString logFile() const { return state.paths().changeLogFile(); }
    QString journal() const { return state.paths().changeLogJournal(); }
};

} // namespace

class TestChangeLog : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { FileHelpers::SetFileFaultsForTesting(nullptr); }
    void dateAndTime_data();
    void dateAndTime();
    void lineFormats();
    void encoding_data();
    void encoding();
    void utf8Encoding_data();
    void utf8Encoding();
    void writeReplacesOldFileAndEmptiesLines_data();
    void writeReplacesOldFileAndEmptiesLines();
    void deleteFailureKeepsFileAndLines();
    void createFailureKeepsLines();
    void writeChangeLogBesideExecutable();
    void writeChangeLogReportsDeleteFailure();
    void writeChangeLogReportsWriteFailure_data();
    void writeChangeLogReportsWriteFailure();
    void recordChangeKeepsJournal();
    void journalOfUnclosedRunIsTakenUp_data();
    void journalOfUnclosedRunIsTakenUp();
};

void TestChangeLog::dateAndTime_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");

    QTest::newRow("single digits padded with blanks")
        << QDateTime(QDate(2015, 3, 5), QTime(9, 5, 7)) << "2015- 3- 5"
        << " 9: 5: 7";
    QTest::newRow("two digits") << QDateTime(QDate(2016, 12, 31), QTime(23, 59, 58)) << "2016-12-31"
                                << "23:59:58";
    QTest::newRow("midnight") << QDateTime(QDate(2020, 1, 10), QTime(0, 0, 0)) << "2020- 1-10"
                              << " 0: 0: 0";
    QTest::newRow("year padded to four")
        << QDateTime(QDate(999, 10, 1), QTime(10, 1, 30)) << " 999-10- 1"
        << "10: 1:30";
}

void TestChangeLog::dateAndTime() {
    QFETCH(QDateTime, when);
    QFETCH(QString, date);
    QFETCH(QString, time);
    QCOMPARE(ChangeLogDate(when), date);
    QCOMPARE(ChangeLogTime(when), time);
}

void TestChangeLog::lineFormats() {
    const QDateTime when(QDate(2015, 3, 5), QTime(9, 5, 7));
    QCOMPARE(
        ChangeLogAddLine(when, "/home/u/Foo.apk", "/opt/c/srctemp/system/app"),
        QString("2015- 3- 5  9: 5: 7: ADD \"/home/u/Foo.apk\" to \"/opt/c/srctemp/system/app\""));
    QCOMPARE(ChangeLogDeleteLine(when, "/opt/c/srctemp/userdata/app/Bar.apk"),
             QString("2015- 3- 5  9: 5: 7: DELETE \"/opt/c/srctemp/userdata/app/Bar.apk\""));
    QCOMPARE(ChangeLogReplaceLine(when, "/opt/c/srctemp/logo.img", "/home/u/new logo.img"),
             QString("2015- 3- 5  9: 5: 7: REPLACE \"/opt/c/srctemp/logo.img\" with "
                     "\"/home/u/new logo.img\""));
}

void TestChangeLog::encoding_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("no lines") << QStringList() << QByteArray();
    QTest::newRow("ascii, CRLF after each line")
        << QStringList{"one", "two"} << QByteArray("one\r\ntwo\r\n");
    QTest::newRow("empty line") << QStringList{""} << QByteArray("\r\n");
    QTest::newRow("simplified chinese")
        << QStringList{"/a/中文.apk"} << QByteArray("/a/\xD6\xD0\xCE\xC4.apk\r\n");
    QTest::newRow("euro sign") << QStringList{"5 €"} << QByteArray("5 \x80\r\n");
    QTest::newRow("pinyin letter") << QStringList{"é"} << QByteArray("\xA8\xA6\r\n");
    QTest::newRow("outside the code page") << QStringList{QString::fromUtf8("a\xF0\x9F\x98\x80"
                                                                            "b\u00C0c")}
                                           << QByteArray("a?b?c\r\n");
    QTest::newRow("unpaired surrogate")
        << QStringList{QString("x") + QChar(0xD800) + "y"} << QByteArray("x?y\r\n");
    QTest::newRow("long line") << QStringList{QString("中").repeated(1000)}
                               << QByteArray("\xD6\xD0").repeated(1000).append("\r\n");
}

void TestChangeLog::encoding() {
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, bytes);
    QCOMPARE(EncodeChangeLog(lines), bytes);
}

void TestChangeLog::utf8Encoding_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("bytes");
    // Local time 8 hours east of UTC (POSIX TZ "CST-8").
    QTest::newRow("no lines") << QStringList() << QByteArray();
    QTest::newRow("padded stamp to ISO 8601, LF")
        << QStringList{ChangeLogDeleteLine(QDateTime(QDate(2024, 3, 5), QTime(9, 7, 2)),
                                           "system/app/中文.apk")}
        << QByteArray("2024-03-05T09:07:02+08:00: DELETE \"system/app/\xE4\xB8\xAD\xE6\x96\x87."
                      "apk\"\n");
    QTest::newRow("two lines") << QStringList{"2023-12-31 23:59:59: ADD \"a\" to \"b\"",
                                              "2024- 1- 1  0: 0: 0: DELETE \"c\""}
                               << QByteArray("2023-12-31T23:59:59+08:00: ADD \"a\" to \"b\"\n"
                                             "2024-01-01T00:00:00+08:00: DELETE \"c\"\n");
    QTest::newRow("a line without a stamp is kept")
        << QStringList{"free text", "2024-13-01 00:00:00: month 13"}
        << QByteArray("free text\n2024-13-01 00:00:00: month 13\n");
}

void TestChangeLog::utf8Encoding() {
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, bytes);
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "CST-8");
    tzset();
    const QByteArray encoded = EncodeChangeLogUtf8(lines);
    if (zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    tzset();
    QCOMPARE(encoded, bytes);
}

void TestChangeLog::writeReplacesOldFileAndEmptiesLines_data() {
    QTest::addColumn<bool>("oldFile");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("no lines, no old file") << false << QStringList() << QByteArray();
    QTest::newRow("no lines replace old file") << true << QStringList() << QByteArray();
    QTest::newRow("three lines in order, old file replaced")
        << true << QStringList{"first", "第二", "third"}
        << QByteArray("first\r\n\xB5\xDA\xB6\xFE\r\nthird\r\n");
}

void TestChangeLog::writeReplacesOldFileAndEmptiesLines() {
    QFETCH(bool, oldFile);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, bytes);

    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    if (oldFile)
        QVERIFY(WriteFile(path, QByteArray("an old log of a previous run, longer than the new\n")));
    QStringList log = lines;
    QVERIFY(WriteChangeLogFile(path, log).succeeded());
    QVERIFY(log.isEmpty());
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(ReadFile(path), bytes);
}

void TestChangeLog::deleteFailureKeepsFileAndLines() {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    QVERIFY(WriteFile(path, "old"));
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
        return op == FileHelpers::FileOp::MoveFile && target == path;
    });
    QStringList log{"kept"};
    const Result result = WriteChangeLogFile(path, log);
    QVERIFY(result.failed());
    QCOMPARE(result.notice().text, QStringLiteral("Delete log.txt failed"));
    QVERIFY2(result.cause().contains(path), qPrintable(result.cause()));
    QCOMPARE(log, QStringList{"kept"});
    QCOMPARE(ReadFile(path), QByteArray("old"));
}

void TestChangeLog::createFailureKeepsLines() {
    QTemporaryDir dir;
    // The directory that should hold the file is missing.
    const QString path = dir.filePath("gone/log.txt");
    QStringList log{"kept", "also kept"};
    const Result result = WriteChangeLogFile(path, log);
    QVERIFY(result.failed());
    QCOMPARE(result.notice().text, QStringLiteral("Failed to write log.txt"));
    QVERIFY2(result.cause().contains(path), qPrintable(result.cause()));
    QCOMPARE(log, (QStringList{"kept", "also kept"}));
    QVERIFY(!QFileInfo::exists(path));
}

void TestChangeLog::writeChangeLogBesideExecutable() {
    Workspace w;
    QVERIFY(WriteFile(w.logFile(), "previous run"));
    const QString line = "2015- 3- 5  9: 5: 7: DELETE \"/t/srctemp/userdata/app/应用.apk\"";
    RecordChange(w.op, line);
    QVERIFY(QFileInfo::exists(w.journal()));
    const Result result = WriteChangeLog(w.op);
    QVERIFY2(result.succeeded(), qPrintable(result.cause()));
    QCOMPARE(result.notice().kind, Notice::Kind::None);
    QVERIFY(w.state.changeLog().isEmpty());
    QCOMPARE(
        ReadFile(w.logFile()),
        QByteArray(
            "2015- 3- 5  9: 5: 7: DELETE \"/t/srctemp/userdata/app/\xD3\xA6\xD3\xC3.apk\"\r\n"));
    // Written: the journal has served its purpose.
    QVERIFY(!QFileInfo::exists(w.journal()));
    QVERIFY(w.reporter.texts().isEmpty());
}

void TestChangeLog::writeChangeLogReportsDeleteFailure() {
    Workspace w;
    QVERIFY(WriteFile(w.logFile(), "previous run"));
    const QString path = w.logFile();
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
        return op == FileHelpers::FileOp::MoveFile && target == path;
    });
    RecordChange(w.op, "line");
    const Result result = WriteChangeLog(w.op);
    QVERIFY(result.failed());
    QVERIFY(!result.cause().isEmpty());
    QCOMPARE(result.notice().text, QStringLiteral("Delete log.txt failed"));
    QCOMPARE(result.notice().box, Notice::Box::Application);
    QCOMPARE(w.state.changeLog(), QStringList{"line"});
    QCOMPARE(ReadFile(w.logFile()), QByteArray("previous run"));
    QCOMPARE(ReadChangeLogJournal(w.journal()), QStringList{"line"});
    QVERIFY(w.reporter.texts().isEmpty());
}

void TestChangeLog::writeChangeLogReportsWriteFailure_data() {
    QTest::addColumn<bool>("createFails");
    // A full disk: the file is created but the text does not reach it.
    QTest::newRow("write fails") << false;
    // The workspace's directory is gone: the file cannot be created.
    QTest::newRow("create fails") << true;
}

void TestChangeLog::writeChangeLogReportsWriteFailure() {
    QFETCH(bool, createFails);
    Workspace w;
    RecordChange(w.op, "line");
    if (createFails) {
        w.state.setAppDirectory(w.bundle.file("gone"));
    } else {
        const QString path = w.logFile();
        FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
            return op == FileHelpers::FileOp::WriteFile && target.startsWith(path);
        });
    }
    // The lines and the journal are kept for the next close.
    const Result result = WriteChangeLog(w.op);
    QVERIFY(result.failed());
    QVERIFY(!result.cause().isEmpty());
    QCOMPARE(result.notice().text, QStringLiteral("Failed to write log.txt"));
    QCOMPARE(result.notice().box, Notice::Box::Application);
    QCOMPARE(w.state.changeLog(), QStringList{"line"});
    QVERIFY(w.reporter.texts().isEmpty());
    QCOMPARE(ReadChangeLogJournal(w.bundle.file("zipTemp/log.journal")), QStringList{"line"});
}

void TestChangeLog::recordChangeKeepsJournal() {
    Workspace w;
    RecordChange(w.op, "first 第一");
    // One line per entry, whatever the text holds.
    RecordChange(w.op, "second\nhalf");
    QCOMPARE(w.state.changeLog(), QStringList({"first 第一", "second\nhalf"}));
    QCOMPARE(ReadChangeLogJournal(w.journal()), QStringList({"first 第一", "second half"}));
    QCOMPARE(ReadFile(w.journal()), QByteArray("first \xE7\xAC\xAC\xE4\xB8\x80\nsecond half\n"));
}

void TestChangeLog::journalOfUnclosedRunIsTakenUp_data() {
    QTest::addColumn<QStringList>("earlier");
    QTest::newRow("no journal") << QStringList();
    QTest::newRow("two lines") << QStringList({"earlier one", "earlier 二"});
}

void TestChangeLog::journalOfUnclosedRunIsTakenUp() {
    QFETCH(QStringList, earlier);
    Workspace w;
    {
        // A run that recorded its lines and never closed.
        AppState crashed(w.bundle.path());
        const Operation op{crashed, w.reporter, w.runner};
        for (const QString& line : earlier)
            RecordChange(op, line);
    }
    TakeUpChangeLogJournal(w.op);
    QCOMPARE(w.state.changeLog(), earlier);
    RecordChange(w.op, "this run");
    QVERIFY(WriteChangeLog(w.op).succeeded());
    QCOMPARE(ReadFile(w.logFile()), EncodeChangeLog(earlier + QStringList{"this run"}));
    QVERIFY(!QFileInfo::exists(w.journal()));
    QVERIFY(w.reporter.texts(RecordingReporter::Kind::Warning).isEmpty());
}

QTEST_GUILESS_MAIN(TestChangeLog)
#include "tst_ChangeLog.moc"
