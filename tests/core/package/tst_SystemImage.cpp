#include "core/package/SystemImage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// The form of a package's system partition, from its member names and from
// an extracted tree's root.
class TestSystemImage : public QObject {
    Q_OBJECT
private slots:
    void form_data();
    void formFromMembers();
    void formFromMembers_data() { form_data(); }
    void formFromTree();
    void formFromTree_data() { form_data(); }
    void partitionImagesFoundForSystemAndVendor_data();
    void partitionImagesFoundForSystemAndVendor();
    void imagesNotEditedAreNamed();
    void rawImageTellsFileSystemAndVerity_data();
    void rawImageTellsFileSystemAndVerity();
    void rangeChecksAreRecomputed();
    void checksThatCannotBeRecomputedAreRefused_data();
    void checksThatCannotBeRecomputedAreRefused();
};

void TestSystemImage::form_data() {
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<int>("form");
    QTest::addColumn<QString>("name");
    const QStringList files{"system/build.prop", "system/app/Music.apk"};
    QTest::newRow("files") << files << int(SystemImageForm::Files) << QString();
    QTest::newRow("new.dat") << QStringList{"system.new.dat", "system.transfer.list",
                                            "system.patch.dat"}
                             << int(SystemImageForm::NewDat)
                             << "system.new.dat with system.transfer.list";
    QTest::newRow("new.dat.br") << QStringList{"system.new.dat.br", "system.transfer.list",
                                               "system.patch.dat"}
                                << int(SystemImageForm::NewDatBrotli)
                                << "system.new.dat.br with system.transfer.list";
    QTest::newRow("img") << QStringList{"system.img", "boot.img"} << int(SystemImageForm::Img)
                         << "system.img";
    QTest::newRow("img beside system files")
        << files + QStringList{"system.img"} << int(SystemImageForm::Img) << "system.img";
    // Without its transfer list a .new.dat is not an image the device writes.
    QTest::newRow("new.dat alone")
        << files + QStringList{"system.new.dat"} << int(SystemImageForm::Files) << QString();
    QTest::newRow("another partition's image")
        << files + QStringList{"vendor.new.dat.br", "vendor.transfer.list"}
        << int(SystemImageForm::Files) << QString();
    QTest::newRow("below a folder")
        << files + QStringList{"images/system.img"} << int(SystemImageForm::Files) << QString();
}

void TestSystemImage::formFromMembers() {
    QFETCH(QStringList, members);
    QFETCH(int, form);
    QFETCH(QString, name);
    QCOMPARE(int(SystemImageFormOf(members)), form);
    QCOMPARE(SystemImageFormName(SystemImageForm(form)), name);
}

void TestSystemImage::formFromTree() {
    QFETCH(QStringList, members);
    QFETCH(int, form);
    QTemporaryDir dir;
    for (const QString& member : members) {
        const QString path = dir.filePath(member);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QCOMPARE(int(SystemImageFormOfTree(dir.path())), form);
}

namespace {

std::function<bool(const QString&)> memberOf(const QStringList& members) {
    return [members](const QString& name) { return members.contains(name); };
}

bool writeBytes(const QString& path, const QByteArray& bytes, qint64 at = 0) {
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(at) && file.write(bytes) == bytes.size();
}

} // namespace

void TestSystemImage::partitionImagesFoundForSystemAndVendor_data() {
    QTest::addColumn<QStringList>("members");
    QTest::addColumn<QStringList>("images");
    QTest::newRow("files") << QStringList{"system/build.prop"} << QStringList{};
    QTest::newRow("system dat.br, vendor dat")
        << QStringList{"vendor.new.dat", "vendor.transfer.list", "system.new.dat.br",
                       "system.transfer.list", "system.patch.dat"}
        << QStringList{"system.new.dat.br", "vendor.new.dat"};
    QTest::newRow("img") << QStringList{"system.img", "boot.img"} << QStringList{"system.img"};
    QTest::newRow("dat without its list")
        << QStringList{"system.new.dat", "vendor.img"} << QStringList{"vendor.img"};
}

void TestSystemImage::partitionImagesFoundForSystemAndVendor() {
    QFETCH(QStringList, members);
    QFETCH(QStringList, images);
    QStringList found;
    for (const BlockImagePartition& partition : PartitionImagesOf(memberOf(members)))
        found << partition.imageMember();
    QCOMPARE(found, images);
}

void TestSystemImage::imagesNotEditedAreNamed() {
    QCOMPARE(UneditedImagesOf(memberOf({"super.img", "payload.bin", "system.img"})),
             (QStringList{"super.img (dynamic partitions)", "payload.bin (an A/B update)"}));
    QVERIFY(UneditedImagesOf(memberOf({"system.img"})).isEmpty());
    QVERIFY(HasVbmetaImage(memberOf({"vbmeta.img"})));
    QVERIFY(!HasVbmetaImage(memberOf({"system.img"})));
}

void TestSystemImage::rawImageTellsFileSystemAndVerity_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("fileSystem");
    QTest::addColumn<bool>("verity");
    QTest::addColumn<bool>("avb");
    QTest::newRow("plain ext4") << "ext4" << int(RawImageFacts::FileSystem::Ext4) << false << false;
    QTest::newRow("ext4 with verity metadata")
        << "verity" << int(RawImageFacts::FileSystem::Ext4) << true << false;
    QTest::newRow("ext4 with an AVB footer")
        << "avb" << int(RawImageFacts::FileSystem::Ext4) << false << true;
    QTest::newRow("EROFS") << "erofs" << int(RawImageFacts::FileSystem::Erofs) << false << false;
    QTest::newRow("zeros") << "zeros" << int(RawImageFacts::FileSystem::Unknown) << false << false;
}

void TestSystemImage::rawImageTellsFileSystemAndVerity() {
    QFETCH(QString, kind);
    QFETCH(int, fileSystem);
    QFETCH(bool, verity);
    QFETCH(bool, avb);
    const QString mke2fs = QStandardPaths::findExecutable("mke2fs", {"/usr/sbin", "/sbin"});
    if (mke2fs.isEmpty())
        QSKIP("mke2fs is not installed");
    QTemporaryDir dir;
    const QString image = dir.filePath("raw.img");
    if (kind == "zeros" || kind == "erofs") {
        QVERIFY(writeBytes(image, QByteArray(8192, '\0')));
        if (kind == "erofs")
            QVERIFY(writeBytes(image, QByteArray("\xe2\xe1\xf5\xe0", 4), 1024));
    } else {
        QCOMPARE(QProcess::execute(mke2fs, {"-q", "-t", "ext4", "-b", "4096", image, "4M"}), 0);
        QFile file(image);
        QVERIFY(file.resize(6 * 1024 * 1024)); // room for a hash tree and its metadata
        if (kind == "verity")
            QVERIFY(writeBytes(image, QByteArray("\x01\xb0\x01\xb0", 4), 5 * 1024 * 1024));
        if (kind == "avb")
            QVERIFY(writeBytes(image, "AVBf", 6 * 1024 * 1024 - 64));
    }
    RawImageFacts facts;
    QString error;
    QVERIFY2(InspectRawImage(image, &facts, &error), qPrintable(error));
    QCOMPARE(int(facts.fileSystem), fileSystem);
    QCOMPARE(facts.verityMetadata, verity);
    QCOMPARE(facts.avbFooter, avb);
    QCOMPARE(PartitionIsVerified(facts, false), verity || avb);
    QVERIFY(PartitionIsVerified(facts, true));
    if (fileSystem == int(RawImageFacts::FileSystem::Ext4)) {
        QCOMPARE(facts.fileSystemBytes, quint64(4 * 1024 * 1024));
        QCOMPARE(facts.fileSystemBlockSize, 4096u);
    }
}

void TestSystemImage::rangeChecksAreRecomputed() {
    QTemporaryDir dir;
    const QString image = dir.filePath("raw.img");
    QByteArray bytes(4 * 4096, 'a');
    bytes.replace(4096, 4096, QByteArray(4096, 'b'));
    QVERIFY(writeBytes(image, bytes));
    const QByteArray old(40, '0');
    const QByteArray script =
        "ui_print(\"x\");\nif range_sha1(\"/dev/block/by-name/system\", \"4,0,1,2,4\") == \"" +
        old +
        "\" then\nui_print(\"Verified.\");\nendif;\n"
        "range_sha1(\"/dev/block/by-name/vendor\", \"2,0,1\") == \"" +
        old + "\";\n";
    QByteArray updated;
    QString error;
    QVERIFY2(RecomputePartitionChecks(script, "system", image, &updated, &error),
             qPrintable(error));
    const QByteArray expected =
        QCryptographicHash::hash(bytes.left(4096) + bytes.mid(8192), QCryptographicHash::Sha1)
            .toHex();
    QCOMPARE(updated, QByteArray(script).replace(script.indexOf(old), 40, expected));
}

void TestSystemImage::checksThatCannotBeRecomputedAreRefused_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("cause");
    QTest::newRow("block_image_verify")
        << QByteArray("block_image_verify(\"/dev/block/by-name/system\", "
                      "package_extract_file(\"system.transfer.list\"), \"system.new.dat\", "
                      "\"system.patch.dat\")")
        << "block_image_verify";
    QTest::newRow("range outside the image")
        << QByteArray("range_sha1(\"/dev/block/by-name/system\", \"2,0,9\") == \"" +
                      QByteArray(40, '0') + "\"")
        << "outside the image";
    QTest::newRow("malformed ranges")
        << QByteArray("range_sha1(\"/dev/block/by-name/system\", \"4,0,1\") == \"" +
                      QByteArray(40, '0') + "\"")
        << "do not read";
}

void TestSystemImage::checksThatCannotBeRecomputedAreRefused() {
    QFETCH(QByteArray, script);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    const QString image = dir.filePath("raw.img");
    QVERIFY(writeBytes(image, QByteArray(4 * 4096, 'a')));
    QByteArray updated = "untouched";
    QString error;
    QVERIFY(!RecomputePartitionChecks(script, "system", image, &updated, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
    QCOMPARE(updated, QByteArray("untouched"));
}

QTEST_GUILESS_MAIN(TestSystemImage)
#include "tst_SystemImage.moc"
