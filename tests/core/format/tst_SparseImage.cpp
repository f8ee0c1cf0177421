// Android sparse images read as they stream, every header checked before it
// is used; the expanded bytes judged against simg2img's.
#include "core/format/SparseImage.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

namespace {

void putLe32(QByteArray* out, quint32 v) {
    for (int i = 0; i < 4; ++i)
        out->append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

QByteArray fillChunk(quint32 blocks, quint32 value) {
    QByteArray out = SparseChunkHeader(kSparseChunkFill, blocks, 16);
    putLe32(&out, value);
    return out;
}
QByteArray rawChunk(const QByteArray& data, quint32 blockSize) {
    return SparseChunkHeader(kSparseChunkRaw, static_cast<quint32>(data.size() / blockSize),
                             static_cast<quint32>(12 + data.size())) +
           data;
}
QByteArray crcChunk(quint32 crc) {
    QByteArray out = SparseChunkHeader(kSparseChunkCrc32, 0, 16);
    putLe32(&out, crc);
    return out;
}
QByteArray dontCare(quint32 blocks) {
    return SparseChunkHeader(kSparseChunkDontCare, blocks, 12);
}

// Expands an image fed in pieces of the given size.
bool expand(const QByteArray& sparse, qsizetype piece, QByteArray* image, QString* error) {
    image->clear();
    const auto place = [&](quint64 offset, const QByteArray& bytes) {
        const qsizetype end = static_cast<qsizetype>(offset) + bytes.size();
        if (image->size() < end)
            image->append(QByteArray(end - image->size(), '\0'));
        image->replace(static_cast<qsizetype>(offset), bytes.size(), bytes);
        return true;
    };
    SparseImageReader reader({[&](quint64 offset, const char* data, qint64 size) {
                                  return place(offset,
                                               QByteArray(data, static_cast<qsizetype>(size)));
                              },
                              [&](quint64 offset, quint64 length, quint32 value) {
                                  QByteArray bytes;
                                  for (quint64 i = 0; i < length / 4; ++i)
                                      putLe32(&bytes, value);
                                  return place(offset, bytes);
                              }});
    for (qsizetype at = 0; at < sparse.size(); at += piece)
        if (!reader.feed(sparse.constData() + at, std::min(piece, sparse.size() - at), error))
            return false;
    if (!reader.finish(error))
        return false;
    if (image->size() < static_cast<qsizetype>(reader.imageSize()))
        image->append(QByteArray(static_cast<qsizetype>(reader.imageSize()) - image->size(), '\0'));
    return true;
}

} // namespace

class TestSparseImage : public QObject {
    Q_OBJECT
private slots:
    void everyChunkKindExpands();
    void img2simgImageExpandsAsSimg2imgDoes();
    void damagedImagesAreRefused_data();
    void damagedImagesAreRefused();
};

void TestSparseImage::everyChunkKindExpands() {
    const QByteArray data(1024, 'r');
    const quint32 fillValue = 0x11223344;
    QByteArray expected = data;
    for (int i = 0; i < 512; ++i)
        putLe32(&expected, fillValue);
    expected += QByteArray(2048, '\0');
    const quint32 crc =
        static_cast<quint32>(crc32(0, reinterpret_cast<const Bytef*>(expected.constData()),
                                   static_cast<uInt>(expected.size())));
    const QByteArray sparse = SparseHeader(1024, 5, 5) + rawChunk(data, 1024) +
                              fillChunk(2, fillValue) + dontCare(1) + fillChunk(1, 0) +
                              crcChunk(crc);
    for (qsizetype piece : {qsizetype(1), qsizetype(7), sparse.size()}) {
        QByteArray image;
        QString error;
        QVERIFY2(expand(sparse, piece, &image, &error), qPrintable(error));
        QCOMPARE(image, expected);
    }
}

void TestSparseImage::img2simgImageExpandsAsSimg2imgDoes() {
    const QString img2simg = QStandardPaths::findExecutable("img2simg");
    const QString simg2img = QStandardPaths::findExecutable("simg2img");
    if (img2simg.isEmpty() || simg2img.isEmpty())
        QSKIP("img2simg or simg2img is not installed");
    QTemporaryDir dir;
    QByteArray raw(64 * 4096, '\0');
    QRandomGenerator generator(4);
    for (int i = 0; i < 8 * 4096; ++i)
        raw[i] = static_cast<char>(generator.bounded(256));
    for (int i = 20 * 4096; i < 21 * 4096; i += 4)
        raw[i] = 7; // a block of one repeated value
    raw[40 * 4096 + 5] = 1;
    QFile file(dir.path() + "/raw.img");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(raw);
    file.close();
    QCOMPARE(QProcess::execute(img2simg, {dir.path() + "/raw.img", dir.path() + "/s.img"}), 0);
    QCOMPARE(QProcess::execute(simg2img, {dir.path() + "/s.img", dir.path() + "/peer.img"}), 0);
    QFile sparse(dir.path() + "/s.img"), peer(dir.path() + "/peer.img");
    QVERIFY(sparse.open(QIODevice::ReadOnly) && peer.open(QIODevice::ReadOnly));
    QByteArray image;
    QString error;
    QVERIFY2(expand(sparse.readAll(), 4093, &image, &error), qPrintable(error));
    QVERIFY(image == peer.readAll());
    QVERIFY(image == raw);
}

void TestSparseImage::damagedImagesAreRefused_data() {
    QTest::addColumn<QByteArray>("sparse");
    QTest::addColumn<QString>("cause");
    const QByteArray block(4096, 'x');
    const QByteArray header = SparseHeader(4096, 1, 1);
    QTest::addRow("wrong magic") << QByteArray(28, 'a') << "sparse magic";
    QTest::addRow("ends in the header") << header.left(20) << "inside its header";
    QByteArray version2 = header;
    version2[4] = 2;
    QTest::addRow("major version 2") << version2 << "major version 2";
    QTest::addRow("block size 0") << SparseHeader(0, 1, 1) + rawChunk({}, 1) << "block size 0";
    QTest::addRow("block size not a multiple of 4") << SparseHeader(4098, 1, 1) << "block size";
    QTest::addRow("beyond 1 TiB") << SparseHeader(1 << 20, 1 << 21, 1) << "beyond 1 TiB";
    QByteArray shortHeaders = header;
    shortHeaders[8] = 20;
    QTest::addRow("header size below 28") << shortHeaders << "header sizes";
    QTest::addRow("unknown chunk type")
        << header + SparseChunkHeader(0xCAC5, 1, 12) << "unknown type";
    QTest::addRow("raw size disagrees with blocks")
        << header + SparseChunkHeader(kSparseChunkRaw, 1, 12 + 100) + QByteArray(100, 'x')
        << "does not fit";
    QTest::addRow("fill size wrong")
        << header + SparseChunkHeader(kSparseChunkFill, 1, 12) << "does not fit";
    QTest::addRow("more blocks than the header")
        << header + fillChunk(2, 0) << "blocks beyond the header's 1";
    QTest::addRow("more chunks than the header")
        << header + fillChunk(1, 0) + crcChunk(0) << "more chunks than";
    QTest::addRow("fewer blocks than the header")
        << SparseHeader(4096, 2, 1) + fillChunk(1, 0) << "its header says";
    QTest::addRow("ends inside a raw chunk")
        << header + rawChunk(block, 4096).left(100) << "inside a chunk";
    QTest::addRow("wrong crc32") << SparseHeader(4096, 1, 2) + rawChunk(block, 4096) +
                                        crcChunk(1234)
                                 << "CRC-32";
    QTest::addRow("crc32 chunk with blocks")
        << header + SparseChunkHeader(kSparseChunkCrc32, 1, 16) + QByteArray(4, '\0')
        << "covers blocks";
}

void TestSparseImage::damagedImagesAreRefused() {
    QFETCH(QByteArray, sparse);
    QFETCH(QString, cause);
    QByteArray image;
    QString error;
    QVERIFY(!expand(sparse, sparse.size(), &image, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));
}

QTEST_GUILESS_MAIN(TestSparseImage)
#include "tst_SparseImage.moc"
