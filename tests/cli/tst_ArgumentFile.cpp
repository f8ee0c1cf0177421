// corvane-cli's argument files (@FILE) read into arguments: what a line
// becomes, from the bytes an editor may have written.
#include "cli/CliOptions.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestArgumentFile : public QObject {
    Q_OBJECT
private slots:
    void linesBecomeArguments_data();
    void linesBecomeArguments();
    void oversizedArgumentFileIsRefused_data();
    void oversizedArgumentFileIsRefused();
};

void TestArgumentFile::linesBecomeArguments_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("one argument a line") << QByteArray("edit\nupdate.zip\n-o\nout.zip\n")
                                         << QStringList{"edit", "update.zip", "-o", "out.zip"};
    QTest::newRow("no newline at the end")
        << QByteArray("info\nupdate.zip") << QStringList{"info", "update.zip"};
    QTest::newRow("CRLF line ends")
        << QByteArray("info\r\nupdate.zip\r\n") << QStringList{"info", "update.zip"};
    QTest::newRow("blank lines and comments skipped")
        << QByteArray("# the package\n\ninfo\n \t\r\n  # indented is an argument\n")
        << QStringList{"info", "  # indented is an argument"};
    QTest::newRow("spaces inside and around kept")
        << QByteArray(" my package.zip \n") << QStringList{" my package.zip "};
    QTest::newRow("UTF-8 names") << QByteArray("\xc3\xa9t\xc3\xa9.apk\n")
                                 << QStringList{QString::fromUtf8("\xc3\xa9t\xc3\xa9.apk")};
    QTest::newRow("invalid UTF-8 becomes replacement characters")
        << QByteArray("a\xff.apk\n") << QStringList{QStringLiteral("a\uFFFD.apk")};
    QTest::newRow("byte order mark dropped")
        << QByteArray("\xef\xbb\xbfinfo\nupdate.zip\n") << QStringList{"info", "update.zip"};
    QTest::newRow("byte order mark before a comment")
        << QByteArray("\xef\xbb\xbf# the package\ninfo\n") << QStringList{"info"};
    QTest::newRow("byte order mark alone on the first line")
        << QByteArray("\xef\xbb\xbf\r\ninfo\n") << QStringList{"info"};
    QTest::newRow("empty file") << QByteArray() << QStringList{};
}

void TestArgumentFile::linesBecomeArguments() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, arguments);
    QCOMPARE(ParseArgumentFile(bytes), arguments);
}

void TestArgumentFile::oversizedArgumentFileIsRefused_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<qsizetype>("size"); // of a regular file made for the row; -1: none
    QTest::addColumn<bool>("accepted");
    QTest::newRow("at the limit") << QString() << kLargestArgumentFile << true;
    QTest::newRow("a byte past the limit") << QString() << kLargestArgumentFile + 1 << false;
    QTest::newRow("a device that never ends")
        << QStringLiteral("/dev/zero") << qsizetype(-1) << false;
}

void TestArgumentFile::oversizedArgumentFileIsRefused() {
    QFETCH(QString, file);
    QFETCH(qsizetype, size);
    QFETCH(bool, accepted);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    if (size >= 0) {
        file = directory.filePath(QStringLiteral("arguments"));
        QFile made(file);
        QVERIFY(made.open(QIODevice::WriteOnly));
        QByteArray line(size, 'a');
        line[size - 1] = '\n';
        QCOMPARE(made.write(line), qint64(size));
    }
    QStringList expanded;
    QString error;
    QCOMPARE(ExpandArgumentFiles({QLatin1Char('@') + file}, &expanded, &error), accepted);
    if (accepted) {
        QCOMPARE(expanded.size(), 1);
    } else {
        QCOMPARE(error, QStringLiteral("the argument file \"%1\" is larger than 1 MiB").arg(file));
    }
}

QTEST_APPLESS_MAIN(TestArgumentFile)
#include "tst_ArgumentFile.moc"
