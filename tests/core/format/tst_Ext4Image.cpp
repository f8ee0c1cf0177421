// An ext4 image edited in place, as a plain user, without mounting it: made
// at test time by mke2fs -d from a small tree, labelled with debugfs, judged
// after each edit by e2fsck -fn and by debugfs (owners, modes, labels).
#include "core/base/Messages.h"
#include "core/base/ToolRunner.h"
#include "core/format/Ext4Image.h"
#include "core/format/ZipFormat.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kAppLabel = QByteArrayLiteral("u:object_r:system_file:s0\0");
const QByteArray kLibLabel = QByteArrayLiteral("u:object_r:system_lib_file:s0\0");
const QByteArray kPropLabel = QByteArrayLiteral("u:object_r:system_prop_file:s0\0");
const QByteArray kConfLabel = QByteArrayLiteral("u:object_r:system_conf_file:s0\0");
constexpr qint64 kBuildTime = 1600000000;

QString Tool(const QString& name) {
    QString found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"});
    return found;
}

// Runs a tool; its standard output, or a null array when it fails.
QByteArray Run(const QString& tool, const QStringList& arguments, int* exitCode = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(Tool(tool), arguments);
    process.waitForFinished(120000);
    if (exitCode)
        *exitCode = process.exitCode();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning().noquote() << tool << arguments.join(' ') << process.readAllStandardError();
        return {};
    }
    QByteArray out = process.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& c : bytes)
        c = static_cast<char>(random.bounded(256));
    return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A debugfs command on the image, its output.
QByteArray Debugfs(const QString& image, const QString& request, bool write = false) {
    QStringList arguments;
    if (write)
        arguments << "-w";
    arguments << "-R" << request << image;
    return Run("debugfs", arguments);
}

// The label debugfs reads for a path, with its final NUL.
QByteArray DebugfsLabel(const QString& image, const QString& path) {
    const QByteArray out = Debugfs(image, "ea_get " + path + " security.selinux");
    const qsizetype open = out.indexOf('"');
    const qsizetype close = out.lastIndexOf('"');
    if (open < 0 || close <= open)
        return {};
    QByteArray value = out.mid(open + 1, close - open - 1);
    value.replace("\\000", QByteArray(1, '\0'));
    return value;
}

// debugfs's "stat": mode (octal text), user and group of a path.
struct DebugfsStat {
    QString mode;
    int user = -1;
    int group = -1;
    int inode = -1;
};
DebugfsStat StatOf(const QString& image, const QString& path) {
    const QString out = QString::fromLatin1(Debugfs(image, "stat " + path));
    DebugfsStat stat;
    QRegularExpression inode("Inode: (\\d+)");
    QRegularExpression mode("Mode:\\s+(\\d+)");
    QRegularExpression owner("User:\\s+(\\d+)\\s+Group:\\s+(\\d+)");
    if (auto m = inode.match(out); m.hasMatch())
        stat.inode = m.captured(1).toInt();
    if (auto m = mode.match(out); m.hasMatch())
        stat.mode = m.captured(1);
    if (auto m = owner.match(out); m.hasMatch()) {
        stat.user = m.captured(1).toInt();
        stat.group = m.captured(2).toInt();
    }
    return stat;
}

struct Fixture {
    QString image;
    QString prefix; // "/" or "/system/" in the image
};

// A small system partition: two apps, a privileged app, a library, build.prop
// and the label rules, labelled as a device's image is; made by mke2fs -d.
Fixture MakeImage(const QString& dir, const QStringList& mke2fsOptions, bool systemAsRoot,
                  bool labelled = true, bool withContexts = true, const QString& size = "16M") {
    const QString tree = dir + "/tree";
    const QString root = systemAsRoot ? tree + "/system" : tree;
    WriteFile(root + "/app/Foo/Foo.apk", RandomBytes(30000, 1));
    WriteFile(root + "/app/Bar/Bar.apk", RandomBytes(70000, 2));
    WriteFile(root + "/app/Bar/lib/arm/libbar.so", RandomBytes(5000, 3));
    WriteFile(root + "/priv-app/Priv/Priv.apk", RandomBytes(9000, 4));
    WriteFile(root + "/lib/libfoo.so", RandomBytes(4000, 5));
    WriteFile(root + "/build.prop", "ro.build.version.release=9\nro.build.date.utc=1600000000\n");
    if (withContexts)
        WriteFile(root + "/etc/selinux/plat_file_contexts",
                  "/system(/.*)?\tu:object_r:system_file:s0\n"
                  "/system/etc(/.*)?\tu:object_r:system_conf_file:s0\n"
                  "/system/lib(/.*)?\tu:object_r:system_lib_file:s0\n");
    if (systemAsRoot)
        QDir().mkpath(tree + "/vendor");
    Fixture fixture{dir + "/system.img", systemAsRoot ? "/system/" : "/"};
    QStringList arguments{"-q", "-F", "-t", "ext4"};
    arguments << mke2fsOptions << "-d" << tree << fixture.image << size;
    if (Run("mke2fs", arguments).isNull())
        return {};
    if (labelled) {
        const QString labels = dir + "/labels";
        WriteFile(labels + "/app", kAppLabel);
        WriteFile(labels + "/lib", kLibLabel);
        WriteFile(labels + "/prop", kPropLabel);
        const QList<QPair<QString, QString>> table = {
            {"app", "app"},
            {"app/Foo", "app"},
            {"app/Foo/Foo.apk", "app"},
            {"app/Bar", "app"},
            {"app/Bar/Bar.apk", "app"},
            {"app/Bar/lib", "app"},
            {"app/Bar/lib/arm", "app"},
            {"app/Bar/lib/arm/libbar.so", "lib"},
            {"priv-app/Priv/Priv.apk", "app"},
            {"lib/libfoo.so", "lib"},
            {"build.prop", "prop"},
        };
        for (const auto& [path, label] : table)
            if (Debugfs(fixture.image,
                        QString("ea_set -f %1/%2 %3%4 security.selinux")
                            .arg(labels, label, fixture.prefix, path),
                        true)
                    .isNull())
                return {};
    }
    return fixture;
}

bool E2fsckClean(const QString& image) {
    int code = -1;
    Run("e2fsck", {"-fn", image}, &code);
    return code == 0;
}

} // namespace

class TestExt4Image : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void editsKeepTheImageCleanAndUntouchedFilesAlike_data();
    void editsKeepTheImageCleanAndUntouchedFilesAlike();
    void labelsComeFromTheImagesFileContextsWithoutASibling();
    void aFileWithoutALabelIsRefusedNamingIt();
    void readsAnApkThroughTheZipReader();
    void imagesThatCannotBeTrustedAreRefused_data();
    void imagesThatCannotBeTrustedAreRefused();
    void anEditThatDoesNotFitIsRefusedWithTheRoomNeeded();
};

void TestExt4Image::initTestCase() {
    for (const char* tool : {"mke2fs", "debugfs", "e2fsck"})
        if (Tool(tool).isEmpty())
            QFAIL(qPrintable(QString("%1 (e2fsprogs) is needed").arg(tool)));
}

void TestExt4Image::editsKeepTheImageCleanAndUntouchedFilesAlike_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("systemAsRoot");
    QTest::addRow("journal, 4 KiB blocks") << QStringList{"-b", "4096"} << false;
    QTest::addRow("no journal") << QStringList{"-O", "^has_journal"} << false;
    QTest::addRow("metadata_csum") << QStringList{"-O", "metadata_csum"} << false;
    QTest::addRow("no metadata_csum") << QStringList{"-O", "^metadata_csum"} << false;
    QTest::addRow("128-byte inodes") << QStringList{"-I", "128"} << false;
    QTest::addRow("1 KiB blocks") << QStringList{"-b", "1024"} << false;
    QTest::addRow("inline_data") << QStringList{"-O", "inline_data"} << false;
    QTest::addRow("system-as-root") << QStringList{} << true;
    QTest::addRow("system-as-root, 128-byte inodes, no journal")
        << QStringList{"-I", "128", "-O", "^has_journal"} << true;
}

void TestExt4Image::editsKeepTheImageCleanAndUntouchedFilesAlike() {
    QFETCH(QStringList, options);
    QFETCH(bool, systemAsRoot);
    QTemporaryDir dir;
    const Fixture fixture = MakeImage(dir.path(), options, systemAsRoot);
    QVERIFY(!fixture.image.isEmpty());
    const QString p = fixture.prefix;
    const DebugfsStat fooBefore = StatOf(fixture.image, p + "app/Foo/Foo.apk");
    const DebugfsStat propBefore = StatOf(fixture.image, p + "build.prop");
    const DebugfsStat libBefore = StatOf(fixture.image, p + "lib/libfoo.so");
    QVERIFY(fooBefore.inode > 0);

    ToolRunner runner;
    QString cause;
    {
        auto image =
            Ext4Image::Open(fixture.image, Ext4Image::Mode::ReadWrite, "/system", runner, &cause);
        QVERIFY2(image, qPrintable(cause));
        QCOMPARE(image->facts().layout,
                 systemAsRoot ? Ext4Layout::SystemAsRoot : Ext4Layout::Classic);
        QCOMPARE(image->facts().size(), quint64(16) << 20);
        QVERIFY(!image->facts().sharedBlocks);
        image->setTime(kBuildTime);
        const quint64 freeBefore = image->facts().freeBytes();
        const quint64 held = image->bytesHeldBy("priv-app/Priv");
        QVERIFY(held >= 9000);
        QVERIFY2(image->remove("priv-app/Priv", &cause), qPrintable(cause));
        QCOMPARE(image->facts().freeBytes(), freeBefore + held);
        const QString apk = dir.path() + "/New.apk";
        QVERIFY(WriteFile(apk, RandomBytes(200000, 9)));
        QVERIFY2(image->addFile("app/New/New.apk", apk, &cause), qPrintable(cause));
        QVERIFY2(image->addFileBytes("app/New/lib/arm/libnew.so", RandomBytes(3000, 10), &cause),
                 qPrintable(cause));
        QVERIFY2(image->addFileBytes("lib/libadded.so", RandomBytes(100, 11), &cause),
                 qPrintable(cause));
        QVERIFY2(image->replaceFile("build.prop", "ro.build.version.release=9\nro.new=1\n", &cause),
                 qPrintable(cause));
        QVERIFY(!image->addFileBytes("app/Foo/Foo.apk", "x", &cause));
        QCOMPARE(cause, Msg::ImagePathExists("app/Foo/Foo.apk"));
        QVERIFY2(image->close(&cause), qPrintable(cause));
    }
    QVERIFY(E2fsckClean(fixture.image));

    // Touched: owners 0:0, modes 0644 / 0755, labels of their kind.
    struct Expected {
        QString path;
        QString mode;
        QByteArray label;
    };
    const QList<Expected> touched = {
        {"app/New", "0755", kAppLabel},         {"app/New/New.apk", "0644", kAppLabel},
        {"app/New/lib/arm", "0755", kAppLabel}, {"app/New/lib/arm/libnew.so", "0644", kLibLabel},
        {"lib/libadded.so", "0644", kLibLabel},
    };
    for (const Expected& expected : touched) {
        const DebugfsStat stat = StatOf(fixture.image, p + expected.path);
        QVERIFY2(stat.inode > 0, qPrintable(expected.path));
        QCOMPARE(stat.mode, expected.mode);
        QCOMPARE(stat.user, 0);
        QCOMPARE(stat.group, 0);
        QCOMPARE(DebugfsLabel(fixture.image, p + expected.path), expected.label);
    }
    // Replaced: the same inode, owner, mode and label; the new bytes.
    const DebugfsStat prop = StatOf(fixture.image, p + "build.prop");
    QCOMPARE(prop.inode, propBefore.inode);
    QCOMPARE(prop.mode, propBefore.mode);
    QCOMPARE(prop.user, propBefore.user);
    QCOMPARE(DebugfsLabel(fixture.image, p + "build.prop"), kPropLabel);
    QCOMPARE(Debugfs(fixture.image, "cat " + p + "build.prop"),
             QByteArray("ro.build.version.release=9\nro.new=1\n"));
    // Not touched: all alike.
    for (const auto& [path, before, label] :
         {std::tuple{QString("app/Foo/Foo.apk"), fooBefore, kAppLabel},
          std::tuple{QString("lib/libfoo.so"), libBefore, kLibLabel}}) {
        const DebugfsStat after = StatOf(fixture.image, p + path);
        QCOMPARE(after.inode, before.inode);
        QCOMPARE(after.mode, before.mode);
        QCOMPARE(after.user, before.user);
        QCOMPARE(after.group, before.group);
        QCOMPARE(DebugfsLabel(fixture.image, p + path), label);
    }
    QCOMPARE(Debugfs(fixture.image, "cat " + p + "app/Foo/Foo.apk"), RandomBytes(30000, 1));
    QCOMPARE(Debugfs(fixture.image, "cat " + p + "app/New/New.apk"), RandomBytes(200000, 9));
    QVERIFY(StatOf(fixture.image, p + "priv-app/Priv").inode < 0);
    QVERIFY(StatOf(fixture.image, p + "priv-app").inode > 0);

    // Read back through the library, the layout's prefix applied.
    auto image =
        Ext4Image::Open(fixture.image, Ext4Image::Mode::ReadOnly, "/system", runner, &cause);
    QVERIFY2(image, qPrintable(cause));
    QList<Ext4Entry> entries;
    QVERIFY2(image->list("app", &entries, &cause), qPrintable(cause));
    QStringList names;
    for (const Ext4Entry& entry : entries)
        names << entry.name;
    names.sort();
    QCOMPARE(names, QStringList({"Bar", "Foo", "New"}));
    QByteArray bytes;
    QVERIFY2(image->readFile("app/New/New.apk", 1 << 20, &bytes, &cause), qPrintable(cause));
    QCOMPARE(bytes, RandomBytes(200000, 9));
    Ext4Stat stat;
    QVERIFY(image->stat("app/New/New.apk", &stat, &cause));
    QCOMPARE(stat.mtime, quint64(kBuildTime));
    QCOMPARE(stat.label, kAppLabel);
    QVERIFY(!stat.hasCapabilities);
}

void TestExt4Image::labelsComeFromTheImagesFileContextsWithoutASibling() {
    QTemporaryDir dir;
    const Fixture fixture = MakeImage(dir.path(), {}, false);
    QVERIFY(!fixture.image.isEmpty());
    ToolRunner runner;
    QString cause;
    {
        auto image =
            Ext4Image::Open(fixture.image, Ext4Image::Mode::ReadWrite, "/system", runner, &cause);
        QVERIFY2(image, qPrintable(cause));
        QVERIFY2(image->addFileBytes("etc/init/new.rc", "service x /system/bin/x\n", &cause),
                 qPrintable(cause));
        QVERIFY(image->close(&cause));
    }
    QVERIFY(E2fsckClean(fixture.image));
    QCOMPARE(DebugfsLabel(fixture.image, "/etc/init/new.rc"), kConfLabel);
    QCOMPARE(DebugfsLabel(fixture.image, "/etc/init"), kConfLabel);
}

void TestExt4Image::aFileWithoutALabelIsRefusedNamingIt() {
    QTemporaryDir dir;
    const Fixture fixture = MakeImage(dir.path(), {}, false, false, false);
    QVERIFY(!fixture.image.isEmpty());
    const QByteArray before = Debugfs(fixture.image, "ls -l /app");
    ToolRunner runner;
    QString cause;
    {
        auto image =
            Ext4Image::Open(fixture.image, Ext4Image::Mode::ReadWrite, "/system", runner, &cause);
        QVERIFY2(image, qPrintable(cause));
        QVERIFY(!image->addFileBytes("app/New/New.apk", "bytes", &cause));
        QCOMPARE(cause, Msg::ImageNoLabel("app/New/New.apk"));
        QVERIFY(image->close(&cause));
    }
    QVERIFY(E2fsckClean(fixture.image));
    QCOMPARE(Debugfs(fixture.image, "ls -l /app"), before);
}

void TestExt4Image::readsAnApkThroughTheZipReader() {
    QTemporaryDir dir;
    // A small ZIP made by zip, put into the image as an APK.
    const QString tree = dir.path() + "/tree";
    QVERIFY(WriteFile(dir.path() + "/z/AndroidManifest.xml", "manifest"));
    QVERIFY(WriteFile(dir.path() + "/z/classes.dex", RandomBytes(5000, 7)));
    QProcess zip;
    zip.setWorkingDirectory(dir.path() + "/z");
    QDir().mkpath(tree + "/app/Z");
    zip.start("zip", {"-q", "-r", tree + "/app/Z/Z.apk", "."});
    QVERIFY(zip.waitForFinished() && zip.exitCode() == 0);
    const QString imagePath = dir.path() + "/system.img";
    QVERIFY(!Run("mke2fs", {"-q", "-F", "-t", "ext4", "-d", tree, imagePath, "8M"}).isNull());
    ToolRunner runner;
    QString cause;
    auto image = Ext4Image::Open(imagePath, Ext4Image::Mode::ReadOnly, "/system", runner, &cause);
    QVERIFY2(image, qPrintable(cause));
    const auto source = image->openFile("app/Z/Z.apk", &cause);
    QVERIFY2(source, qPrintable(cause));
    ZipDirectory directory;
    QVERIFY2(ReadZipDirectory(*source, &directory, &cause), qPrintable(cause));
    QStringList names;
    for (const ZipCentralEntry& entry : directory.entries)
        names << QString::fromUtf8(entry.rawName);
    names.sort();
    QCOMPARE(names, QStringList({"AndroidManifest.xml", "classes.dex"}));
}

void TestExt4Image::imagesThatCannotBeTrustedAreRefused_data() {
    QTest::addColumn<QString>("damage"); // how the image is made or spoiled
    QTest::addColumn<bool>("forWriting");
    QTest::addColumn<QString>("cause");
    QTest::addRow("not a filesystem") << "garbage" << false << "e2fsck";
    QTest::addRow("ext2") << "ext2" << false << Msg::ImageNotExt4();
    QTest::addRow("shared_blocks, for writing")
        << "shared_blocks" << true << Msg::ImageHasSharedBlocks();
    QTest::addRow("damaged") << "links" << false << "e2fsck";
}

void TestExt4Image::imagesThatCannotBeTrustedAreRefused() {
    QFETCH(QString, damage);
    QFETCH(bool, forWriting);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    QString imagePath = dir.path() + "/system.img";
    if (damage == "garbage") {
        QVERIFY(WriteFile(imagePath, RandomBytes(1 << 20, 3)));
    } else if (damage == "ext2") {
        QVERIFY(!Run("mke2fs", {"-q", "-F", "-t", "ext2", imagePath, "4M"}).isNull());
    } else {
        imagePath = MakeImage(dir.path(), {}, false).image;
        QVERIFY(!imagePath.isEmpty());
        if (damage == "shared_blocks")
            QVERIFY(!Debugfs(imagePath, "feature shared_blocks", true).isNull());
        else
            QVERIFY(!Debugfs(imagePath, "sif /app/Foo/Foo.apk links_count 5", true).isNull());
    }
    const QByteArray before = [&] {
        QFile file(imagePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    ToolRunner runner;
    QString why;
    auto image = Ext4Image::Open(
        imagePath, forWriting ? Ext4Image::Mode::ReadWrite : Ext4Image::Mode::ReadOnly, "/system",
        runner, &why);
    QVERIFY(!image);
    if (cause == "e2fsck")
        QVERIFY2(why.startsWith(Msg::ImageNotClean(QString()).left(20)), qPrintable(why));
    else
        QCOMPARE(why, cause);
    QFile file(imagePath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == before);
    if (damage == "shared_blocks") {
        // Read, not edited: its facts say so.
        auto reader =
            Ext4Image::Open(imagePath, Ext4Image::Mode::ReadOnly, "/system", runner, &why);
        QVERIFY2(reader, qPrintable(why));
        QVERIFY(reader->facts().sharedBlocks);
    }
}

void TestExt4Image::anEditThatDoesNotFitIsRefusedWithTheRoomNeeded() {
    QTemporaryDir dir;
    const Fixture fixture = MakeImage(dir.path(), {}, false);
    QVERIFY(!fixture.image.isEmpty());
    const QString big = dir.path() + "/Big.apk";
    QVERIFY(WriteFile(big, RandomBytes(20 << 20, 4)));
    const QByteArray before = Debugfs(fixture.image, "ls -l /app");
    ToolRunner runner;
    QString cause;
    {
        auto image =
            Ext4Image::Open(fixture.image, Ext4Image::Mode::ReadWrite, "/system", runner, &cause);
        QVERIFY2(image, qPrintable(cause));
        const quint64 free = image->facts().freeBytes();
        QVERIFY(!image->addFile("app/Big/Big.apk", big, &cause));
        QCOMPARE(cause, Msg::ImageNoRoom(image->bytesNeededFor({20 << 20}), free));
        QVERIFY(image->close(&cause));
    }
    QVERIFY(E2fsckClean(fixture.image));
    QCOMPARE(Debugfs(fixture.image, "ls -l /app"), before);
}

QTEST_GUILESS_MAIN(TestExt4Image)
#include "tst_Ext4Image.moc"
