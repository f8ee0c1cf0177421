#include "core/base/FileHelpers.h"
#include "support/TestBundle.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestFileHelpers : public QObject {
    Q_OBJECT
private slots:
    void pathExists();
    void deleteMissingAndEmpty();
    void deleteDeepTree();
    void deleteStopsAtUndeletableFile();
    void deleteUndeletableFileOneLevelDown();
    void deleteWhateverBytesNamesHold_data();
    void deleteWhateverBytesNamesHold();
    void deleteRemovesLinksNotTheirTargets();
    void listOrder_data();
    void listOrder();
    void listMissingDirectory();
    void copyFile();
    void copyOfReadOnlySourceIsOwnerWritable();
    void moveFile();
    void replaceFile_data();
    void replaceFile();
    void replaceFileRefuses_data();
    void replaceFileRefuses();
    void temporaryFileCommitsOrLeavesNoTrace();
    void temporaryFilesAreUniqueAndNeverFollowLinks();
    void abandonedTemporariesGoLiveOnesStay();
    void copyReplacingKeepsTargetOnFailure();
    void replacementKeepsTheModeOfWhatItReplaces_data();
    void replacementKeepsTheModeOfWhatItReplaces();
    void targetOfTheLongestNameHasRoomForItsTemporary();
    void privateDirectoryIsMadeOrTightened();
    void sameFile_data();
    void sameFile();
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

// Names as 7-Zip writes them from a package without the UTF-8 flag: raw
// bytes that are no UTF-8, which a QString path cannot spell.
void TestFileHelpers::deleteWhateverBytesNamesHold_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("code page 936") << QByteArray("\xd2\xf4\xc0\xd6.apk");
    QTest::newRow("invalid bytes") << QByteArray("bad\xff\x80");
    QTest::newRow("a lone continuation byte") << QByteArray("\x80");
    QTest::newRow("utf-8") << QByteArray("\xe9\x9f\xb3\xe4\xb9\x90");
}

void TestFileHelpers::deleteWhateverBytesNamesHold() {
    QFETCH(QByteArray, name);
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.filePath("tree"));
    const QByteArray directory = root + "/" + name;
    QCOMPARE(::mkdir(root.constData(), 0755), 0);
    QCOMPARE(::mkdir(directory.constData(), 0755), 0);
    for (const QByteArray& file : {root + "/" + name + ".txt", directory + "/" + name}) {
        const int fd = ::open(file.constData(), O_CREAT | O_WRONLY | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "x", 1), ssize_t(1));
        ::close(fd);
    }
    QCOMPARE(::chmod(directory.constData(), 0500), 0); // not writable: made so for the delete
    QVERIFY(FileHelpers::DeleteDirectoryTree(QFile::decodeName(root)));
    QVERIFY(!FileHelpers::PathExists(QFile::decodeName(root)));
}

void TestFileHelpers::deleteRemovesLinksNotTheirTargets() {
    QTemporaryDir dir;
    const QString root = dir.filePath("tree");
    const QString outside = dir.filePath("outside");
    QVERIFY(WriteFile(outside + "/keep.txt", "keep"));
    QVERIFY(WriteFile(root + "/a.txt", "x"));
    QVERIFY(QFile::link(outside, root + "/to-directory"));
    QVERIFY(QFile::link(outside + "/keep.txt", root + "/to-file"));
    QVERIFY(FileHelpers::DeleteDirectoryTree(root));
    QVERIFY(!FileHelpers::PathExists(root));
    QCOMPARE(ReadFile(outside + "/keep.txt"), QByteArray("keep"));
}

void TestFileHelpers::listOrder_data() {
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("case folded") << QStringList({"A.apk", "a2.apk", "b.apk", "C.apk"});
    QTest::newRow("same name in two cases: upper first") << QStringList({"ABC", "abc", "abd"});
    QTest::newRow("digits before letters") << QStringList({"1.apk", "9", "a", "B"});
    // Folded to UPPER case, the characters between 'Z' and 'a' follow the
    // letters instead of coming before the lower-case ones.
    QTest::newRow("underscore after letters") << QStringList({"apple", "Zed", "_Foo", "_foo2"});
    QTest::newRow("punctuation between Z and a")
        << QStringList({"a", "Banana", "zed", "[x", "\\x", "]x", "^x", "_x", "`x", "{x"});
    QTest::newRow("hidden names by their dot") << QStringList({"-x", ".hidden", "0", "A"});
    QTest::newRow("prefix first") << QStringList({"app", "app.apk", "App2", "apps"});
}

void TestFileHelpers::listOrder() {
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    // Created in reverse, so that creation order cannot pass for sorting.
    for (auto it = expected.crbegin(); it != expected.crend(); ++it)
        QVERIFY(WriteFile(dir.filePath(*it), "x"));
    QCOMPARE(FileHelpers::ListDirectory(dir.path()), expected);
}

void TestFileHelpers::listMissingDirectory() {
    QTemporaryDir dir;
    QVERIFY(FileHelpers::ListDirectory(dir.filePath("missing")).isEmpty());
    QVERIFY(FileHelpers::ListDirectory(QString()).isEmpty());
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

void TestFileHelpers::copyOfReadOnlySourceIsOwnerWritable() {
    QTemporaryDir dir;
    const QString from = dir.filePath("readonly.img");
    const QString to = dir.filePath("copy.img");
    QVERIFY(WriteFile(from, "image"));
    const auto readOnly = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    QVERIFY(QFile::setPermissions(from, readOnly)); // 0444
    QVERIFY(FileHelpers::CopyFileTo(from, to, true));
    QCOMPARE(ReadFile(to), QByteArray("image"));
    QVERIFY(QFile::permissions(to) & QFileDevice::WriteOwner);
    QVERIFY(QFile::permissions(to) & QFileDevice::ReadOwner);
    // The source is left as it was.
    QCOMPARE(QFile::permissions(from) &
                 ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
             readOnly);
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

void TestFileHelpers::replaceFile_data() {
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("over an existing file") << true;
    QTest::newRow("to a new name") << false;
}

void TestFileHelpers::replaceFile() {
    QFETCH(bool, targetExists);
    QTemporaryDir dir;
    const QString from = dir.filePath(".target.corvane-part");
    const QString to = dir.filePath("target 包.zip");
    const QString oldLink = dir.filePath("old-link");
    QVERIFY(WriteFile(from, "new bytes"));
    if (targetExists) {
        QVERIFY(WriteFile(to, "old bytes, longer than the new ones"));
        QVERIFY(::link(QFile::encodeName(to).constData(), QFile::encodeName(oldLink).constData()) ==
                0);
    }
    const ino_t newInode = Inode(from);
    QVERIFY(newInode != 0);
    QVERIFY(FileHelpers::ReplaceFile(from, to));
    QCOMPARE(ReadFile(to), QByteArray("new bytes"));
    QVERIFY(!FileHelpers::PathExists(from));
    // Renamed, not copied: the target is the new file itself, and the old
    // file was never rewritten in place.
    QCOMPARE(Inode(to), newInode);
    if (targetExists)
        QCOMPARE(ReadFile(oldLink), QByteArray("old bytes, longer than the new ones"));
}

void TestFileHelpers::replaceFileRefuses_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing source") << "missing";
    QTest::newRow("target is a directory") << "directory";
    QTest::newRow("source is a directory") << "source directory";
    QTest::newRow("fault") << "fault";
}

void TestFileHelpers::replaceFileRefuses() {
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QString from = dir.filePath("new.bin");
    QString to = dir.filePath("target.bin");
    QVERIFY(WriteFile(from, "new"));
    QVERIFY(WriteFile(to, "old"));
    if (kind == "missing") {
        from = dir.filePath("missing");
    } else if (kind == "directory") {
        to = dir.filePath("dir");
        QVERIFY(WriteFile(to + "/inside", "kept"));
    } else if (kind == "source directory") {
        from = dir.filePath("srcdir");
        QVERIFY(WriteFile(from + "/inside", "kept"));
    } else {
        FileHelpers::SetFileFaultsForTesting([&](FileHelpers::FileOp op, const QString&) {
            return op == FileHelpers::FileOp::MoveFile;
        });
    }
    const QByteArray before = ReadFile(to);
    QVERIFY(!FileHelpers::ReplaceFile(from, to));
    QCOMPARE(ReadFile(to), before);
    if (kind == "directory")
        QCOMPARE(ReadFile(to + "/inside"), QByteArray("kept"));
    if (kind == "fault")
        QCOMPARE(ReadFile(from), QByteArray("new"));
}

namespace {
QStringList temporariesIn(const QString& directory) {
    QStringList names;
    for (const QString& name : QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System))
        if (FileHelpers::IsTemporaryName(name))
            names << name;
    return names;
}
} // namespace

void TestFileHelpers::temporaryFileCommitsOrLeavesNoTrace() {
    QTemporaryDir dir;
    const QString target = dir.path() + "/out.zip";
    QVERIFY(WriteFile(target, "old"));
    {
        FileHelpers::TemporaryFile file(target);
        QVERIFY(file.open());
        QVERIFY(file.write(QByteArray("half")));
        QCOMPARE(temporariesIn(dir.path()).size(), 1);
    } // dropped without commit: the target keeps its bytes, nothing is left
    QCOMPARE(ReadFile(target), QByteArray("old"));
    QVERIFY(temporariesIn(dir.path()).isEmpty());

    FileHelpers::TemporaryFile file(target);
    QString error;
    QVERIFY(file.open(&error));
    QVERIFY2(file.path().startsWith(dir.path() + "/.out.zip."), qPrintable(file.path()));
    QVERIFY(file.write(QByteArray("new"), &error));
    QVERIFY2(file.commit(&error), qPrintable(error));
    QCOMPARE(ReadFile(target), QByteArray("new"));
    QVERIFY(temporariesIn(dir.path()).isEmpty());
}

void TestFileHelpers::temporaryFilesAreUniqueAndNeverFollowLinks() {
    QTemporaryDir dir;
    const QString victim = dir.path() + "/victim";
    QVERIFY(WriteFile(victim, "precious"));
    // The old fixed name, planted as a link, is never opened.
    QVERIFY(QFile::link(victim, dir.path() + "/.out.zip.corvane-part"));
    FileHelpers::TemporaryFile first(dir.path() + "/out.zip");
    FileHelpers::TemporaryFile second(dir.path() + "/out.zip");
    QVERIFY(first.open());
    QVERIFY(second.open());
    QVERIFY(first.path() != second.path());
    QVERIFY(first.write(QByteArray("one")) && second.write(QByteArray("two")));
    QVERIFY(first.commit());
    QVERIFY(second.commit());
    QCOMPARE(ReadFile(dir.path() + "/out.zip"), QByteArray("two"));
    QCOMPARE(ReadFile(victim), QByteArray("precious"));
}

void TestFileHelpers::abandonedTemporariesGoLiveOnesStay() {
    QTemporaryDir dir;
    const QString target = dir.path() + "/out.zip";
    // A writer that was killed leaves its file without a lock.
    const QString abandoned = dir.path() + "/.out.zip.k1lled.corvane-part";
    QVERIFY(WriteFile(abandoned, "half"));
    const QString otherTarget = dir.path() + "/.out.zip.x.k2.corvane-part";
    QVERIFY(WriteFile(otherTarget, "of out.zip.x"));
    const QString userFile = dir.path() + "/.out.zip.notes";
    QVERIFY(WriteFile(userFile, "the user's"));
    // One of today's names, left by a writer that is gone.
    QString current;
    {
        FileHelpers::TemporaryFile killed(target);
        QVERIFY(killed.open());
        current = killed.path();
        QCOMPARE(::link(QFile::encodeName(current).constData(),
                        QFile::encodeName(current + ".keep").constData()),
                 0);
    }
    QVERIFY(QFile::rename(current + ".keep", current));
    FileHelpers::TemporaryFile live(target);
    QVERIFY(live.open());

    FileHelpers::RemoveAbandonedTemporaries(target);
    QVERIFY(!QFile::exists(abandoned));
    QVERIFY(!QFile::exists(current));
    QVERIFY(QFile::exists(live.path()));
    QVERIFY(QFile::exists(otherTarget));
    QVERIFY(QFile::exists(userFile));

    FileHelpers::RemoveAbandonedTemporariesIn(dir.path());
    QVERIFY(!QFile::exists(otherTarget));
    QVERIFY(QFile::exists(live.path()));
    QVERIFY(QFile::exists(userFile));
}

void TestFileHelpers::copyReplacingKeepsTargetOnFailure() {
    QTemporaryDir dir;
    const QString from = dir.path() + "/from";
    const QString to = dir.path() + "/to";
    QVERIFY(WriteFile(from, QByteArray(3 << 20, 'x')));
    QVERIFY(WriteFile(to, "old"));
    FileHelpers::SetFileFaultsForTesting([](FileHelpers::FileOp op, const QString&) {
        return op == FileHelpers::FileOp::WriteFile;
    });
    QString error;
    QVERIFY(!FileHelpers::CopyFileReplacing(from, to, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(ReadFile(to), QByteArray("old"));
    QVERIFY(temporariesIn(dir.path()).isEmpty());
    FileHelpers::SetFileFaultsForTesting(nullptr);
    QVERIFY(FileHelpers::CopyFileReplacing(from, to, &error));
    QCOMPARE(ReadFile(to).size(), 3 << 20);
}

void TestFileHelpers::replacementKeepsTheModeOfWhatItReplaces_data() {
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("existingMode"); // -1: no file yet
    QTest::addColumn<int>("expectedMode");
    QTest::newRow("private output stays private") << 022 << 0600 << 0600;
    QTest::newRow("group-readable stays so") << 077 << 0640 << 0640;
    QTest::newRow("executable stays so") << 022 << 0755 << 0755;
    QTest::newRow("new file, umask 022") << 022 << -1 << 0644;
    QTest::newRow("new file, umask 077") << 077 << -1 << 0600;
}

void TestFileHelpers::replacementKeepsTheModeOfWhatItReplaces() {
    QFETCH(int, umask);
    QFETCH(int, existingMode);
    QFETCH(int, expectedMode);
    QTemporaryDir dir;
    const QString target = dir.path() + "/out.log";
    const QString from = dir.path() + "/from";
    QVERIFY(WriteFile(from, "new"));
    if (existingMode >= 0) {
        QVERIFY(WriteFile(target, "old"));
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), mode_t(existingMode)), 0);
    }
    const mode_t old = ::umask(mode_t(umask));
    const auto restore = qScopeGuard([old] { ::umask(old); });
    // Both ways of writing: through a temporary, and a copy.
    FileHelpers::TemporaryFile file(target);
    QString error;
    QVERIFY2(file.open(&error) && file.write(QByteArray("new")) && file.commit(&error),
             qPrintable(error));
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), expectedMode);
    QVERIFY2(FileHelpers::CopyFileReplacing(from, target, &error), qPrintable(error));
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), expectedMode);
}

void TestFileHelpers::targetOfTheLongestNameHasRoomForItsTemporary() {
    QTemporaryDir dir;
    const qint64 longest = FileHelpers::MaxFileNameBytes(dir.path());
    QCOMPARE(FileHelpers::MaxTargetNameBytes(dir.path()), longest);
    const QString target = dir.path() + "/" + QString(int(longest) - 4, 'n') + ".zip";
    FileHelpers::TemporaryFile file(target);
    QString error;
    QVERIFY2(file.open(&error), qPrintable(error));
    QVERIFY(QFileInfo(file.path()).fileName().size() < 40);
    QVERIFY(file.write(QByteArray("bytes")));
    QVERIFY2(file.commit(&error), qPrintable(error));
    QCOMPARE(ReadFile(target), QByteArray("bytes"));
    QVERIFY(temporariesIn(dir.path()).isEmpty());
    // One left by a writer that is gone is swept like any other.
    QString left;
    {
        FileHelpers::TemporaryFile killed(target);
        QVERIFY(killed.open());
        left = killed.path();
        QCOMPARE(::link(QFile::encodeName(left).constData(),
                        QFile::encodeName(left + ".keep").constData()),
                 0);
    }
    QVERIFY(QFile::rename(left + ".keep", left));
    FileHelpers::RemoveAbandonedTemporaries(target);
    QVERIFY(temporariesIn(dir.path()).isEmpty());
}

void TestFileHelpers::privateDirectoryIsMadeOrTightened() {
    QTemporaryDir dir;
    const auto modeOf = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };
    const QString fresh = dir.path() + "/share/corvane";
    QVERIFY(FileHelpers::MakePrivateDirectory(fresh));
    QCOMPARE(modeOf(fresh), 0700);
    const QString open = dir.path() + "/open";
    QVERIFY(QDir().mkdir(open));
    QCOMPARE(::chmod(QFile::encodeName(open).constData(), 0755), 0);
    QVERIFY(FileHelpers::MakePrivateDirectory(open));
    QCOMPARE(modeOf(open), 0700);
    const QString file = dir.path() + "/file";
    QVERIFY(WriteFile(file, "x"));
    QVERIFY(!FileHelpers::MakePrivateDirectory(file));
}

void TestFileHelpers::sameFile_data() {
    // Second names of "a.txt": a file of the same bytes is another file.
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("the same path") << "a.txt" << true;
    QTest::newRow("the same path, spelt otherwise") << "./sub/../a.txt" << true;
    QTest::newRow("symbolic link") << "link.txt" << true;
    QTest::newRow("hard link") << "hard.txt" << true;
    QTest::newRow("copy") << "copy.txt" << false;
    QTest::newRow("missing file") << "missing.txt" << false;
}

void TestFileHelpers::sameFile() {
    QFETCH(QString, second);
    QFETCH(bool, same);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("a.txt");
    QVERIFY(WriteFile(file, "x"));
    QVERIFY(WriteFile(dir.filePath("copy.txt"), "x"));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(QFile::link(file, dir.filePath("link.txt")));
    QCOMPARE(::link(QFile::encodeName(file).constData(),
                    QFile::encodeName(dir.filePath("hard.txt")).constData()),
             0);
    QCOMPARE(FileHelpers::IsSameFile(file, dir.filePath(second)), same);
    QCOMPARE(FileHelpers::IsSameFile(dir.filePath(second), file), same);
}

QTEST_GUILESS_MAIN(TestFileHelpers)
#include "tst_FileHelpers.moc"
