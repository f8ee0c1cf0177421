#include "support/TestBundle.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestFileHelpers : public QObject {
    Q_OBJECT
private slots:
    void pathExists();
    void deleteMissingAndEmpty();
    void deleteDeepTree();
    void deleteStopsAtUndeletableFile();
    void deleteUndeletableFileOneLevelDown();
    void listIsCaseInsensitive();
    void copyFile();
    void moveFile();
    void cleanup() { FileHelpers::SetFileFaultsForTesting(nullptr); }
};

void TestFileHelpers::pathExists() {
    QTemporaryDir dir;
    const QString file = dir.filePath("a.txt");
    QVERIFY(WriteFile(file, "x"));
    QVERIFY(FileHelpers::PathExists(file));
    QVERIFY(FileHelpers::PathExists(dir.path()));
    QVERIFY(!FileHelpers::PathExists(dir.filePath("missing")));
    QVERIFY(!FileHelpers::PathExists(dir.path() + "/"));
    QVERIFY(!FileHelpers::PathExists(QString()));
}

void TestFileHelpers::deleteMissingAndEmpty() {
    QTemporaryDir dir;
    QVERIFY(FileHelpers::DeleteDirectoryTree(dir.filePath("missing")));
    const QString empty = dir.filePath("empty");
    QVERIFY(QDir().mkdir(empty));
    QVERIFY(FileHelpers::DeleteDirectoryTree(empty));
    QVERIFY(!FileHelpers::PathExists(empty));
}

void TestFileHelpers::deleteDeepTree() {
    QTemporaryDir dir;
    const QString root = dir.filePath("tree");
    QVERIFY(WriteFile(root + "/a/b/c/file.txt", "1"));
    QVERIFY(WriteFile(root + "/a/top.txt", "2"));
    QVERIFY(WriteFile(root + "/root.txt", "3"));
    QVERIFY(QDir().mkpath(root + "/a/empty"));
    QVERIFY(FileHelpers::DeleteDirectoryTree(root));
    QVERIFY(!FileHelpers::PathExists(root));
}

void TestFileHelpers::deleteStopsAtUndeletableFile() {
    QTemporaryDir dir;
    const QString root = dir.filePath("tree");
    for (const char* name : {"a.txt", "B.txt", "c.txt", "d.txt"})
        QVERIFY(WriteFile(root + "/" + name, "x"));
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::RemoveFile && path == root + "/c.txt";
    });
    QVERIFY(!FileHelpers::DeleteDirectoryTree(root));
    QVERIFY(!FileHelpers::PathExists(root + "/a.txt"));
    QVERIFY(!FileHelpers::PathExists(root + "/B.txt"));
    QVERIFY(FileHelpers::PathExists(root + "/c.txt"));
    QVERIFY(FileHelpers::PathExists(root + "/d.txt"));
    QVERIFY(FileHelpers::PathExists(root));
}

void TestFileHelpers::deleteUndeletableFileOneLevelDown() {
    QTemporaryDir dir;
    const QString root = dir.filePath("tree");
    QVERIFY(WriteFile(root + "/sub/1.txt", "x"));
    QVERIFY(WriteFile(root + "/sub/2.txt", "x"));
    QVERIFY(WriteFile(root + "/sub/3.txt", "x"));
    QVERIFY(WriteFile(root + "/z.txt", "x"));
    FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString& path) {
        return op == FileHelpers::FileOp::RemoveFile && path == root + "/sub/2.txt";
    });
    QVERIFY(!FileHelpers::DeleteDirectoryTree(root));
    QVERIFY(!FileHelpers::PathExists(root + "/sub/1.txt"));
    QVERIFY(FileHelpers::PathExists(root + "/sub/2.txt"));
    QVERIFY(FileHelpers::PathExists(root + "/sub/3.txt"));
    QVERIFY(!FileHelpers::PathExists(root + "/z.txt"));
    QVERIFY(FileHelpers::PathExists(root));
}

void TestFileHelpers::listIsCaseInsensitive() {
    QTemporaryDir dir;
    for (const char* name : {"b.apk", "A.apk", "C.apk", "a2.apk"})
        QVERIFY(WriteFile(dir.filePath(name), "x"));
    QCOMPARE(FileHelpers::ListDirectory(dir.path()), QStringList({"A.apk", "a2.apk", "b.apk", "C.apk"}));
    QVERIFY(FileHelpers::ListDirectory(dir.filePath("missing")).isEmpty());
}

void TestFileHelpers::copyFile() {
    QTemporaryDir dir;
    const QString from = dir.filePath("from.bin");
    const QString to = dir.filePath("to.bin");
    QVERIFY(WriteFile(from, "new"));
    QVERIFY(WriteFile(to, "old"));
    QVERIFY(!FileHelpers::CopyFileTo(from, to, true));
    QCOMPARE(ReadFile(to), QByteArray("old"));
    QVERIFY(FileHelpers::CopyFileTo(from, to, false));
    QCOMPARE(ReadFile(to), QByteArray("new"));
    QVERIFY(!FileHelpers::CopyFileTo(dir.filePath("missing"), to, false));
    QVERIFY(!FileHelpers::CopyFileTo(from, dir.filePath("no/such/dir/x"), false));
}

void TestFileHelpers::moveFile() {
    QTemporaryDir dir;
    const QString from = dir.filePath("from.bin");
    const QString to = dir.filePath("to.bin");
    QVERIFY(WriteFile(from, "data"));
    QVERIFY(WriteFile(to, "taken"));
    QVERIFY(!FileHelpers::MoveFileTo(from, to)); // never over an existing file
    QCOMPARE(ReadFile(to), QByteArray("taken"));
    QVERIFY(FileHelpers::RemoveFile(to));
    QVERIFY(FileHelpers::MoveFileTo(from, to));
    QVERIFY(!FileHelpers::PathExists(from));
    QCOMPARE(ReadFile(to), QByteArray("data"));
    QVERIFY(!FileHelpers::MoveFileTo(dir.filePath("missing"), dir.filePath("other")));
}

QTEST_GUILESS_MAIN(TestFileHelpers)
#include "tst_FileHelpers.moc"
