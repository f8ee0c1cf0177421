// A partition's image taken out of a package to a raw image and put back in
// the form it came in, each form judged by a decoder of its own: Debian's
// brotli and simg2img, and a transfer-list applier written here from the
// public format.
#include "core/base/ToolRunner.h"
#include "core/format/BlockImageCodec.h"
#include "core/format/Ext4Image.h"
#include "core/format/ZipMemberReader.h"

#include "support/ZipFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(BlockImageForm)

namespace {

QString tool(const QString& name) {
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"});
    return path;
}

bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr) {
    QProcess process;
    process.start(tool(program), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << program << arguments << process.readAllStandardError();
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput();
    return true;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A small ext4 image made by mke2fs from a tree: a file of random bytes, a
// file of zeros, a few small files.
QString makeExt4Image(const QString& dir, int megabytes = 8) {
    const QString tree = dir + "/tree";
    QDir().mkpath(tree + "/app/Foo");
    QByteArray random(300 * 1024, '\0');
    QRandomGenerator generator(25);
    for (char& c : random)
        c = static_cast<char>(generator.bounded(256));
    writeFile(tree + "/app/Foo/Foo.apk", random);
    writeFile(tree + "/zeros.bin", QByteArray(64 * 1024, '\0'));
    writeFile(tree + "/build.prop", "ro.build.version.sdk=28\n");
    const QString image = dir + "/raw.img";
    if (!run("mke2fs", {"-q", "-t", "ext4", "-b", "4096", "-d", tree, image,
                        QString::number(megabytes) + "M"}))
        return {};
    return image;
}

// Applies a transfer list and its new data to an image of zeros.
bool applyTransferList(const QByteArray& list, const QByteArray& newData, QByteArray* image) {
    const QList<QByteArray> lines = list.split('\n');
    const int version = lines.value(0).toInt();
    qsizetype at = version >= 2 ? 4 : 2;
    qsizetype consumed = 0;
    image->clear();
    for (; at < lines.size(); ++at) {
        if (lines[at].isEmpty())
            continue;
        const QList<QByteArray> words = lines[at].split(' ');
        if (words.size() != 2)
            return false;
        const QList<QByteArray> numbers = words[1].split(',');
        if (numbers[0].toLongLong() != numbers.size() - 1)
            return false;
        for (qsizetype i = 1; i + 1 < numbers.size(); i += 2) {
            const qsizetype begin = numbers[i].toLongLong() * 4096;
            const qsizetype end = numbers[i + 1].toLongLong() * 4096;
            if (image->size() < end)
                image->append(QByteArray(end - image->size(), '\0'));
            if (words[0] == "new") {
                if (consumed + (end - begin) > newData.size())
                    return false;
                image->replace(begin, end - begin, newData.mid(consumed, end - begin));
                consumed += end - begin;
            } else if (words[0] == "zero" || words[0] == "erase") {
                image->replace(begin, end - begin, QByteArray(end - begin, '\0'));
            } else {
                return false;
            }
        }
    }
    return consumed == newData.size();
}

QByteArray blocksOf(const QByteArray& image, const QList<BlockRange>& ranges) {
    QByteArray out = QByteArray(image.size(), '\0');
    for (const BlockRange& r : ranges) {
        const qsizetype begin = static_cast<qsizetype>(r.begin * 4096);
        const qsizetype length = static_cast<qsizetype>((r.end - r.begin) * 4096);
        out.replace(begin, length, image.mid(begin, length));
    }
    return out;
}

bool isSparseOnDisk(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 &&
           static_cast<qint64>(st.st_blocks) * 512 < st.st_size;
}

bool decodeFromZip(const QString& zip, const BlockImagePartition& partition, const QString& raw,
                   BlockImageLayout* layout, QString* error,
                   const BlockImageProgress& progress = {}) {
    OpenedZip opened;
    if (!opened.open(zip, error))
        return false;
    return DecodeBlockImage(ZipPackageMembers(opened), partition, raw, layout, error, progress);
}

} // namespace

class TestBlockImageCodec : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void eachFormRoundTripsThroughItsOwnDecoder_data();
    void eachFormRoundTripsThroughItsOwnDecoder();
    void freeBlocksAreLeftOutOfTheEncodedImage();
    void noEraseZeroesFreeBlocks();
    void imageEncodedFromItsBlockBitmapChecksClean();
    void sparseImageFromImg2simgDecodes();
    void brotliMemberDecodesWithDebianBrotli();
    void damagedPackagesAreRefused_data();
    void damagedPackagesAreRefused();
    void cancelLeavesNoImage();
    void rangeSha1IsTheBlocksDigest();

private:
    QTemporaryDir m_dir;
    QString m_image;
    QByteArray m_bytes;
};

void TestBlockImageCodec::initTestCase() {
    QVERIFY(m_dir.isValid());
    for (const char* name : {"mke2fs", "img2simg", "simg2img", "brotli"})
        if (tool(name).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(name)));
    m_image = makeExt4Image(m_dir.path());
    QVERIFY(!m_image.isEmpty());
    m_bytes = readFile(m_image);
    QCOMPARE(m_bytes.size(), 8 * 1024 * 1024);
}

void TestBlockImageCodec::eachFormRoundTripsThroughItsOwnDecoder_data() {
    QTest::addColumn<BlockImageForm>("form");
    QTest::addColumn<int>("version");
    QTest::addRow("raw") << BlockImageForm::Raw << 0;
    QTest::addRow("sparse") << BlockImageForm::Sparse << 0;
    QTest::addRow("dat v1") << BlockImageForm::NewDat << 1;
    QTest::addRow("dat v3") << BlockImageForm::NewDat << 3;
    QTest::addRow("dat.br v4") << BlockImageForm::NewDatBrotli << 4;
}

void TestBlockImageCodec::eachFormRoundTripsThroughItsOwnDecoder() {
    QFETCH(BlockImageForm, form);
    QFETCH(int, version);
    QTemporaryDir dir;
    BlockImageLayout layout;
    layout.partition.form = form;
    layout.transferListVersion = version;
    layout.imageSize = static_cast<quint64>(m_bytes.size());
    QStringList files;
    BlockImageEncoded encoded;
    QString error;
    QVERIFY2(EncodeBlockImageToFolder(m_image, layout, {}, dir.path(), &files, &encoded, &error),
             qPrintable(error));
    QCOMPARE(files.size(), layout.partition.memberNames().size());

    // The peer's reading of what was written.
    QByteArray peer;
    const QString member = dir.path() + "/" + layout.partition.imageMember();
    if (form == BlockImageForm::Raw) {
        peer = readFile(member);
    } else if (form == BlockImageForm::Sparse) {
        QVERIFY(run("simg2img", {member, dir.path() + "/peer.img"}));
        peer = readFile(dir.path() + "/peer.img");
    } else {
        QByteArray newData = readFile(member);
        if (form == BlockImageForm::NewDatBrotli) {
            QVERIFY(run("brotli", {"-d", "-f", "-o", dir.path() + "/peer.dat", member}));
            newData = readFile(dir.path() + "/peer.dat");
        }
        QCOMPARE(readFile(dir.path() + "/system.patch.dat"), QByteArray());
        const QByteArray list = readFile(dir.path() + "/system.transfer.list");
        QCOMPARE(list, encoded.transferList);
        QVERIFY(list.startsWith(QByteArray::number(version) + "\n"));
        QVERIFY(applyTransferList(list, newData, &peer));
    }
    QCOMPARE(peer.size(), m_bytes.size());
    QVERIFY(peer == m_bytes);

    // Our own decoder from a package holding the members.
    QList<QPair<QString, QByteArray>> members;
    for (const QString& file : files)
        members.append({QFileInfo(file).fileName(), readFile(file)});
    const QString zip = dir.path() + "/package.zip";
    QVERIFY(WriteZip(zip, members));
    BlockImagePartition partition;
    partition.form = form == BlockImageForm::Sparse ? BlockImageForm::Raw : form;
    BlockImageLayout decoded;
    const QString raw = dir.path() + "/decoded.img";
    QVERIFY2(decodeFromZip(zip, partition, raw, &decoded, &error), qPrintable(error));
    QCOMPARE(decoded.partition.form, form);
    QCOMPARE(decoded.imageSize, static_cast<quint64>(m_bytes.size()));
    if (form != BlockImageForm::Raw && form != BlockImageForm::Sparse)
        QCOMPARE(decoded.transferListVersion, version);
    QVERIFY(readFile(raw) == m_bytes);
    QVERIFY(isSparseOnDisk(raw));
}

void TestBlockImageCodec::freeBlocksAreLeftOutOfTheEncodedImage() {
    // The first 1 MiB and one block further on count as used.
    const QList<BlockRange> used{{0, 256}, {1000, 1001}};
    for (BlockImageForm form :
         {BlockImageForm::NewDat, BlockImageForm::NewDatBrotli, BlockImageForm::Sparse}) {
        QTemporaryDir dir;
        BlockImageLayout layout;
        layout.partition.form = form;
        BlockImageEncodeOptions options;
        options.usedBlocks = used;
        QStringList files;
        BlockImageEncoded encoded;
        QString error;
        QVERIFY2(EncodeBlockImageToFolder(m_image, layout, options, dir.path(), &files, &encoded,
                                          &error),
                 qPrintable(error));
        BlockImageLayout decoded;
        const QString raw = dir.path() + "/decoded.img";
        BlockImagePartition partition;
        partition.form = form == BlockImageForm::Sparse ? BlockImageForm::Raw : form;
        QVERIFY2(
            DecodeBlockImage(FolderPackageMembers(dir.path()), partition, raw, &decoded, &error),
            qPrintable(error));
        QVERIFY(readFile(raw) == blocksOf(m_bytes, used));
        if (form != BlockImageForm::Sparse) {
            QVERIFY(encoded.transferList.contains("\nerase "));
            QVERIFY(!encoded.transferList.contains("\nzero 2,1000"));
        }
    }
}

void TestBlockImageCodec::noEraseZeroesFreeBlocks() {
    BlockImageLayout layout;
    layout.partition.form = BlockImageForm::NewDat;
    BlockImageEncodeOptions options;
    options.usedBlocks = QList<BlockRange>{{0, 10}};
    options.noErase = true;
    QTemporaryDir dir;
    QStringList files;
    BlockImageEncoded encoded;
    QString error;
    QVERIFY2(
        EncodeBlockImageToFolder(m_image, layout, options, dir.path(), &files, &encoded, &error),
        qPrintable(error));
    QVERIFY(!encoded.transferList.contains("erase"));
    // Every block of the image is written: the header counts them all.
    QVERIFY(encoded.transferList.startsWith("4\n2048\n0\n0\n"));
    QVERIFY(encoded.transferList.contains("\nzero 2,10,1034\n"));
}

void TestBlockImageCodec::imageEncodedFromItsBlockBitmapChecksClean() {
    // The used blocks from the filesystem's own bitmap: the encoded image
    // carries those only, and decodes to an image e2fsck calls clean with
    // every used block as it was.
    ToolRunner runner;
    QString error;
    std::unique_ptr<Ext4Image> image =
        Ext4Image::Open(m_image, Ext4Image::Mode::ReadOnly, "/system", runner, &error);
    QVERIFY2(image, qPrintable(error));
    QList<BlockRange> used;
    QVERIFY2(image->usedBlocks(&used, &error), qPrintable(error));
    const quint32 blockSize = static_cast<quint32>(image->facts().blockSize);
    image.reset();
    QVERIFY(!used.isEmpty());
    QCOMPARE(used.first().begin, quint64(0));
    quint64 usedCount = 0;
    for (const BlockRange& r : used)
        usedCount += r.end - r.begin;
    QVERIFY(usedCount < quint64(m_bytes.size()) / blockSize);

    QTemporaryDir dir;
    BlockImageLayout layout;
    layout.partition.form = BlockImageForm::NewDatBrotli;
    BlockImageEncodeOptions options;
    options.usedBlocks = used;
    options.usedBlockSize = blockSize;
    QStringList files;
    BlockImageEncoded encoded;
    QVERIFY2(
        EncodeBlockImageToFolder(m_image, layout, options, dir.path(), &files, &encoded, &error),
        qPrintable(error));
    QVERIFY(encoded.transferList.contains("\nerase "));
    const QString raw = dir.path() + "/decoded.img";
    BlockImageLayout decoded;
    QVERIFY2(
        DecodeBlockImage(FolderPackageMembers(dir.path()), layout.partition, raw, &decoded, &error),
        qPrintable(error));
    QVERIFY2(Ext4Image::Check(raw, runner, &error), qPrintable(error));
    const QByteArray bytes = readFile(raw);
    QCOMPARE(bytes.size(), m_bytes.size());
    for (const BlockRange& r : used) {
        const qsizetype begin = static_cast<qsizetype>(r.begin * blockSize);
        const qsizetype length = static_cast<qsizetype>((r.end - r.begin) * blockSize);
        QVERIFY(bytes.mid(begin, length) == m_bytes.mid(begin, length));
    }
}

void TestBlockImageCodec::sparseImageFromImg2simgDecodes() {
    QTemporaryDir dir;
    const QString sparse = dir.path() + "/system.img";
    QVERIFY(run("img2simg", {m_image, sparse}));
    BlockImagePartition partition;
    BlockImageLayout layout;
    QString error;
    const QString raw = dir.path() + "/decoded.img";
    QVERIFY2(DecodeBlockImage(FolderPackageMembers(dir.path()), partition, raw, &layout, &error),
             qPrintable(error));
    QCOMPARE(layout.partition.form, BlockImageForm::Sparse);
    QCOMPARE(layout.blockSize, 4096u);
    QVERIFY(readFile(raw) == m_bytes);
}

void TestBlockImageCodec::brotliMemberDecodesWithDebianBrotli() {
    // A member compressed by Debian's brotli decodes through our reader.
    QTemporaryDir dir;
    BlockImageLayout layout;
    layout.partition.form = BlockImageForm::NewDat;
    QStringList files;
    BlockImageEncoded encoded;
    QString error;
    QVERIFY2(EncodeBlockImageToFolder(m_image, layout, {}, dir.path(), &files, &encoded, &error),
             qPrintable(error));
    QVERIFY(run("brotli", {"-q", "5", "-o", dir.path() + "/system.new.dat.br",
                           dir.path() + "/system.new.dat"}));
    QFile::remove(dir.path() + "/system.new.dat");
    BlockImagePartition partition;
    partition.form = BlockImageForm::NewDatBrotli;
    BlockImageLayout decoded;
    const QString raw = dir.path() + "/decoded.img";
    QVERIFY2(DecodeBlockImage(FolderPackageMembers(dir.path()), partition, raw, &decoded, &error),
             qPrintable(error));
    QVERIFY(readFile(raw) == m_bytes);
}

void TestBlockImageCodec::damagedPackagesAreRefused_data() {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("newData");
    QTest::addColumn<QByteArray>("patch");
    QTest::addColumn<QString>("cause");
    const QByteArray block(4096, 'x');
    QTest::addRow("a move command")
        << QByteArray("4\n1\n0\n0\nmove 2,0,1\n") << block << QByteArray() << "incremental package";
    QTest::addRow("a stash command") << QByteArray("3\n1\n1\n1\nstash abc 2,0,1\nnew 2,0,1\n")
                                     << block << QByteArray() << "incremental package";
    QTest::addRow("a non-empty patch file") << QByteArray("4\n1\n0\n0\nnew 2,0,1\n") << block
                                            << QByteArray("p") << "incremental package";
    QTest::addRow("new data too short")
        << QByteArray("4\n2\n0\n0\nnew 2,0,2\n") << block << QByteArray() << "ends before";
    QTest::addRow("new data too long")
        << QByteArray("4\n1\n0\n0\nnew 2,0,1\n") << block + block << QByteArray() << "longer than";
    QTest::addRow("a block beyond 1 TiB") << QByteArray("4\n1\n0\n0\nnew 2,268435456,268435457\n")
                                          << block << QByteArray() << "not a number below";
    QTest::addRow("header count disagrees")
        << QByteArray("4\n5\n0\n0\nnew 2,0,1\n") << block << QByteArray() << "counts 5 blocks";
}

void TestBlockImageCodec::damagedPackagesAreRefused() {
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, newData);
    QFETCH(QByteArray, patch);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    const QString zip = dir.path() + "/package.zip";
    QVERIFY(WriteZip(zip, {{"system.new.dat", newData},
                           {"system.transfer.list", list},
                           {"system.patch.dat", patch}}));
    BlockImagePartition partition;
    partition.form = BlockImageForm::NewDat;
    BlockImageLayout layout;
    QString error;
    const QString raw = dir.path() + "/decoded.img";
    QVERIFY(!decodeFromZip(zip, partition, raw, &layout, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
    QVERIFY(!QFile::exists(raw));
}

void TestBlockImageCodec::cancelLeavesNoImage() {
    QTemporaryDir dir;
    QVERIFY(QFile::copy(m_image, dir.path() + "/system.img"));
    BlockImagePartition partition;
    BlockImageLayout layout;
    QString error;
    const QString raw = dir.path() + "/decoded.img";
    QVERIFY(!DecodeBlockImage(FolderPackageMembers(dir.path()), partition, raw, &layout, &error,
                              [](quint64 done, quint64) { return done == 0; }));
    QCOMPARE(error, QString(kBlockImageCancelled));
    QVERIFY(!QFile::exists(raw));
    // An existing file is never written through.
    QVERIFY(writeFile(raw, "mine"));
    QVERIFY(!DecodeBlockImage(FolderPackageMembers(dir.path()), partition, raw, &layout, &error));
    QCOMPARE(readFile(raw), QByteArray("mine"));
}

void TestBlockImageCodec::rangeSha1IsTheBlocksDigest() {
    QByteArray sha1;
    QString error;
    QVERIFY2(BlockRangesSha1(m_image, 4096, {{0, 2}, {5, 6}}, &sha1, &error), qPrintable(error));
    const QByteArray expected =
        QCryptographicHash::hash(m_bytes.left(2 * 4096) + m_bytes.mid(5 * 4096, 4096),
                                 QCryptographicHash::Sha1)
            .toHex();
    QCOMPARE(sha1, expected);
    QVERIFY(!BlockRangesSha1(m_image, 4096, {{0, 2049}}, &sha1, &error));
}

QTEST_GUILESS_MAIN(TestBlockImageCodec)
#include "tst_BlockImageCodec.moc"
