#include "core/Archive.h"

#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <zip.h>

namespace {

// What libzip says about one member.
struct MemberInfo {
    bool found = false;
    quint16 method = 0;
    qint64 mtime = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint8 opsys = 0;
    quint32 attributes = 0;
    bool utf8Flagged = false;
};

MemberInfo memberInfo(const QString& archivePath, const QString& name) {
    MemberInfo info;
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(archivePath).constData(), ZIP_RDONLY, &error);
    if (!zip)
        return info;
    const zip_int64_t index = zip_name_locate(zip, name.toUtf8().constData(), 0);
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (index >= 0 && zip_stat_index(zip, static_cast<zip_uint64_t>(index), 0, &stat) == 0) {
        const auto entry = static_cast<zip_uint64_t>(index);
        info.found = true;
        info.method = stat.comp_method;
        info.mtime = stat.mtime;
        info.crc = stat.crc;
        info.compressedSize = stat.comp_size;
        zip_file_get_external_attributes(zip, entry, 0, &info.opsys, &info.attributes);
        // Read strictly, a name without the UTF-8 flag is taken as CP437.
        const char* strict = zip_get_name(zip, entry, ZIP_FL_ENC_STRICT);
        info.utf8Flagged = strict && QString::fromUtf8(strict) == name;
    }
    zip_discard(zip);
    return info;
}

// An archive with members of different methods, times and attributes.
bool writeVariedZip(const QString& path) {
    int error = 0;
    zip_t* zip = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!zip)
        return false;
    struct Member {
        const char* name;
        QByteArray data;
        zip_int32_t method;
        QDateTime time;
        zip_uint8_t opsys;
        zip_uint32_t attributes;
    };
    static QByteArray stored(3000, 's');
    static QByteArray deflated = QByteArray("text line\n").repeated(500);
    const Member members[] = {
        {"stored.bin", stored, ZIP_CM_STORE, QDateTime(QDate(1999, 12, 31), QTime(23, 58, 0)),
         ZIP_OPSYS_UNIX, 0100755u << 16},
        {"system/deflated.txt", deflated, ZIP_CM_DEFLATE,
         QDateTime(QDate(2010, 6, 15), QTime(8, 30, 10)), ZIP_OPSYS_DOS, 0x21},
        {"logo.img", QByteArray("old logo"), ZIP_CM_DEFLATE,
         QDateTime(QDate(2012, 1, 2), QTime(3, 4, 6)), ZIP_OPSYS_UNIX, 0100644u << 16},
    };
    bool ok = true;
    for (const Member& member : members) {
        zip_source_t* source = zip_source_buffer(zip, member.data.constData(),
                                                 static_cast<zip_uint64_t>(member.data.size()), 0);
        const zip_int64_t index = zip_file_add(zip, member.name, source, 0);
        if (index < 0) {
            zip_source_free(source);
            ok = false;
            break;
        }
        const auto entry = static_cast<zip_uint64_t>(index);
        ok = ok && zip_set_file_compression(zip, entry, member.method, 0) == 0 &&
             zip_file_set_mtime(zip, entry, member.time.toSecsSinceEpoch(), 0) == 0 &&
             zip_file_set_external_attributes(zip, entry, 0, member.opsys, member.attributes) == 0;
    }
    if (!ok) {
        zip_discard(zip);
        return false;
    }
    return zip_close(zip) == 0;
}

// An even number of seconds, as the two-second time of a ZIP member keeps it.
const QDateTime kOldTime(QDate(2001, 2, 3), QTime(4, 5, 6));

bool writeFileWithTime(const QString& path, const QByteArray& data, const QDateTime& time) {
    if (!WriteFile(path, data))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

// Everything in the archive's directory other than the archive itself: a
// temporary file left behind by a failed update shows up here.
QStringList strayFiles(const QString& archivePath) {
    const QFileInfo archive(archivePath);
    QStringList names = QDir(archive.absolutePath())
                            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.removeAll(archive.fileName());
    return names;
}

const QList<QPair<QString, QByteArray>> kPackage = {
    {"system/build.prop", "ro.build.version.release=4.4\n"},
    {"system/app/Old.apk", "old apk"},
    {"system/media/bootanimation.zip", "old animation"},
    {"logo.img", "old logo"},
};

QMap<QString, QByteArray> packageMap() {
    QMap<QString, QByteArray> map;
    for (const auto& member : kPackage)
        map.insert(member.first, member.second);
    return map;
}

// A working archive in its own directory and a directory for files on disk.
class Workspace {
public:
    Workspace() {
        QDir().mkpath(m_dir.filePath("zipTemp"));
        QDir().mkpath(m_dir.filePath("disk"));
    }
    QString archive() const { return m_dir.filePath("zipTemp/temp.zip"); }
    QString disk(const QString& name) const { return m_dir.filePath("disk/" + name); }
    QString path(const QString& relative) const { return m_dir.filePath(relative); }
    bool writePackage() const { return WriteZip(archive(), kPackage); }

private:
    QTemporaryDir m_dir;
};

} // namespace

class TestArchive : public QObject {
    Q_OBJECT
private slots:
    void memberName_data();
    void memberName();
    void update_data();
    void update();
    void untouchedMembersKeepTheirEntries_data();
    void untouchedMembersKeepTheirEntries();
    void updateKeepsArchivePermissions();
    void deleteMember();
    void deleteMissingMemberLeavesArchiveAsItIs_data();
    void deleteMissingMemberLeavesArchiveAsItIs();
    void deleteLastMemberLeavesEmptyArchive();
    void failureLeavesArchiveWhole_data();
    void failureLeavesArchiveWhole();
    void batchAppliesOperationsInOrder();
    void batchIsAllOrNothing();
    void readableZipArchive_data();
    void readableZipArchive();
};

void TestArchive::memberName_data() {
    QTest::addColumn<QChar>("letter");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("pathInArchive");
    QTest::addColumn<QString>("expected");

    QTest::newRow("add apk") << QChar('a') << "/w/Apktemp/Foo.apk"
                             << "system\\app"
                             << "system/app/Foo.apk";
    QTest::newRow("add library") << QChar('a') << "/w/UzApk/lib/armeabi/libfoo.so"
                                 << "system\\lib"
                                 << "system/lib/libfoo.so";
    QTest::newRow("update, trailing separator")
        << QChar('u') << "/w/srctemp/system/media/bootanimation.zip"
        << "system\\media\\"
        << "system/media/bootanimation.zip";
    QTest::newRow("update at root") << QChar('u') << "/w/srctemp/logo.img"
                                    << ""
                                    << "logo.img";
    QTest::newRow("forward slashes") << QChar('u') << "/w/srctemp/system/etc/key.xml"
                                     << "system/etc"
                                     << "system/etc/key.xml";
    QTest::newRow("leading and doubled separators") << QChar('a') << "/w/Foo.apk"
                                                    << "\\system\\\\app\\"
                                                    << "system/app/Foo.apk";
    QTest::newRow("delete") << QChar('d') << "system\\app\\Foo.apk"
                            << ""
                            << "system/app/Foo.apk";
    QTest::newRow("delete ignores path in archive") << QChar('d') << "system\\app\\Foo\\Foo.apk"
                                                    << "userdata\\app"
                                                    << "system/app/Foo/Foo.apk";
    QTest::newRow("delete, leading separator") << QChar('d') << "\\userdata\\app\\Bar.apk"
                                               << ""
                                               << "userdata/app/Bar.apk";
    QTest::newRow("chinese") << QChar('a') << "/w/数据/中文应用.apk"
                             << "userdata\\app"
                             << "userdata/app/中文应用.apk";
    QTest::newRow("no file name") << QChar('a') << "/w/dir/"
                                  << "system\\app"
                                  << "";
}

void TestArchive::memberName() {
    QFETCH(QChar, letter);
    QFETCH(QString, file);
    QFETCH(QString, pathInArchive);
    QFETCH(QString, expected);
    QCOMPARE(ArchiveMemberName(letter, file, pathInArchive), expected);
}

void TestArchive::update_data() {
    QTest::addColumn<QChar>("letter");
    QTest::addColumn<QString>("pathInArchive");
    QTest::addColumn<QString>("diskName");
    QTest::addColumn<QString>("member");

    QTest::newRow("a adds under path") << QChar('a') << "system\\app"
                                       << "New.apk"
                                       << "system/app/New.apk";
    QTest::newRow("a replaces member of that name") << QChar('a') << "system\\app"
                                                    << "Old.apk"
                                                    << "system/app/Old.apk";
    QTest::newRow("u replaces under path") << QChar('u') << "system"
                                           << "build.prop"
                                           << "system/build.prop";
    QTest::newRow("u adds missing under path")
        << QChar('u') << "system\\usr\\keylayout"
        << "Vendor_0001_Product_0001.kl"
        << "system/usr/keylayout/Vendor_0001_Product_0001.kl";
    QTest::newRow("u with trailing separator") << QChar('u') << "system\\media\\"
                                               << "bootanimation.zip"
                                               << "system/media/bootanimation.zip";
    QTest::newRow("u replaces at root") << QChar('u') << ""
                                        << "logo.img"
                                        << "logo.img";
    QTest::newRow("u adds at root") << QChar('u') << ""
                                    << "pq_param.img"
                                    << "pq_param.img";
    QTest::newRow("chinese name") << QChar('a') << "userdata\\app"
                                  << "中文应用.apk"
                                  << "userdata/app/中文应用.apk";
}

void TestArchive::update() {
    QFETCH(QChar, letter);
    QFETCH(QString, pathInArchive);
    QFETCH(QString, diskName);
    QFETCH(QString, member);

    Workspace ws;
    QVERIFY(ws.writePackage());
    // Older than the archived copy: the file on disk still wins.
    const QByteArray data = QByteArray("new contents of ").append(diskName.toUtf8()).repeated(50);
    const QString file = ws.disk(diskName);
    QVERIFY(writeFileWithTime(file, data, kOldTime));

    QVERIFY(RunArchiver(letter, file, ws.archive(), pathInArchive));

    QMap<QString, QByteArray> expected = packageMap();
    expected.insert(member, data);
    QCOMPARE(ReadZip(ws.archive()), expected);
    QCOMPARE(ZipMemberNames(ws.archive()).size(), expected.size());

    const MemberInfo info = memberInfo(ws.archive(), member);
    QVERIFY(info.found);
    QCOMPARE(info.method, quint16(ZIP_CM_DEFLATE));
    QCOMPARE(info.mtime, kOldTime.toSecsSinceEpoch());
    QVERIFY(info.utf8Flagged);
    QCOMPARE(strayFiles(ws.archive()), QStringList());
}

void TestArchive::untouchedMembersKeepTheirEntries_data() {
    QTest::addColumn<QChar>("letter");
    QTest::addColumn<QString>("pathInArchive");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("touched");

    QTest::newRow("add") << QChar('a') << "system\\app"
                         << "New.apk"
                         << "system/app/New.apk";
    QTest::newRow("replace") << QChar('u') << ""
                             << "logo.img"
                             << "logo.img";
    QTest::newRow("delete") << QChar('d') << ""
                            << "logo.img"
                            << "logo.img";
}

void TestArchive::untouchedMembersKeepTheirEntries() {
    QFETCH(QChar, letter);
    QFETCH(QString, pathInArchive);
    QFETCH(QString, file);
    QFETCH(QString, touched);

    Workspace ws;
    QVERIFY(writeVariedZip(ws.archive()));
    const QStringList untouched = {"stored.bin", "system/deflated.txt"};
    QMap<QString, MemberInfo> before;
    for (const QString& name : untouched)
        before.insert(name, memberInfo(ws.archive(), name));
    const QMap<QString, QByteArray> dataBefore = ReadZip(ws.archive());

    QString argument = file;
    if (letter != QLatin1Char('d')) {
        // The file has the time and mode of the member it replaces
        // ("logo.img"): nothing but the data differs.
        argument = ws.disk(file);
        QVERIFY(
            writeFileWithTime(argument, "new data", QDateTime(QDate(2012, 1, 2), QTime(3, 4, 6))));
        QVERIFY(chmod(QFile::encodeName(argument).constData(), 0644) == 0);
    }
    QVERIFY(RunArchiver(letter, argument, ws.archive(), pathInArchive));

    const QMap<QString, QByteArray> dataAfter = ReadZip(ws.archive());
    if (letter == QLatin1Char('d'))
        QVERIFY(!dataAfter.contains(touched));
    else
        QCOMPARE(dataAfter.value(touched), QByteArray("new data"));
    for (const QString& name : untouched) {
        QCOMPARE(dataAfter.value(name), dataBefore.value(name));
        const MemberInfo was = before.value(name);
        const MemberInfo is = memberInfo(ws.archive(), name);
        QVERIFY(is.found);
        QCOMPARE(is.method, was.method);
        QCOMPARE(is.mtime, was.mtime);
        QCOMPARE(is.crc, was.crc);
        QCOMPARE(is.compressedSize, was.compressedSize);
        QCOMPARE(is.opsys, was.opsys);
        QCOMPARE(is.attributes, was.attributes);
    }
    QCOMPARE(before.value("stored.bin").method, quint16(ZIP_CM_STORE));
    QCOMPARE(before.value("system/deflated.txt").opsys, quint8(ZIP_OPSYS_DOS));
}

void TestArchive::updateKeepsArchivePermissions() {
    Workspace ws;
    QVERIFY(ws.writePackage());
    QVERIFY(chmod(QFile::encodeName(ws.archive()).constData(), 0644) == 0);
    const QString file = ws.disk("logo.img");
    QVERIFY(WriteFile(file, "new logo"));
    QVERIFY(RunArchiver('u', file, ws.archive(), QString()));
    struct stat info;
    QCOMPARE(stat(QFile::encodeName(ws.archive()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0644));
}

void TestArchive::deleteMember() {
    Workspace ws;
    QVERIFY(ws.writePackage());
    // The path in archive plays no part in a deletion.
    QVERIFY(RunArchiver('d', "system\\app\\Old.apk", ws.archive(), "userdata\\app"));
    QMap<QString, QByteArray> expected = packageMap();
    expected.remove("system/app/Old.apk");
    QCOMPARE(ReadZip(ws.archive()), expected);
    QCOMPARE(strayFiles(ws.archive()), QStringList());
}

void TestArchive::deleteMissingMemberLeavesArchiveAsItIs_data() {
    QTest::addColumn<QString>("member");
    QTest::newRow("missing") << "system\\app\\Missing.apk";
    QTest::newRow("a directory of members") << "system\\app";
    QTest::newRow("other case") << "system\\app\\old.apk";
}

void TestArchive::deleteMissingMemberLeavesArchiveAsItIs() {
    QFETCH(QString, member);
    Workspace ws;
    QVERIFY(ws.writePackage());
    const QByteArray bytes = ReadFile(ws.archive());
    QVERIFY(RunArchiver('d', member, ws.archive(), QString()));
    QCOMPARE(ReadFile(ws.archive()), bytes);
}

void TestArchive::deleteLastMemberLeavesEmptyArchive() {
    Workspace ws;
    QVERIFY(WriteZip(ws.archive(), {{"system/app/Only.apk", "only"}}));
    QVERIFY(RunArchiver('d', "system\\app\\Only.apk", ws.archive(), QString()));
    QVERIFY(QFileInfo(ws.archive()).isFile());
    QVERIFY(IsReadableZipArchive(ws.archive()));
    QCOMPARE(ZipMemberNames(ws.archive()), QStringList());
    QCOMPARE(strayFiles(ws.archive()), QStringList());

    // It is still a working archive.
    const QString file = ws.disk("Next.apk");
    QVERIFY(WriteFile(file, "next"));
    QVERIFY(RunArchiver('a', file, ws.archive(), "system\\app"));
    QCOMPARE(ReadZip(ws.archive()), (QMap<QString, QByteArray>{{"system/app/Next.apk", "next"}}));
}

enum class ArchiveSetup { Package, EmptyPath, Missing, NotZip, ZeroBytes, Directory, Damaged };
enum class InputSetup { File, Missing, Directory, EmptyPath };
Q_DECLARE_METATYPE(ArchiveSetup)
Q_DECLARE_METATYPE(InputSetup)

void TestArchive::failureLeavesArchiveWhole_data() {
    QTest::addColumn<ArchiveSetup>("archiveSetup");
    QTest::addColumn<InputSetup>("inputSetup");
    QTest::addColumn<QChar>("letter");

    QTest::newRow("empty archive path")
        << ArchiveSetup::EmptyPath << InputSetup::File << QChar('a');
    QTest::newRow("archive missing") << ArchiveSetup::Missing << InputSetup::File << QChar('a');
    QTest::newRow("archive not a zip") << ArchiveSetup::NotZip << InputSetup::File << QChar('u');
    QTest::newRow("archive of zero bytes")
        << ArchiveSetup::ZeroBytes << InputSetup::File << QChar('u');
    QTest::newRow("archive is a directory")
        << ArchiveSetup::Directory << InputSetup::File << QChar('u');
    QTest::newRow("delete in a non-zip") << ArchiveSetup::NotZip << InputSetup::File << QChar('d');
    QTest::newRow("input missing") << ArchiveSetup::Package << InputSetup::Missing << QChar('a');
    QTest::newRow("input is a directory")
        << ArchiveSetup::Package << InputSetup::Directory << QChar('u');
    QTest::newRow("input path empty")
        << ArchiveSetup::Package << InputSetup::EmptyPath << QChar('u');
    QTest::newRow("unknown letter") << ArchiveSetup::Package << InputSetup::File << QChar('x');
    // The new archive cannot be written: an untouched member's local header
    // points past the end of the file, so copying it fails part way.
    QTest::newRow("writing fails") << ArchiveSetup::Damaged << InputSetup::File << QChar('a');
}

void TestArchive::failureLeavesArchiveWhole() {
    QFETCH(ArchiveSetup, archiveSetup);
    QFETCH(InputSetup, inputSetup);
    QFETCH(QChar, letter);

    Workspace ws;
    QString archive = ws.archive();
    switch (archiveSetup) {
    case ArchiveSetup::Package:
        QVERIFY(ws.writePackage());
        break;
    case ArchiveSetup::EmptyPath:
        archive.clear();
        break;
    case ArchiveSetup::Missing:
        break;
    case ArchiveSetup::NotZip:
        QVERIFY(WriteFile(archive, "this is not a zip archive, just text\n"));
        break;
    case ArchiveSetup::ZeroBytes:
        QVERIFY(WriteFile(archive, QByteArray()));
        break;
    case ArchiveSetup::Directory:
        QVERIFY(QDir().mkpath(archive));
        break;
    case ArchiveSetup::Damaged: {
        QVERIFY(ws.writePackage());
        QByteArray bytes = ReadFile(archive);
        QVERIFY(bytes.startsWith("PK\x03\x04"));
        bytes[26] = char(0xFF); // file name length of the first local header
        bytes[27] = char(0xFF);
        QVERIFY(WriteFile(archive, bytes));
        break;
    }
    }

    QString file = ws.disk("logo.img");
    switch (inputSetup) {
    case InputSetup::File:
        QVERIFY(WriteFile(file, "new logo"));
        break;
    case InputSetup::Missing:
        break;
    case InputSetup::Directory:
        QVERIFY(QDir().mkpath(file));
        break;
    case InputSetup::EmptyPath:
        file.clear();
        break;
    }
    if (letter == QLatin1Char('d'))
        file = "logo.img";

    const QByteArray before = ReadFile(archive);
    const bool existed = QFileInfo::exists(archive);
    QVERIFY(!RunArchiver(letter, file, archive, "system\\app"));
    QVERIFY(!RunArchiverBatch(archive, {{letter, file, "system\\app"}}));
    QCOMPARE(QFileInfo::exists(archive), existed);
    QCOMPARE(ReadFile(archive), before);
    if (!archive.isEmpty())
        QCOMPARE(strayFiles(archive), QStringList());
}

void TestArchive::batchAppliesOperationsInOrder() {
    Workspace ws;
    QVERIFY(ws.writePackage());
    const QString armeabi = ws.path("UzApk/lib/armeabi/libfoo.so");
    const QString v7a = ws.path("UzApk/lib/armeabi-v7a/libfoo.so");
    const QString other = ws.path("UzApk/lib/armeabi/libbar.so");
    QVERIFY(WriteFile(armeabi, "armeabi foo"));
    QVERIFY(WriteFile(v7a, "v7a foo"));
    QVERIFY(WriteFile(other, "bar"));

    const QList<ArchiveOperation> operations = {
        {'a', armeabi, "system\\lib"},
        {'a', other, "system\\lib"},
        {'d', "system\\app\\Old.apk", QString()},
        {'a', v7a, "system\\lib"}, // same member name: the later one wins
        {'d', "system\\lib\\libbar.so", QString()},
        {'a', other, "system\\lib"},
    };
    QVERIFY(RunArchiverBatch(ws.archive(), operations));

    QMap<QString, QByteArray> expected = packageMap();
    expected.remove("system/app/Old.apk");
    expected.insert("system/lib/libfoo.so", "v7a foo");
    expected.insert("system/lib/libbar.so", "bar");
    QCOMPARE(ReadZip(ws.archive()), expected);
    QCOMPARE(ZipMemberNames(ws.archive()).size(), expected.size());
    QCOMPARE(strayFiles(ws.archive()), QStringList());

    // Nothing to do: the archive is not rewritten.
    const QByteArray bytes = ReadFile(ws.archive());
    QVERIFY(RunArchiverBatch(ws.archive(), {}));
    QCOMPARE(ReadFile(ws.archive()), bytes);
}

void TestArchive::batchIsAllOrNothing() {
    Workspace ws;
    QVERIFY(ws.writePackage());
    const QString first = ws.disk("libfirst.so");
    QVERIFY(WriteFile(first, "first"));
    const QByteArray bytes = ReadFile(ws.archive());

    const QList<ArchiveOperation> operations = {
        {'a', first, "system\\lib"},
        {'d', "logo.img", QString()},
        {'a', ws.disk("libmissing.so"), "system\\lib"},
    };
    QVERIFY(!RunArchiverBatch(ws.archive(), operations));
    QCOMPARE(ReadFile(ws.archive()), bytes);
    QCOMPARE(strayFiles(ws.archive()), QStringList());
}

void TestArchive::readableZipArchive_data() {
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
}

void TestArchive::readableZipArchive() {
    QFETCH(QString, kind);
    QFETCH(bool, readable);

    Workspace ws;
    QString path = ws.path("package.zip");
    QVERIFY(WriteZip(path, kPackage));
    const QByteArray bytes = ReadFile(path);
    if (kind == "empty archive") {
        QVERIFY(WriteZip(path, {{"only", "x"}}));
        QVERIFY(RunArchiver('d', "only", path, QString()));
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
    } else if (kind == "local header") {
        QByteArray damaged = bytes;
        damaged[26] = char(0xFF);
        damaged[27] = char(0xFF);
        QVERIFY(WriteFile(path, damaged));
    }
    QCOMPARE(IsReadableZipArchive(path), readable);
}

QTEST_GUILESS_MAIN(TestArchive)
#include "tst_Archive.moc"
