#include "core/base/TestHooks.h"
#include "core/base/UniqueFd.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/ZipFormat.h"

#include "support/RawZip.h"
#include "support/ZipFixture.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <zip.h>

namespace {

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush();
}

// Bytes that no deflater can shrink.
QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        data[i] = static_cast<char>(generator.bounded(256));
    return data;
}

// Text that deflates well but not to nothing.
QByteArray textBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray data;
    data.reserve(size + 64);
    while (data.size() < size)
        data += "ro.product.model=" + QByteArray::number(generator.bounded(100000)) + "\n";
    data.truncate(size);
    return data;
}

QString runTool(const QString& program, const QStringList& arguments, int* exitCode) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(300000)) {
        *exitCode = -1;
        return program + QStringLiteral(" did not run");
    }
    *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromLocal8Bit(process.readAll()).right(2000);
}

// Independent strict readers: unzip, 7-Zip and Android's libziparchive must
// all read every entry back with its CRC. Empty when they all agree.
QString strictReadersFail(const QString& archive, bool libziparchive = true) {
    QList<ArchiveMember> members;
    QString error;
    if (!ReadArchiveMembers(archive, &members, &error))
        return QStringLiteral("own reader: ") + error;
    int code = 0;
    QString output = runTool(QStringLiteral("unzip"), {QStringLiteral("-tqq"), archive}, &code);
    // unzip calls an archive without members "empty" and exits with 1.
    if (code != 0 && !(members.isEmpty() && code == 1 && output.contains(QLatin1String("empty"))))
        return QStringLiteral("unzip -t: ") + output;
    output = runTool(QStringLiteral("7za"), {QStringLiteral("t"), archive}, &code);
    if (code != 0 || output.contains(QLatin1String("WARNING")))
        return QStringLiteral("7za t: ") + output;
#ifdef ZIPARCHIVE_CHECK
    if (libziparchive) {
        output = runTool(QStringLiteral(ZIPARCHIVE_CHECK), {archive}, &code);
        // libziparchive refuses an archive without entries.
        if (!members.isEmpty() &&
            (code != 0 || !output.contains(QStringLiteral("%1 entries").arg(members.size()))))
            return QStringLiteral("libziparchive: ") + output;
    }
#else
    Q_UNUSED(libziparchive)
#endif
    return {};
}

#define VERIFY_STRICT(archive)                                                                     \
    do {                                                                                           \
        const QString strictFailure = strictReadersFail(archive);                                  \
        QVERIFY2(strictFailure.isEmpty(), qPrintable(strictFailure));                              \
    } while (false)

QStringList memberNames(const QString& archive) {
    QList<ArchiveMember> members;
    QString error;
    if (!ReadArchiveMembers(archive, &members, &error))
        return {QStringLiteral("<unreadable: %1>").arg(error)};
    QStringList names;
    for (const ArchiveMember& member : members)
        names << member.name;
    return names;
}

// The data bytes of a member as they lie in the file (compressed or not).
QByteArray rawData(const QByteArray& file, const ArchiveMember& member) {
    const auto offset = static_cast<qsizetype>(member.localHeaderOffset);
    const auto* header = reinterpret_cast<const unsigned char*>(file.constData() + offset);
    const int nameLength = header[26] | (header[27] << 8);
    const int extraLength = header[28] | (header[29] << 8);
    return file.mid(offset + 30 + nameLength + extraLength,
                    static_cast<qsizetype>(member.compressedSize));
}

ArchiveChange putChange(const QString& member, const QString& source) {
    return {ArchiveChangeKind::Put, member, source};
}
ArchiveChange removeChange(const QString& member) {
    return {ArchiveChangeKind::Remove, member, {}};
}
ArchiveChange removeTreeChange(const QString& directory) {
    return {ArchiveChangeKind::RemoveTree, directory, {}};
}

const QList<QPair<QString, QByteArray>> kPackage = {
    {"system/build.prop", "ro.build.version.release=4.4\n"},
    {"system/app/Old.apk", "old apk"},
    {"system/app/Music/", {}},
    {"system/app/Music/Music.apk", "music apk"},
    {"logo.img", "old logo"},
};

// A working archive and files on disk in one temporary directory.
class Workspace {
public:
    QString archive() const { return m_dir.filePath("temp.zip"); }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    QString newFile(const QString& name, const QByteArray& data) const {
        const QString path = file(name);
        return writeBytes(path, data) ? path : QString();
    }
    // Files beside the archive other than the archive itself: a journal or a
    // temporary file left behind shows up here.
    QStringList strays() const {
        QStringList names = QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("temp.zip"));
        return names.filter(QStringLiteral("temp.zip"));
    }

private:
    QTemporaryDir m_dir;
};

// The mode in which the test binary applies a big change for a parent that
// kills it part way.
constexpr char kChildMode[] = "--apply-in-child";

int applyInChild(const QString& archive, const QString& source) {
    QString error;
    const bool ok = ApplyArchiveChanges(archive,
                                        {putChange(QStringLiteral("system/big.img"), source),
                                         removeChange(QStringLiteral("logo.img"))},
                                        &error);
    if (!ok)
        fprintf(stderr, "%s\n", qPrintable(error));
    return ok ? 0 : 1;
}

} // namespace

class TestArchiveEditor : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void readMembers();
    void unreadableArchive_data();
    void unreadableArchive();
    void putAddsAndReplaces();
    void storeOrDeflate_data();
    void storeOrDeflate();
    void addedMembersTakeTheEditsTime_data();
    void addedMembersTakeTheEditsTime();
    void remove_data();
    void remove();
    void removeTree();
    void missingMemberLeavesArchiveUntouched_data();
    void missingMemberLeavesArchiveUntouched();
    void removingEveryMemberLeavesEmptyZip();
    void zip64ByEntryCount();
    void interruptedCommit_data();
    void interruptedCommit();
    void incompleteJournalIsSetAside();
    void damagedJournalIsSetAsideNotReplayed_data();
    void damagedJournalIsSetAsideNotReplayed();
    void journalOfReplacedArchiveIsSetAside_data();
    void journalOfReplacedArchiveIsSetAside();
    void killedProcessLeavesArchiveWhole();
    void compactCopy();
    void compactCopySinkFailure();
    void dataDescriptorsAreKept();
};

void TestArchiveEditor::cleanup() {
    SetFaultPointHookForTesting({});
}

void TestArchiveEditor::readMembers() {
    Workspace ws;
    const QByteArray gbkName("\xD2\xF4\xC0\xD6/\xB2\xA5\xB7\xC5.apk"); // 音乐/播放.apk
    QVERIFY(writeBytes(ws.archive(), BuildRawZip({{"system/app/A.apk", "aaa", 0x0800},
                                                  {"system/app/", {}, 0},
                                                  {gbkName, "gbk", 0},
                                                  {"system\\etc\\x.xml", "<x/>", 0}},
                                                 "comment")));
    QList<ArchiveMember> members;
    QString error;
    QVERIFY2(ReadArchiveMembers(ws.archive(), &members, &error), qPrintable(error));
    QCOMPARE(members.size(), 4);
    QCOMPARE(members[0].name, QString("system/app/A.apk"));
    QVERIFY(members[0].utf8Flag);
    QCOMPARE(members[0].crc32, 0xf007732du); // CRC-32 of "aaa"
    QCOMPARE(members[0].uncompressedSize, 3u);
    QCOMPARE(members[0].localHeaderOffset, 0u);
    QCOMPARE(members[1].name, QString("system/app"));
    QVERIFY(members[1].isDirectory);
    QCOMPARE(members[2].name, QString::fromUtf8("音乐/播放.apk"));
    QCOMPARE(members[2].rawName, gbkName);
    QCOMPARE(members[3].name, QString("system/etc/x.xml"));
    QVERIFY(!members[3].isDirectory);

    // The same facts as libzip sees them, for an archive libzip wrote
    // (deflated members, ZIP64-capable writer).
    QVERIFY(WriteZip(ws.archive(), kPackage));
    QVERIFY2(ReadArchiveMembers(ws.archive(), &members, &error), qPrintable(error));
    QCOMPARE(memberNames(ws.archive()),
             QStringList({"system/build.prop", "system/app/Old.apk", "system/app/Music",
                          "system/app/Music/Music.apk", "logo.img"}));
    int zipError = 0;
    zip_t* zip = zip_open(QFile::encodeName(ws.archive()).constData(), ZIP_RDONLY, &zipError);
    QVERIFY(zip);
    for (qsizetype i = 0; i < members.size(); ++i) {
        zip_stat_t stat;
        QCOMPARE(zip_stat_index(zip, static_cast<zip_uint64_t>(i), 0, &stat), 0);
        QCOMPARE(members[i].crc32, stat.crc);
        QCOMPARE(members[i].compressedSize, stat.comp_size);
        QCOMPARE(members[i].uncompressedSize, stat.size);
        QCOMPARE(members[i].method, static_cast<quint16>(stat.comp_method));
    }
    zip_discard(zip);
}

void TestArchiveEditor::unreadableArchive_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = BuildRawZip({{"a.txt", "alpha", 0}, {"b.txt", "beta", 0}});
    QByteArray badName = good;
    badName[30] = 'X'; // the first local header's name
    QByteArray badOffset = good;
    badOffset[good.size() - 6] = 1; // the central directory's offset
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("text") << QByteArray("not an archive at all, just some words\n");
    QTest::newRow("cut short") << good.left(good.size() - 10);
    QTest::newRow("central directory cut off") << good.left(60) + good.right(22);
    QTest::newRow("local header disagrees") << badName;
    QTest::newRow("directory offset wrong") << badOffset;
}

void TestArchiveEditor::unreadableArchive() {
    QFETCH(QByteArray, bytes);
    Workspace ws;
    QVERIFY(writeBytes(ws.archive(), bytes));
    QList<ArchiveMember> members;
    QString error;
    QVERIFY(!ReadArchiveMembers(ws.archive(), &members, &error));
    QVERIFY(!error.isEmpty());
    const QString source = ws.newFile("x", "x");
    QVERIFY(!ApplyArchiveChanges(ws.archive(), {putChange("x", source)}, &error));
    QCOMPARE(readBytes(ws.archive()), bytes);
    QCOMPARE(ws.strays(), QStringList());
}

void TestArchiveEditor::putAddsAndReplaces() {
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    const QByteArray before = readBytes(ws.archive());
    const QString apk = ws.newFile("New.apk", randomBytes(5000, 1));
    const QString logo = ws.newFile("logo.img", "new logo, longer than the old one");
    const QDateTime mtime(QDate(2021, 3, 4), QTime(5, 6, 8));
    {
        QFile file(apk);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(mtime, QFileDevice::FileModificationTime));
    }
    QList<QPair<qint64, qint64>> reports;
    QString error;
    QVERIFY2(ApplyArchiveChanges(
                 ws.archive(),
                 {putChange("system/app/New/New.apk", apk), putChange("logo.img", logo)}, &error,
                 [&](qint64 done, qint64 total) {
                     reports.append({done, total});
                 }),
             qPrintable(error));
    VERIFY_STRICT(ws.archive());
    QCOMPARE(ws.strays(), QStringList());

    // Everything before the old central directory is untouched: the old
    // logo's bytes stay behind, outside the directory.
    const QByteArray after = readBytes(ws.archive());
    const QByteArray oldEnd = before.right(22);
    const qsizetype oldDirectory = static_cast<unsigned char>(oldEnd[16]) |
                                   static_cast<unsigned char>(oldEnd[17]) << 8 |
                                   static_cast<unsigned char>(oldEnd[18]) << 16;
    QVERIFY(oldDirectory > 0);
    QCOMPARE(after.left(oldDirectory), before.left(oldDirectory));

    QCOMPARE(memberNames(ws.archive()),
             QStringList({"system/build.prop", "system/app/Old.apk", "system/app/Music",
                          "system/app/Music/Music.apk", "system/app/New/New.apk", "logo.img"}));
    const QMap<QString, QByteArray> contents = ReadZip(ws.archive());
    QCOMPARE(contents.value("system/app/New/New.apk"), readBytes(apk));
    QCOMPARE(contents.value("logo.img"), readBytes(logo));
    QCOMPARE(contents.value("system/build.prop"), kPackage[0].second);

    // New entries: UTF-8 flag, the archive's newest time (not the file's),
    // a regular file 0644 (Unix).
    int zipError = 0;
    zip_t* zip = zip_open(QFile::encodeName(ws.archive()).constData(), ZIP_RDONLY, &zipError);
    QVERIFY(zip);
    const zip_int64_t index = zip_name_locate(zip, "system/app/New/New.apk", 0);
    QVERIFY(index >= 0);
    zip_stat_t stat;
    QCOMPARE(zip_stat_index(zip, static_cast<zip_uint64_t>(index), 0, &stat), 0);
    time_t newest = 0;
    for (zip_uint64_t i = 0; i < 4; ++i) {
        zip_stat_t old;
        QCOMPARE(zip_stat_index(zip, i, 0, &old), 0);
        newest = qMax(newest, old.mtime);
    }
    QVERIFY(QDateTime::fromSecsSinceEpoch(stat.mtime) != mtime);
    QCOMPARE(stat.mtime, newest);
    zip_uint8_t opsys = 0;
    zip_uint32_t attributes = 0;
    QCOMPARE(zip_file_get_external_attributes(zip, static_cast<zip_uint64_t>(index), 0, &opsys,
                                              &attributes),
             0);
    QCOMPARE(opsys, static_cast<zip_uint8_t>(ZIP_OPSYS_UNIX));
    QCOMPARE(attributes, 0100644u << 16);
    zip_discard(zip);
    QList<ArchiveMember> members;
    QVERIFY(ReadArchiveMembers(ws.archive(), &members, &error));
    for (const ArchiveMember& member : members.mid(4))
        QVERIFY(member.utf8Flag);

    // Progress runs forward to its total.
    QVERIFY(!reports.isEmpty());
    for (qsizetype i = 1; i < reports.size(); ++i) {
        QVERIFY(reports[i].first >= reports[i - 1].first);
        QCOMPARE(reports[i].second, reports[0].second);
    }
    QCOMPARE(reports.last().first, reports.last().second);

    // A later change in the same call wins; replacing a replaced member again
    // leaves one entry of that name.
    const QString logo2 = ws.newFile("logo2.img", "third logo");
    QVERIFY2(ApplyArchiveChanges(ws.archive(),
                                 {putChange("logo.img", logo2), putChange("./logo.img", apk),
                                  putChange("logo.img", logo)},
                                 &error),
             qPrintable(error));
    QCOMPARE(memberNames(ws.archive()).count("logo.img"), 1);
    QCOMPARE(ReadZip(ws.archive()).value("logo.img"), readBytes(logo));
    VERIFY_STRICT(ws.archive());

    // A file that cannot be read or an unsafe name fails before any change.
    const QByteArray current = readBytes(ws.archive());
    QVERIFY(!ApplyArchiveChanges(
        ws.archive(), {putChange("a.txt", logo), putChange("b", ws.file("missing"))}, &error));
    QVERIFY(error.contains(ws.file("missing")));
    QVERIFY(!ApplyArchiveChanges(ws.archive(), {putChange("../evil", logo)}, &error));
    QVERIFY(!ApplyArchiveChanges(ws.archive(), {putChange("a", ws.file(""))}, &error));
    QCOMPARE(readBytes(ws.archive()), current);
    QCOMPARE(ws.strays(), QStringList());
}

void TestArchiveEditor::storeOrDeflate_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("method");
    QTest::newRow("empty") << QByteArray() << 0;
    QTest::newRow("one byte") << QByteArray("x") << 0;
    QTest::newRow("small text") << textBytes(4000, 2) << 8;
    QTest::newRow("small random") << randomBytes(4000, 3) << 0;
    // Past the first MiB the file is streamed in blocks.
    QTest::newRow("3 MB text") << textBytes(3 * 1024 * 1024 + 17, 4) << 8;
    QTest::newRow("3 MB random") << randomBytes(3 * 1024 * 1024 + 17, 5) << 0;
    // A sample spread through the member decides, not its head: an APK's
    // stored resource table at its start, an image's compressible header.
    QTest::newRow("incompressible head, compressible rest")
        << randomBytes(1024 * 1024, 6) + textBytes(1024 * 1024, 7) << 8;
    QTest::newRow("compressible head, incompressible rest")
        << textBytes(32 * 1024, 8) + randomBytes(4 * 1024 * 1024, 9) << 0;
}

// Every member an edit writes takes one time, whatever the file's: the
// package's newest, or SOURCE_DATE_EPOCH (UTC) when it is a number.
void TestArchiveEditor::addedMembersTakeTheEditsTime_data() {
    QTest::addColumn<QByteArray>("epoch"); // null: unset
    QTest::addColumn<int>("dosDate");      // -1: the newest old member's
    QTest::addColumn<int>("dosTime");
    QTest::newRow("newest member") << QByteArray() << -1 << -1;
    QTest::newRow("not a number") << QByteArray("soon") << -1 << -1;
    // 2023-11-14 22:13:20 UTC.
    QTest::newRow("SOURCE_DATE_EPOCH") << QByteArray("1700000000") << ((43 << 9) | (11 << 5) | 14)
                                       << ((22 << 11) | (13 << 5) | 10);
    QTest::newRow("SOURCE_DATE_EPOCH before 1980") << QByteArray("86400") << ((1 << 5) | 1) << 0;
}

void TestArchiveEditor::addedMembersTakeTheEditsTime() {
    QFETCH(QByteArray, epoch);
    QFETCH(int, dosDate);
    QFETCH(int, dosTime);
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    {
        // Old members of distinct times, the newest not the last.
        int zipError = 0;
        zip_t* zip = zip_open(QFile::encodeName(ws.archive()).constData(), 0, &zipError);
        QVERIFY(zip);
        const time_t times[] = {1500000000, 1600000000, 1550000000, 1400000000, 1450000000};
        for (zip_uint64_t i = 0; i < 5; ++i)
            QCOMPARE(zip_file_set_mtime(zip, i, times[i], 0), 0);
        QCOMPARE(zip_close(zip), 0);
    }
    const QString source = ws.newFile("New.apk", randomBytes(3000, 4));
    {
        QFile file(source);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)),
                                 QFileDevice::FileModificationTime));
    }
    const QByteArray saved = qgetenv("SOURCE_DATE_EPOCH");
    const bool wasSet = qEnvironmentVariableIsSet("SOURCE_DATE_EPOCH");
    if (epoch.isNull())
        qunsetenv("SOURCE_DATE_EPOCH");
    else
        qputenv("SOURCE_DATE_EPOCH", epoch);
    QString error;
    const bool applied = ApplyArchiveChanges(
        ws.archive(), {putChange("system/app/New.apk", source), putChange("logo.img", source)},
        &error);
    if (wasSet)
        qputenv("SOURCE_DATE_EPOCH", saved);
    else
        qunsetenv("SOURCE_DATE_EPOCH");
    QVERIFY2(applied, qPrintable(error));

    UniqueFd fd = OpenUniqueFd(ws.archive(), O_RDONLY);
    ZipDirectory directory;
    QVERIFY2(ReadZipDirectory(fd.get(), &directory, &error), qPrintable(error));
    QCOMPARE(directory.entries.size(), 6);
    if (dosDate < 0) {
        // The second old member (1600000000) is the newest.
        dosDate = directory.entries[1].dosDate;
        dosTime = directory.entries[1].dosTime;
        for (qsizetype i = 0; i < 4; ++i)
            QVERIFY((directory.entries[i].dosDate << 16 | directory.entries[i].dosTime) <=
                    (dosDate << 16 | dosTime));
    }
    for (qsizetype i = 4; i < 6; ++i) {
        QCOMPARE(int(directory.entries[i].dosDate), dosDate);
        QCOMPARE(int(directory.entries[i].dosTime), dosTime);
    }
}

void TestArchiveEditor::storeOrDeflate() {
    QFETCH(QByteArray, data);
    QFETCH(int, method);
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    const QString source = ws.newFile("member.bin", data);
    QString error;
    QVERIFY2(ApplyArchiveChanges(ws.archive(), {putChange("system/member.bin", source)}, &error),
             qPrintable(error));
    QList<ArchiveMember> members;
    QVERIFY(ReadArchiveMembers(ws.archive(), &members, &error));
    QCOMPARE(members.last().name, QString("system/member.bin"));
    QCOMPARE(static_cast<int>(members.last().method), method);
    QCOMPARE(members.last().uncompressedSize, static_cast<quint64>(data.size()));
    if (method == 8)
        QVERIFY(members.last().compressedSize < static_cast<quint64>(data.size()));
    QCOMPARE(ReadZip(ws.archive()).value("system/member.bin"), data);
    VERIFY_STRICT(ws.archive());
}

void TestArchiveEditor::remove_data() {
    QTest::addColumn<QList<QByteArray>>("names");
    QTest::addColumn<QString>("member");
    QTest::addColumn<QStringList>("remaining");
    const QList<QByteArray> spellings = {"./system/app/X.apk", "/system/app/X.apk",
                                         "system//app/X.apk", "system\\app\\X.apk",
                                         "system/app/X.apk"};
    QTest::newRow("every spelling and duplicates")
        << (spellings + QList<QByteArray>{"system/app/Y.apk", "system/app/X.apk"})
        << "system/app/X.apk" << QStringList{"system/app/Y.apk"};
    QTest::newRow("asked non-canonically")
        << QList<QByteArray>{"userdata//app/X.apk", "userdata/app/Z.apk"} << "./userdata\\app/X.apk"
        << QStringList{"userdata/app/Z.apk"};
    QTest::newRow("cp936 name") << QList<QByteArray>{"\xD2\xF4\xC0\xD6.apk", "a.apk"}
                                << QString::fromUtf8("音乐.apk") << QStringList{"a.apk"};
    QTest::newRow("a directory entry by its name")
        << QList<QByteArray>{"system/app/Foo/", "system/app/Foo/Foo.apk"} << "system/app/Foo"
        << QStringList{"system/app/Foo/Foo.apk"};
}

void TestArchiveEditor::remove() {
    QFETCH(QList<QByteArray>, names);
    QFETCH(QString, member);
    QFETCH(QStringList, remaining);
    Workspace ws;
    QList<RawZipEntry> entries;
    for (const QByteArray& name : names)
        entries.append({name, "data of " + name, 0});
    QVERIFY(writeBytes(ws.archive(), BuildRawZip(entries)));
    QString error;
    QVERIFY2(ApplyArchiveChanges(ws.archive(), {removeChange(member)}, &error), qPrintable(error));
    QCOMPARE(memberNames(ws.archive()), remaining);
    VERIFY_STRICT(ws.archive());
    QCOMPARE(ws.strays(), QStringList());
}

void TestArchiveEditor::removeTree() {
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), {{"system/app/Music/", {}},
                                    {"system/app/Music/Music.apk", "apk"},
                                    {"system/app/Music/oat/arm/Music.odex", "odex"},
                                    {"system/app/Music/lib/arm/x.so", "so"},
                                    {"system/app/MusicPlayer/MusicPlayer.apk", "other apk"},
                                    {"system/app/Musical.apk", "another"},
                                    {"system/build.prop", "prop"}}));
    QString error;
    QVERIFY2(ApplyArchiveChanges(ws.archive(), {removeTreeChange("system/app/Music/")}, &error),
             qPrintable(error));
    QCOMPARE(memberNames(ws.archive()),
             QStringList({"system/app/MusicPlayer/MusicPlayer.apk", "system/app/Musical.apk",
                          "system/build.prop"}));
    VERIFY_STRICT(ws.archive());

    // A tree that is not there fails; a member is a tree of one.
    QVERIFY(!ApplyArchiveChanges(ws.archive(), {removeTreeChange("system/app/Music")}, &error));
    QVERIFY(error.contains("system/app/Music"));
    QVERIFY2(ApplyArchiveChanges(ws.archive(), {removeTreeChange("system/build.prop")}, &error),
             qPrintable(error));
    QCOMPARE(memberNames(ws.archive()).size(), 2);
}

void TestArchiveEditor::missingMemberLeavesArchiveUntouched_data() {
    QTest::addColumn<int>("kind");
    QTest::newRow("remove") << static_cast<int>(ArchiveChangeKind::Remove);
    QTest::newRow("remove tree") << static_cast<int>(ArchiveChangeKind::RemoveTree);
}

void TestArchiveEditor::missingMemberLeavesArchiveUntouched() {
    QFETCH(int, kind);
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    const QByteArray before = readBytes(ws.archive());
    const QString source = ws.newFile("New.apk", "new");
    QString error;
    // Valid changes around the missing one are not applied either.
    QVERIFY(!ApplyArchiveChanges(ws.archive(),
                                 {putChange("system/app/New.apk", source),
                                  removeChange("logo.img"),
                                  {static_cast<ArchiveChangeKind>(kind), "system/app/Gone", {}}},
                                 &error));
    QVERIFY2(error.contains("system/app/Gone"), qPrintable(error));
    QCOMPARE(readBytes(ws.archive()), before);
    QCOMPARE(ws.strays(), QStringList());
    // Removing one member twice: the second finds nothing.
    QVERIFY(!ApplyArchiveChanges(ws.archive(), {removeChange("logo.img"), removeChange("logo.img")},
                                 &error));
    QCOMPARE(readBytes(ws.archive()), before);
}

void TestArchiveEditor::removingEveryMemberLeavesEmptyZip() {
    Workspace ws;
    QVERIFY(writeBytes(ws.archive(),
                       BuildRawZip({{"a.txt", "alpha", 0}, {"b/c.txt", "gamma", 0}}, "note")));
    QString error;
    QVERIFY2(
        ApplyArchiveChanges(ws.archive(), {removeChange("a.txt"), removeTreeChange("b")}, &error),
        qPrintable(error));
    // The end record alone, the comment kept.
    const QByteArray expected =
        QByteArray("PK\x05\x06", 4) + QByteArray(16, '\0') + QByteArray("\x04\x00", 2) + "note";
    QCOMPARE(readBytes(ws.archive()), expected);
    QCOMPARE(memberNames(ws.archive()), QStringList());
    VERIFY_STRICT(ws.archive());

    // And it takes members again.
    const QString source = ws.newFile("d.txt", "delta");
    QVERIFY2(ApplyArchiveChanges(ws.archive(), {putChange("d.txt", source)}, &error),
             qPrintable(error));
    QCOMPARE(ReadZip(ws.archive()).value("d.txt"), QByteArray("delta"));
    VERIFY_STRICT(ws.archive());
}

void TestArchiveEditor::zip64ByEntryCount() {
    Workspace ws;
    QList<QPair<QString, QByteArray>> members;
    constexpr int kCount = 70000;
    members.reserve(kCount);
    for (int i = 0; i < kCount; ++i)
        members.append({QStringLiteral("d%1/f%2").arg(i / 1000).arg(i), QByteArray::number(i)});
    QVERIFY(WriteZip(ws.archive(), members));
    QCOMPARE(memberNames(ws.archive()).size(), kCount);

    const QString source = ws.newFile("new.txt", "new member");
    QString error;
    QVERIFY2(ApplyArchiveChanges(
                 ws.archive(),
                 {removeChange("d0/f1"), removeTreeChange("d69"), putChange("new.txt", source)},
                 &error),
             qPrintable(error));
    const QStringList names = memberNames(ws.archive());
    QCOMPARE(names.size(), kCount - 1 - 1000 + 1);
    QCOMPARE(names.last(), QString("new.txt"));
    QVERIFY(!names.contains("d0/f1"));

    // ZIP64 end record and locator before a classic end record that says
    // 0xFFFF entries.
    const QByteArray bytes = readBytes(ws.archive());
    const QByteArray end = bytes.right(22);
    QVERIFY(end.startsWith(QByteArray("PK\x05\x06", 4)));
    QCOMPARE(end.mid(10, 2), QByteArray("\xFF\xFF"));
    QVERIFY(bytes.mid(bytes.size() - 22 - 20, 4) == QByteArray("PK\x06\x07", 4));
    QVERIFY(bytes.mid(bytes.size() - 22 - 20 - 56, 4) == QByteArray("PK\x06\x06", 4));

    // libzip, unzip and 7-Zip read it; this libziparchive predates ZIP64.
    const QMap<QString, QByteArray> contents = ReadZip(ws.archive());
    QCOMPARE(contents.size(), names.size());
    QCOMPARE(contents.value("d42/f42424"), QByteArray("42424"));
    QCOMPARE(contents.value("new.txt"), QByteArray("new member"));
    const QString failure = strictReadersFail(ws.archive(), false);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // Dropping below 65,535 entries goes back to the classic end record.
    QVERIFY2(
        ApplyArchiveChanges(ws.archive(),
                            {removeTreeChange("d1"), removeTreeChange("d2"), removeTreeChange("d3"),
                             removeTreeChange("d4"), removeTreeChange("d5")},
                            &error),
        qPrintable(error));
    QCOMPARE(memberNames(ws.archive()).size(), kCount - 1 - 6000 + 1);
    const QByteArray classic = readBytes(ws.archive());
    QVERIFY(classic.right(22 + 20).left(4) != QByteArray("PK\x06\x07", 4));
    QVERIFY(classic.right(22).mid(10, 2) != QByteArray("\xFF\xFF"));
    VERIFY_STRICT(ws.archive());
}

void TestArchiveEditor::interruptedCommit_data() {
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("kill");
    QTest::addColumn<bool>("grows");
    QTest::addColumn<bool>("applied");
    const char* steps[] = {"journal-written", "entries-written", "directory-written", "truncated",
                           "synced"};
    for (const char* step : steps) {
        for (const bool grows : {true, false}) {
            const char* change = grows ? "put" : "remove";
            QTest::addRow("killed at %s, %s", step, change) << step << true << grows << false;
            QTest::addRow("failing at %s, %s", step, change) << step << false << grows << false;
        }
    }
    // Past the commit point the edit stands.
    QTest::newRow("killed after commit, put") << "committed" << true << true << true;
    QTest::newRow("killed after commit, remove") << "committed" << true << false << true;
}

void TestArchiveEditor::interruptedCommit() {
    QFETCH(QString, step);
    QFETCH(bool, kill);
    QFETCH(bool, grows);
    QFETCH(bool, applied);
    Workspace ws;
    QVERIFY(writeBytes(ws.archive(), BuildRawZip({{"system/app/A.apk", randomBytes(3000, 8), 0},
                                                  {"system/app/B.apk", randomBytes(2000, 9), 0},
                                                  {"logo.img", "logo", 0}},
                                                 "kept comment")));
    const QByteArray before = readBytes(ws.archive());
    const QString source = ws.newFile("big.img", textBytes(2 * 1024 * 1024, 10));
    const QList<ArchiveChange> changes =
        grows ? QList<ArchiveChange>{putChange("big.img", source), removeChange("logo.img")}
              : QList<ArchiveChange>{removeChange("system/app/A.apk"), removeTreeChange("system")};

    // The same change uninterrupted, on a copy, gives the bytes after.
    QVERIFY(QFile::copy(ws.archive(), ws.file("copy.zip")));
    QString error;
    QVERIFY2(ApplyArchiveChanges(ws.file("copy.zip"), changes, &error), qPrintable(error));
    const QByteArray after = readBytes(ws.file("copy.zip"));
    QVERIFY(QFile::remove(ws.file("copy.zip")));

    bool asked = false;
    SetFaultPointHookForTesting([&](const char* name) {
        if (QLatin1String("archive:") + step != QLatin1String(name))
            return FaultAction::None;
        asked = true;
        return kill ? FaultAction::Kill : FaultAction::Fail;
    });
    QVERIFY(!ApplyArchiveChanges(ws.archive(), changes, &error));
    SetFaultPointHookForTesting({});
    QVERIFY(asked);
    QVERIFY(!error.isEmpty());
    if (!kill) {
        // A failure rolls back at once.
        QCOMPARE(ws.strays(), QStringList());
        QCOMPARE(readBytes(ws.archive()), before);
        return;
    }
    QCOMPARE(QFileInfo::exists(ArchiveJournalPath(ws.archive())), !applied);
    ArchiveRecovery recovery;
    QVERIFY2(RecoverArchive(ws.archive(), &error, &recovery), qPrintable(error));
    QCOMPARE(recovery.rolledBack, !applied);
    QVERIFY(recovery.setAside.isEmpty());
    QCOMPARE(ws.strays(), QStringList());
    QCOMPARE(readBytes(ws.archive()), applied ? after : before);
    VERIFY_STRICT(ws.archive());

    // Once whole, the archive takes the same edit again.
    if (!applied) {
        QVERIFY2(ApplyArchiveChanges(ws.archive(), changes, &error), qPrintable(error));
        QCOMPARE(readBytes(ws.archive()), after);
    }
}

// The journal of a commit killed at a step (kPackage, logo.img removed).
static QByteArray journalKilledAt(const Workspace& ws, const char* killAt) {
    SetFaultPointHookForTesting([killAt](const char* point) {
        return QByteArray(point) == QByteArray("archive:") + killAt ? FaultAction::Kill
                                                                    : FaultAction::None;
    });
    QString error;
    const bool applied = ApplyArchiveChanges(ws.archive(), {removeChange("logo.img")}, &error);
    SetFaultPointHookForTesting({});
    return applied ? QByteArray() : readBytes(ArchiveJournalPath(ws.archive()));
}

void TestArchiveEditor::incompleteJournalIsSetAside() {
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    const QByteArray before = readBytes(ws.archive());
    // A journal is written under a temporary name and renamed when complete:
    // one cut short under its own name is damage, set aside; one under the
    // old temporary name was never in force and goes.
    const QByteArray complete = journalKilledAt(ws, "journal-written");
    QVERIFY(!complete.isEmpty());
    QCOMPARE(readBytes(ws.archive()), before);
    const QString journal = ArchiveJournalPath(ws.archive());
    QVERIFY(QFile::remove(journal));

    for (const qsizetype length :
         {qsizetype(0), qsizetype(5), qsizetype(40), complete.size() / 2, complete.size() - 1}) {
        QString error;
        ArchiveRecovery recovery;
        QVERIFY(writeBytes(journal + ".tmp", complete.left(length)));
        QVERIFY2(RecoverArchive(ws.archive(), &error, &recovery), qPrintable(error));
        QCOMPARE(ws.strays(), QStringList());
        QVERIFY(recovery.setAside.isEmpty());

        QVERIFY(writeBytes(journal, complete.left(length)));
        QVERIFY2(RecoverArchive(ws.archive(), &error, &recovery), qPrintable(error));
        QVERIFY(!recovery.rolledBack);
        QVERIFY2(recovery.setAside.startsWith(journal + ".damaged-"),
                 qPrintable(recovery.setAside));
        QCOMPARE(ws.strays(), QStringList(QFileInfo(recovery.setAside).fileName()));
        QCOMPARE(readBytes(recovery.setAside), complete.left(length));
        QCOMPARE(readBytes(ws.archive()), before);
        QVERIFY(QFile::remove(recovery.setAside));
    }
}

void TestArchiveEditor::damagedJournalIsSetAsideNotReplayed_data() {
    QTest::addColumn<QByteArray>("killedAt");
    QTest::addColumn<bool>("archiveWhole");
    QTest::newRow("archive untouched yet") << QByteArray("journal-written") << true;
    QTest::newRow("archive part way") << QByteArray("directory-written") << false;
}

void TestArchiveEditor::damagedJournalIsSetAsideNotReplayed() {
    // One flipped byte in a journal used to stop every later edit until the
    // file was deleted by hand.
    QFETCH(QByteArray, killedAt);
    QFETCH(bool, archiveWhole);
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    QByteArray damaged = journalKilledAt(ws, killedAt.constData());
    QVERIFY(!damaged.isEmpty());
    const QString journal = ArchiveJournalPath(ws.archive());
    damaged[90] = static_cast<char>(damaged[90] ^ 0x55); // a saved byte
    QVERIFY(writeBytes(journal, damaged));
    const QByteArray archive = readBytes(ws.archive());

    QString error;
    ArchiveRecovery recovery;
    QCOMPARE(RecoverArchive(ws.archive(), &error, &recovery), archiveWhole);
    QVERIFY2(recovery.setAside.startsWith(journal + ".damaged-"), qPrintable(recovery.setAside));
    QCOMPARE(recovery.reason, QStringLiteral("damaged (checksum)"));
    if (!archiveWhole)
        QVERIFY2(error.contains(recovery.setAside), qPrintable(error));
    QCOMPARE(readBytes(recovery.setAside), damaged);
    QCOMPARE(readBytes(ws.archive()), archive); // nothing replayed
    QVERIFY(!QFileInfo::exists(journal));

    // Later edits are not held up by it.
    QVERIFY2(RecoverArchive(ws.archive(), &error, &recovery), qPrintable(error));
    QVERIFY(recovery.setAside.isEmpty());
    const QString source = ws.newFile("x", "x");
    const bool edited = ApplyArchiveChanges(ws.archive(), {putChange("x", source)}, &error);
    QCOMPARE(edited, archiveWhole);
    QVERIFY2(!error.contains("rolled back"), qPrintable(error));
}

void TestArchiveEditor::journalOfReplacedArchiveIsSetAside_data() {
    QTest::addColumn<QByteArray>("replacement");
    QTest::addColumn<bool>("emptying");
    QTest::newRow("shorter archive") << BuildRawZip({{"other.txt", "other", 0}}) << false;
    QTest::newRow("longer archive")
        << BuildRawZip({{"a.bin", randomBytes(20000, 18), 0}, {"b.bin", randomBytes(20000, 19), 0}})
        << false;
    // An edit that empties the archive saves all of it: nothing before the
    // saved bytes tells one archive from another.
    QTest::newRow("after an edit emptying the archive")
        << BuildRawZip({{"other.txt", "other", 0}}) << true;
}

void TestArchiveEditor::journalOfReplacedArchiveIsSetAside() {
    // An edit is killed, then another package takes the archive's place:
    // the journal must not be played into the new file.
    QFETCH(QByteArray, replacement);
    QFETCH(bool, emptying);
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    const QString source = ws.newFile("x", randomBytes(3000, 20));
    SetFaultPointHookForTesting([](const char* point) {
        return qstrcmp(point, "archive:directory-written") == 0 ? FaultAction::Kill
                                                                : FaultAction::None;
    });
    QString error;
    const QList<ArchiveChange> changes =
        emptying ? QList<ArchiveChange>{removeTreeChange("system"), removeChange("logo.img")}
                 : QList<ArchiveChange>{putChange("x", source)};
    QVERIFY(!ApplyArchiveChanges(ws.archive(), changes, &error));
    SetFaultPointHookForTesting({});
    const QString journal = ArchiveJournalPath(ws.archive());
    QVERIFY(QFileInfo::exists(journal));
    QVERIFY(writeBytes(ws.file("new.zip"), replacement));
    QVERIFY(QFile::remove(ws.archive()));
    QVERIFY(QFile::rename(ws.file("new.zip"), ws.archive()));

    ArchiveRecovery recovery;
    QVERIFY2(RecoverArchive(ws.archive(), &error, &recovery), qPrintable(error));
    QVERIFY2(recovery.setAside.startsWith(journal + ".foreign-"), qPrintable(recovery.setAside));
    QCOMPARE(ws.strays(), QStringList(QFileInfo(recovery.setAside).fileName()));
    QCOMPARE(readBytes(ws.archive()), replacement);
}

void TestArchiveEditor::killedProcessLeavesArchiveWhole() {
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    const QByteArray before = readBytes(ws.archive());
    const QString source = ws.newFile("big.img", textBytes(6 * 1024 * 1024, 11));

    // One uninterrupted run gives the bytes after and how long a run takes.
    QProcess child;
    const QStringList arguments = {kChildMode, ws.archive(), source};
    QElapsedTimer timer;
    timer.start();
    child.start(QCoreApplication::applicationFilePath(), arguments);
    QVERIFY(child.waitForFinished(120000));
    QCOMPARE(child.exitCode(), 0);
    const qint64 runMs = qMax<qint64>(timer.elapsed(), 1);
    const QByteArray after = readBytes(ws.archive());
    QVERIFY(after != before);

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator generator(seed);
    int whole[2] = {0, 0};
    for (int round = 0; round < 8; ++round) {
        QVERIFY(writeBytes(ws.archive(), before));
        child.start(QCoreApplication::applicationFilePath(), arguments);
        QVERIFY(child.waitForStarted());
        const int delay = static_cast<int>(generator.bounded(static_cast<quint32>(runMs * 5 / 4)));
        if (!child.waitForFinished(delay)) {
            child.kill(); // SIGKILL
            QVERIFY(child.waitForFinished(30000));
        }
        QString error;
        QVERIFY2(RecoverArchive(ws.archive(), &error), qPrintable(error));
        const QByteArray now = readBytes(ws.archive());
        QVERIFY2(now == before || now == after,
                 qPrintable(QStringLiteral("seed %1, round %2: the archive is neither as before "
                                           "nor as after")
                                .arg(seed)
                                .arg(round)));
        ++whole[now == after ? 1 : 0];
        QCOMPARE(ws.strays(), QStringList());
    }
    qInfo("killed runs: %d left as before, %d as after (seed %u)", whole[0], whole[1], seed);
}

void TestArchiveEditor::compactCopy() {
    Workspace ws;
    const QByteArray deadMarker = randomBytes(4096, 12);
    QVERIFY(WriteZip(ws.archive(), {{"system/build.prop", textBytes(20000, 13)},
                                    {"system/app/Old.apk", deadMarker},
                                    {"system/app/Keep.apk", randomBytes(30000, 14)},
                                    {"META-INF/CERT.SF", "old signature"},
                                    {"logo.img", deadMarker + "logo"}}));
    const QString logo = ws.newFile("logo.img", "new logo");
    QString error;
    QVERIFY2(ApplyArchiveChanges(ws.archive(),
                                 {removeChange("system/app/Old.apk"), putChange("logo.img", logo)},
                                 &error),
             qPrintable(error));
    const QByteArray source = readBytes(ws.archive());
    QVERIFY(source.contains(deadMarker));

    const QByteArray manifest = textBytes(5000, 15);
    QByteArray copy;
    qint64 lastDone = -1, lastTotal = -1;
    QVERIFY2(WriteCompactArchive(
                 ws.archive(), {{"META-INF/MANIFEST.MF", manifest}, {"META-INF/CERT.SF", "new"}},
                 [&copy](const char* data, qint64 size) {
                     copy.append(data, size);
                     return true;
                 },
                 &error,
                 [&](qint64 done, qint64 total) {
                     QVERIFY(done >= lastDone);
                     lastDone = done;
                     lastTotal = total;
                 }),
             qPrintable(error));
    QCOMPARE(lastDone, lastTotal);
    // The caller completes the end record: comment length and comment.
    QCOMPARE(copy.right(20).left(4), QByteArray("PK\x05\x06", 4));
    copy.append(QByteArray("\x00\x00", 2));
    QVERIFY(writeBytes(ws.file("compact.zip"), copy));
    VERIFY_STRICT(ws.file("compact.zip"));
    QVERIFY(!copy.contains(deadMarker));
    QVERIFY(copy.size() < source.size());

    // Every live member keeps its bytes as they were (no re-compression),
    // the extra members follow, one replacing the old CERT.SF.
    QList<ArchiveMember> before, after;
    QVERIFY(ReadArchiveMembers(ws.archive(), &before, &error));
    QVERIFY(ReadArchiveMembers(ws.file("compact.zip"), &after, &error));
    QStringList names;
    for (const ArchiveMember& member : after)
        names << member.name;
    QCOMPARE(names, QStringList({"system/build.prop", "system/app/Keep.apk", "logo.img",
                                 "META-INF/MANIFEST.MF", "META-INF/CERT.SF"}));
    for (const ArchiveMember& old : before) {
        if (old.name == "META-INF/CERT.SF")
            continue;
        const auto match = std::find_if(after.cbegin(), after.cend(),
                                        [&](const ArchiveMember& m) { return m.name == old.name; });
        QVERIFY(match != after.cend());
        QCOMPARE(match->crc32, old.crc32);
        QCOMPARE(match->method, old.method);
        QCOMPARE(rawData(copy, *match), rawData(source, old));
    }
    QCOMPARE(after[3].method, static_cast<quint16>(8));
    QCOMPARE(after[4].method, static_cast<quint16>(0));
    const QMap<QString, QByteArray> contents = ReadZip(ws.file("compact.zip"));
    QCOMPARE(contents.value("META-INF/MANIFEST.MF"), manifest);
    QCOMPARE(contents.value("META-INF/CERT.SF"), QByteArray("new"));
    QCOMPARE(contents.value("logo.img"), QByteArray("new logo"));

    // The same archive copies to the same bytes.
    QByteArray again;
    QVERIFY(WriteCompactArchive(
        ws.archive(), {{"META-INF/MANIFEST.MF", manifest}, {"META-INF/CERT.SF", "new"}},
        [&again](const char* data, qint64 size) {
            again.append(data, size);
            return true;
        },
        &error));
    QCOMPARE(again + QByteArray("\x00\x00", 2), copy);
}

void TestArchiveEditor::compactCopySinkFailure() {
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), kPackage));
    QString error;
    QVERIFY(!WriteCompactArchive(
        ws.archive(), {}, [](const char*, qint64) { return false; }, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!WriteCompactArchive(
        ws.file("missing.zip"), {}, [](const char*, qint64) { return true; }, &error));
    QVERIFY(error.contains("missing.zip"));
}

void TestArchiveEditor::dataDescriptorsAreKept() {
    // zip writing to a pipe cannot seek back: every entry gets a data
    // descriptor after its data.
    Workspace ws;
    const QString a = ws.newFile("a.txt", "alpha\n");
    const QString b = ws.newFile("b.txt", textBytes(9000, 16));
    const QString c = ws.newFile("c.txt", textBytes(7000, 17));
    QProcess zip;
    zip.setWorkingDirectory(QFileInfo(a).absolutePath());
    zip.setStandardOutputFile(ws.archive());
    zip.start("sh", {"-c", "zip -q - a.txt b.txt c.txt | cat"});
    QVERIFY(zip.waitForFinished(30000));
    QCOMPARE(zip.exitCode(), 0);
    QByteArray bytes = readBytes(ws.archive());
    QCOMPARE(bytes.count(QByteArray("PK\x07\x08", 4)), 3);

    const QString d = ws.newFile("d.txt", "delta");
    QString error;
    QVERIFY2(
        ApplyArchiveChanges(ws.archive(), {removeChange("b.txt"), putChange("d.txt", d)}, &error),
        qPrintable(error));
    VERIFY_STRICT(ws.archive());

    QByteArray copy;
    QVERIFY2(WriteCompactArchive(
                 ws.archive(), {},
                 [&copy](const char* data, qint64 size) {
                     copy.append(data, size);
                     return true;
                 },
                 &error),
             qPrintable(error));
    QVERIFY(writeBytes(ws.file("compact.zip"), copy + QByteArray("\x00\x00", 2)));
    VERIFY_STRICT(ws.file("compact.zip"));
    QCOMPARE(copy.count(QByteArray("PK\x07\x08", 4)), 2);
    const QMap<QString, QByteArray> contents = ReadZip(ws.file("compact.zip"));
    QCOMPARE(contents.keys(), QStringList({"a.txt", "c.txt", "d.txt"}));
    QCOMPARE(contents.value("c.txt"), readBytes(c));
}

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], kChildMode) == 0)
        return applyInChild(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    QCoreApplication app(argc, argv);
    TestArchiveEditor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ArchiveEditor.moc"
