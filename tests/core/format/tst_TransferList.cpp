// The transfer list of a block image: read with bounds, incremental lists
// refused, written from used blocks and read back.
#include "core/format/TransferList.h"

#include <QTest>

Q_DECLARE_METATYPE(QList<BlockRange>)

class TestTransferList : public QObject {
    Q_OBJECT
private slots:
    void fullListsRead_data();
    void fullListsRead();
    void damagedListsAreRefused_data();
    void damagedListsAreRefused();
    void incrementalListsAreRefusedByName_data();
    void incrementalListsAreRefusedByName();
    void writtenListReadsBack_data();
    void writtenListReadsBack();
    void longRunsAreSplitIntoCommandsOf1024Blocks();
};

void TestTransferList::fullListsRead_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("version");
    QTest::addColumn<quint64>("newBlocks");
    QTest::addColumn<quint64>("imageBlocks");
    QTest::addColumn<int>("commands");
    QTest::addRow("version 1") << QByteArray("1\n3\nnew 2,0,2\nzero 2,2,3\nerase 2,3,10\n") << 1
                               << quint64(2) << quint64(10) << 3;
    QTest::addRow("version 2") << QByteArray("2\n2\n0\n0\nnew 4,0,1,5,6\n") << 2 << quint64(2)
                               << quint64(6) << 1;
    QTest::addRow("version 4, erase first")
        << QByteArray("4\n4\n0\n0\nerase 2,8,16\nnew 2,4,6\nnew 2,0,1\nzero 2,6,7\n") << 4
        << quint64(3) << quint64(16) << 4;
    QTest::addRow("no final line end")
        << QByteArray("3\n1\n0\n0\nnew 2,0,1") << 3 << quint64(1) << quint64(1) << 1;
    QTest::addRow("no commands") << QByteArray("4\n0\n0\n0\n") << 4 << quint64(0) << quint64(0)
                                 << 0;
}

void TestTransferList::fullListsRead() {
    QFETCH(QByteArray, text);
    QFETCH(int, version);
    QFETCH(quint64, newBlocks);
    QFETCH(quint64, imageBlocks);
    QFETCH(int, commands);
    TransferList list;
    QString error;
    QVERIFY2(ParseTransferList(text, &list, &error), qPrintable(error));
    QCOMPARE(list.version, version);
    QCOMPARE(list.newBlocks, newBlocks);
    QCOMPARE(list.imageBlocks, imageBlocks);
    QCOMPARE(list.commands.size(), commands);
}

void TestTransferList::damagedListsAreRefused_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("cause");
    QTest::addRow("empty") << QByteArray() << "header ends early";
    QTest::addRow("version 0") << QByteArray("0\n0\n") << "version";
    QTest::addRow("version 5") << QByteArray("5\n0\n0\n0\n") << "version";
    QTest::addRow("version 2 without stash lines") << QByteArray("2\n0\n") << "header ends early";
    QTest::addRow("signed count") << QByteArray("4\n-1\n0\n0\n") << "not a number";
    QTest::addRow("overflowing count")
        << QByteArray("4\n99999999999999999999999\n0\n0\n") << "not a number";
    QTest::addRow("odd count") << QByteArray("4\n1\n0\n0\nnew 3,0,1,2\n") << "does not match";
    QTest::addRow("count says more") << QByteArray("4\n1\n0\n0\nnew 4,0,1\n") << "does not match";
    QTest::addRow("count says fewer")
        << QByteArray("4\n1\n0\n0\nnew 2,0,1,2,3\n") << "does not match";
    QTest::addRow("zero count") << QByteArray("4\n0\n0\n0\nnew 0\n") << "does not match";
    QTest::addRow("empty range") << QByteArray("4\n0\n0\n0\nnew 2,5,5\n") << "is empty";
    QTest::addRow("reversed range") << QByteArray("4\n0\n0\n0\nnew 2,5,3\n") << "is empty";
    QTest::addRow("beyond 1 TiB") << QByteArray("4\n1\n0\n0\nnew 2,268435455,268435457\n")
                                  << "not a number below";
    QTest::addRow("overlap in a set") << QByteArray("4\n4\n0\n0\nnew 4,0,3,2,3\n") << "overlap";
    QTest::addRow("block named twice")
        << QByteArray("4\n2\n0\n0\nnew 2,0,1\nzero 2,0,1\n") << "named by two commands";
    QTest::addRow("header undercounts")
        << QByteArray("4\n1\n0\n0\nnew 2,0,2\n") << "counts 1 blocks, its commands write 2";
    QTest::addRow("unknown command") << QByteArray("4\n0\n0\n0\ntrim 2,0,1\n") << "unknown";
    QTest::addRow("command without ranges")
        << QByteArray("4\n0\n0\n0\nnew\n") << "without its range set";
    QTest::addRow("verity hash tree")
        << QByteArray("4\n0\n0\n0\ncompute_hash_tree 2,0,1 2,1,2 sha256 00 00\n") << "unknown";
    QTest::addRow("space in a number") << QByteArray("4\n1\n0\n0\nnew 2,0, 1\n") << "not a number";
}

void TestTransferList::damagedListsAreRefused() {
    QFETCH(QByteArray, text);
    QFETCH(QString, cause);
    TransferList list;
    QString error;
    QVERIFY(!ParseTransferList(text, &list, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
    QVERIFY(!IsIncrementalTransferCause(error));
}

void TestTransferList::incrementalListsAreRefusedByName_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("command");
    QTest::addRow("move") << QByteArray("4\n1\n0\n0\nmove 2,0,1 1 2,5,6\n") << "move";
    QTest::addRow("bsdiff") << QByteArray("3\n1\n0\n0\nbsdiff 0 10 aa bb 2,0,1 1 2,5,6\n")
                            << "bsdiff";
    QTest::addRow("imgdiff") << QByteArray("2\n1\n0\n0\nimgdiff 0 10 2,0,1 1 2,5,6\n") << "imgdiff";
    QTest::addRow("stash") << QByteArray("4\n1\n1\n1\nstash aa 2,0,1\nnew 2,0,1\n") << "stash";
    QTest::addRow("free") << QByteArray("4\n0\n1\n1\nfree aa\n") << "free";
    QTest::addRow("v1 move") << QByteArray("1\n1\nmove 2,0,1 2,5,6\n") << "move";
}

void TestTransferList::incrementalListsAreRefusedByName() {
    QFETCH(QByteArray, text);
    QFETCH(QString, command);
    TransferList list;
    QString error;
    QVERIFY(!ParseTransferList(text, &list, &error));
    QVERIFY(IsIncrementalTransferCause(error));
    QVERIFY2(error.contains(QString("a %1 command").arg(command)), qPrintable(error));
}

void TestTransferList::writtenListReadsBack_data() {
    QTest::addColumn<int>("version");
    QTest::addColumn<quint64>("imageBlocks");
    QTest::addColumn<QList<BlockRange>>("newRanges");
    QTest::addColumn<QList<BlockRange>>("zeroRanges");
    QTest::addColumn<bool>("erase");
    QTest::addColumn<QByteArray>("expected");
    QTest::addRow("v4 erased free blocks")
        << 4 << quint64(20) << QList<BlockRange>{{0, 3}, {10, 12}} << QList<BlockRange>{{5, 6}}
        << true << QByteArray("4\n6\n0\n0\nerase 6,3,5,6,10,12,20\nnew 4,0,3,10,12\nzero 2,5,6\n");
    QTest::addRow("v1 zeroed free blocks")
        << 1 << quint64(8) << QList<BlockRange>{{0, 2}} << QList<BlockRange>{} << false
        << QByteArray("1\n8\nnew 2,0,2\nzero 2,2,8\n");
    QTest::addRow("every block used")
        << 3 << quint64(4) << QList<BlockRange>{{0, 4}} << QList<BlockRange>{} << true
        << QByteArray("3\n4\n0\n0\nnew 2,0,4\n");
}

void TestTransferList::writtenListReadsBack() {
    QFETCH(int, version);
    QFETCH(quint64, imageBlocks);
    QFETCH(QList<BlockRange>, newRanges);
    QFETCH(QList<BlockRange>, zeroRanges);
    QFETCH(bool, erase);
    QFETCH(QByteArray, expected);
    const QByteArray text = WriteTransferList(version, imageBlocks, newRanges, zeroRanges, erase);
    QCOMPARE(text, expected);
    TransferList list;
    QString error;
    QVERIFY2(ParseTransferList(text, &list, &error), qPrintable(error));
    QCOMPARE(list.version, version);
    QCOMPARE(list.imageBlocks, imageBlocks);
}

void TestTransferList::longRunsAreSplitIntoCommandsOf1024Blocks() {
    const QByteArray text = WriteTransferList(4, 3000, {{0, 1000}, {1500, 2600}}, {}, true);
    TransferList list;
    QString error;
    QVERIFY2(ParseTransferList(text, &list, &error), qPrintable(error));
    QCOMPARE(list.newBlocks, quint64(2100));
    QList<quint64> sizes;
    for (const TransferCommand& command : list.commands)
        if (command.kind == TransferCommand::Kind::New)
            sizes.append(command.blocks);
    QCOMPARE(sizes, (QList<quint64>{1024, 1024, 52}));
    QVERIFY(text.contains("\nnew 4,0,1000,1500,1524\n"));
}

QTEST_GUILESS_MAIN(TestTransferList)
#include "tst_TransferList.moc"
