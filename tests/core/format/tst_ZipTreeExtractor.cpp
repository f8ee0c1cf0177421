#include "core/format/ArchiveEditor.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipTreeExtractor.h"
#include "support/RawZip.h"
#include "support/TestBundle.h"

#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

// What a tree holds at one path, as the comparison sees it.
struct TreeItem {
    bool directory = false;
    QByteArray bytes;
    mode_t mode = 0;
    qint64 modified = -1; // seconds; -1: not compared
    bool operator==(const TreeItem&) const = default;
};

QString describe(const TreeItem& item) {
    return QStringLiteral("%1 mode %2 time %3 bytes %4")
        .arg(item.directory ? "folder" : "file")
        .arg(item.mode, 4, 8, QLatin1Char('0'))
        .arg(item.modified)
        .arg(QString::fromLatin1(item.bytes.left(40).toHex()));
}

mode_t currentUmask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// Every file and folder below root, by the program's name for it. 7-Zip
// writes a name as the archive spells it; the program names a member by its
// canonical name (a '\\' is a separator) and writes a symbolic link's member
// as a regular file holding the link's text, which is how 7-Zip's tree is
// read here. Folders that 7-Zip or the program made for a file below them
// count with the mode a new folder gets.
QMap<QString, TreeItem> readTree(const QString& root, bool asSevenZip) {
    QMap<QString, TreeItem> items;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QString name = path.mid(root.size() + 1);
        if (asSevenZip)
            name = CanonicalMemberName(name);
        struct stat info {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        TreeItem item;
        item.directory = S_ISDIR(info.st_mode);
        item.mode = info.st_mode & 07777;
        item.modified = info.st_mtim.tv_sec;
        if (S_ISLNK(info.st_mode)) {
            char target[4096];
            const ssize_t n =
                ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            item.bytes = QByteArray(target, n > 0 ? n : 0);
            item.mode = 0666 & ~currentUmask();
            item.modified = -1;
        } else if (!item.directory) {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            item.bytes = file.readAll();
        } else {
            item.modified = -1;
        }
        items.insert(name, item);
        for (qsizetype slash = name.lastIndexOf('/'); slash > 0;
             slash = name.lastIndexOf('/', slash - 1)) {
            if (!items.contains(name.left(slash)))
                items.insert(name.left(slash), TreeItem{true, {}, 0777 & ~currentUmask(), -1});
        }
    }
    return items;
}

// Bytes that deflate poorly, so that a member of several MiB costs its size.
QByteArray noise(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(seed >> 24);
    }
    return bytes;
}

RawZipEntry unixEntry(const QByteArray& name, const QByteArray& data, quint32 mode) {
    RawZipEntry entry{name, data};
    entry.externalAttributes = mode << 16;
    return entry;
}

QByteArray extendedTime(quint32 seconds) {
    QByteArray field;
    rawzip::put16(&field, 0x5455);
    rawzip::put16(&field, 5);
    field.append('\x01');
    rawzip::put32(&field, seconds);
    return field;
}

QByteArray ntfsTime(quint64 ticks) {
    QByteArray field;
    rawzip::put16(&field, 0x000a);
    rawzip::put16(&field, 32);
    rawzip::put32(&field, 0);
    rawzip::put16(&field, 1);
    rawzip::put16(&field, 24);
    for (int i = 0; i < 3; ++i) {
        rawzip::put32(&field, static_cast<quint32>(ticks & 0xFFFFFFFF));
        rawzip::put32(&field, static_cast<quint32>(ticks >> 32));
    }
    return field;
}

} // namespace

class TestZipTreeExtractor : public QObject {
    Q_OBJECT

private slots:
    void sameTreeAsSevenZip_data();
    void sameTreeAsSevenZip();
    void damagedMemberFailsNamingIt();
    void stopEndsEveryThread();
};

void TestZipTreeExtractor::sameTreeAsSevenZip_data() {
    QTest::addColumn<QList<RawZipEntry>>("entries");
    QTest::addColumn<int>("threads");

    const QList<RawZipEntry> folders{
        {"system/", {}},          {"system/app/", {}},           {"system/app/Music.apk", "music"},
        {"system/empty.txt", {}}, {"data/deep/er/file", "deep"}, {"emptyfolder/", {}},
        {"system/", {}}, // a folder twice
    };
    QTest::newRow("folders, empty files, a folder twice") << folders << 1;

    const QList<RawZipEntry> modes{
        unixEntry("bin/run.sh", "#!/bin/sh\n", 0100755),
        unixEntry("ro.txt", "ro", 0100400),
        unixEntry("open.txt", "open", 0100666),
        unixEntry("setuid", "s", 0104755),
        unixEntry("none", "n", 0100000),
        unixEntry("typeless", "t", 0000755),
        RawZipEntry{"private/", {}, 0, (040700u << 16) | 0x10},
        RawZipEntry{"readonly/", {}, 0, (040555u << 16) | 0x10},
        {"readonly/inside", "i"},
    };
    QTest::newRow("unix permissions") << modes << 2;

    RawZipEntry dos{"dos.txt", "dos"};
    dos.versionMadeBy = 0x0014;
    dos.externalAttributes = 0x21; // archive, read-only
    RawZipEntry dosFolder{"dosfolder/", {}};
    dosFolder.versionMadeBy = 0x0014;
    dosFolder.externalAttributes = 0x10;
    QTest::newRow("made on DOS") << QList<RawZipEntry>{dos, dosFolder} << 1;

    RawZipEntry dosTime{"dostime.txt", "t"};
    dosTime.dosDate = static_cast<quint16>(((2019 - 1980) << 9) | (7 << 5) | 14);
    dosTime.dosTime = static_cast<quint16>((13 << 11) | (45 << 5) | (58 / 2));
    RawZipEntry unixTime{"unixtime.txt", "u"};
    unixTime.centralExtra = extendedTime(1600000000);
    RawZipEntry windowsTime{"ntfstime.txt", "w"};
    windowsTime.centralExtra = ntfsTime((1500000000ULL + 11644473600ULL) * 10000000ULL + 1234567);
    RawZipEntry folderTime{"timed/", {}};
    folderTime.centralExtra = extendedTime(1400000000);
    QTest::newRow("file times") << QList<RawZipEntry>{dosTime, unixTime, windowsTime, folderTime,
                                                      RawZipEntry{"timed/a", "a"}}
                                << 2;

    QTest::newRow("symbolic link") << QList<RawZipEntry>{unixEntry("target.txt", "x", 0100644),
                                                         unixEntry("link", "target.txt", 0120777)}
                                   << 1;

    QTest::newRow("backslashes and loose spellings")
        << QList<RawZipEntry>{{"a\\b.txt", "backslash"},
                              {"c\\d\\", {}, 0, (040755u << 16) | 0x10},
                              {"./e//f.txt", "dots"},
                              {"g/./h.txt", "dot"}}
        << 2;

    QList<RawZipEntry> large;
    for (int i = 0; i < 6; ++i) {
        RawZipEntry entry{"system/lib/part" + QByteArray::number(i) + ".so",
                          noise((i + 1) * 700 * 1024, static_cast<quint32>(i))};
        entry.deflated = (i % 2) == 0;
        large << entry;
    }
    RawZipEntry text{"system/build.prop", QByteArray(300000, 'p')};
    text.deflated = true;
    large << text;
    QTest::newRow("deflated and stored members on four threads") << large << 4;
}

void TestZipTreeExtractor::sameTreeAsSevenZip() {
    QFETCH(QList<RawZipEntry>, entries);
    QFETCH(int, threads);
    const QString sevenZip = QStandardPaths::findExecutable(QStringLiteral("7za"));
    QVERIFY2(!sevenZip.isEmpty(), "7za is needed as the reference");
    QTemporaryDir dir;
    const QString archive = dir.filePath("package.zip");
    QVERIFY(WriteFile(archive, BuildRawZip(entries)));

    QProcess reference;
    reference.start(
        sevenZip, {"x", "-spd", "-bso0", "-bsp0", "-y", archive, "-o" + dir.filePath("reference")});
    QVERIFY(reference.waitForFinished(60000));
    QCOMPARE(reference.exitCode(), 0);

    QList<ArchiveMember> members;
    QString error;
    QVERIFY2(ReadArchiveMembers(archive, &members, &error), qPrintable(error));
    const QString tree = dir.filePath("ours");
    ZipTreeExtraction extraction;
    extraction.threads = threads;
    extraction.directories.append(ZipTreeFile{~quint64(0), tree});
    for (qsizetype i = 0; i < members.size(); ++i) {
        const ZipTreeFile file{static_cast<quint64>(i), MemberPathInTree(tree, members[i].name)};
        QVERIFY(!file.path.isEmpty());
        if (members[i].isDirectory)
            extraction.directories.append(file);
        else
            extraction.files.append(file);
    }
    QList<int> percents;
    std::mutex percentMutex;
    extraction.progress = [&](int percent) {
        std::lock_guard<std::mutex> lock(percentMutex);
        percents << percent;
    };
    QVERIFY2(ExtractZipTree(archive, extraction, &error), qPrintable(error));
    QCOMPARE(percents.last(), 100);

    const QMap<QString, TreeItem> expected = readTree(dir.filePath("reference"), true);
    const QMap<QString, TreeItem> actual = readTree(tree, false);
    QCOMPARE(actual.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        TreeItem ours = actual.value(it.key());
        if (it.value().modified < 0) // a link's own time is not its member's
            ours.modified = -1;
        QVERIFY2(ours == it.value(),
                 qPrintable(it.key() + ": ours " + describe(actual.value(it.key())) + ", 7-Zip's " +
                            describe(it.value())));
    }
}

void TestZipTreeExtractor::damagedMemberFailsNamingIt() {
    QTemporaryDir dir;
    const QString archive = dir.filePath("package.zip");
    QByteArray bytes = BuildRawZip({{"good.txt", "good"}, {"bad.txt", "damaged data"}});
    bytes[bytes.indexOf("damaged data")] = 'D';
    QVERIFY(WriteFile(archive, bytes));
    ZipTreeExtraction extraction;
    extraction.files = {{0, dir.filePath("t/good.txt")}, {1, dir.filePath("t/bad.txt")}};
    QString error;
    QVERIFY(!ExtractZipTree(archive, extraction, &error));
    QVERIFY2(error.contains("bad.txt") && error.contains("CRC-32"), qPrintable(error));
}

void TestZipTreeExtractor::stopEndsEveryThread() {
    QTemporaryDir dir;
    const QString archive = dir.filePath("package.zip");
    QList<RawZipEntry> entries;
    for (int i = 0; i < 8; ++i)
        entries << RawZipEntry{"m" + QByteArray::number(i), noise(64 * 1024, 7)};
    QVERIFY(WriteFile(archive, BuildRawZip(entries)));
    ZipTreeExtraction extraction;
    for (int i = 0; i < 8; ++i)
        extraction.files << ZipTreeFile{static_cast<quint64>(i), dir.filePath("t/m%1").arg(i)};
    extraction.threads = 3;
    std::atomic<int> asked{0};
    extraction.stopRequested = [&] { return ++asked > 2; };
    QString error;
    QVERIFY(!ExtractZipTree(archive, extraction, &error));
    QCOMPARE(error, QString("stopped"));
    QVERIFY(QDir(dir.filePath("t")).entryList(QDir::Files).size() < 8);
}

QTEST_GUILESS_MAIN(TestZipTreeExtractor)
#include "tst_ZipTreeExtractor.moc"
