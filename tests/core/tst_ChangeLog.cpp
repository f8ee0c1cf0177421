#include "core/ChangeLog.h"

#include "gui/CCorvaneApp.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"
#include "gui/ChangeLogWriter.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestChangeLog : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { FileHelpers::SetFileFaultsForTesting(nullptr); }
    void dateAndTime_data();
    void dateAndTime();
    void lineFormats();
    void encoding_data();
    void encoding();
    void writeReplacesOldFileAndEmptiesLines_data();
    void writeReplacesOldFileAndEmptiesLines();
    void deleteFailureKeepsFileAndLines();
    void createFailureKeepsLines();
    void writeChangeLogBesideExecutable();
    void writeChangeLogReportsDeleteFailure();
    void writeChangeLogReportsWriteFailure();
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
    QCOMPARE(WriteChangeLogFile(path, log), ChangeLogWriteResult::Written);
    QVERIFY(log.isEmpty());
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(ReadFile(path), bytes);
}

void TestChangeLog::deleteFailureKeepsFileAndLines() {
    QTemporaryDir dir;
    const QString path = dir.filePath("log.txt");
    QVERIFY(WriteFile(path, "old"));
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
        return op == FileHelpers::FileOp::RemoveFile && target == path;
    });
    QStringList log{"kept"};
    QCOMPARE(WriteChangeLogFile(path, log), ChangeLogWriteResult::DeleteFailed);
    QCOMPARE(log, QStringList{"kept"});
    QCOMPARE(ReadFile(path), QByteArray("old"));
}

void TestChangeLog::createFailureKeepsLines() {
    QTemporaryDir dir;
    // The directory that should hold the file is missing.
    const QString path = dir.filePath("gone/log.txt");
    QStringList log{"kept", "also kept"};
    QCOMPARE(WriteChangeLogFile(path, log), ChangeLogWriteResult::CreateFailed);
    QCOMPARE(log, (QStringList{"kept", "also kept"}));
    QVERIFY(!QFileInfo::exists(path));
}

void TestChangeLog::writeChangeLogBesideExecutable() {
    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    const QString path = bundle.file("log.txt");
    QVERIFY(WriteFile(path, "previous run"));
    CCorvaneApp& app = theApp();
    app.ChangeLog = QStringList{"2015- 3- 5  9: 5: 7: DELETE \"/t/srctemp/userdata/app/应用.apk\""};
    QVERIFY(WriteChangeLog());
    QVERIFY(app.ChangeLog.isEmpty());
    QCOMPARE(
        ReadFile(path),
        QByteArray(
            "2015- 3- 5  9: 5: 7: DELETE \"/t/srctemp/userdata/app/\xD3\xA6\xD3\xC3.apk\"\r\n"));
    QVERIFY(dialogs.boxes.isEmpty());
}

void TestChangeLog::writeChangeLogReportsDeleteFailure() {
    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    const QString path = bundle.file("log.txt");
    QVERIFY(WriteFile(path, "previous run"));
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
        return op == FileHelpers::FileOp::RemoveFile && target == path;
    });
    theApp().ChangeLog = QStringList{"line"};
    QVERIFY(!WriteChangeLog());
    QCOMPARE(theApp().ChangeLog, QStringList{"line"});
    QCOMPARE(ReadFile(path), QByteArray("previous run"));
    QCOMPARE(dialogs.boxes.size(), 1);
    QCOMPARE(dialogs.boxes.first().text, QString("Delete log.txt failed"));
    QCOMPARE(dialogs.boxes.first().icon, UiDialogs::Icon::Exclamation);
    QCOMPARE(dialogs.boxes.first().buttons, UiDialogs::Buttons::Ok);
}

void TestChangeLog::writeChangeLogReportsWriteFailure() {
    // A full disk: the file is created but the text does not reach it.
    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    const QString path = bundle.file("log.txt");
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& target) {
        return op == FileHelpers::FileOp::WriteFile && target == path;
    });
    theApp().ChangeLog = QStringList{"line"};
    QVERIFY(WriteChangeLog());
    QCOMPARE(theApp().ChangeLog, QStringList{"line"});
    QCOMPARE(dialogs.texts(), QStringList{"Failed to write log.txt"});
    QCOMPARE(dialogs.boxes.first().icon, UiDialogs::Icon::Exclamation);
}

QTEST_MAIN(TestChangeLog)
#include "tst_ChangeLog.moc"
