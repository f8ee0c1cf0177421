#include "core/format/DeflatedView.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& c : bytes)
        c = static_cast<char>(random.bounded(256));
    return bytes;
}

QByteArray textBytes(qsizetype size) {
    QByteArray bytes;
    for (int line = 0; bytes.size() < size; ++line)
        bytes += "ro.product.name=box" + QByteArray::number(line % 97) + " resource string\n";
    bytes.truncate(size);
    return bytes;
}

// A part of the member and how deflate writes it.
struct Piece {
    QByteArray data;
    int level = 6;
    int strategy = Z_DEFAULT_STRATEGY;
    int flushEvery = 0; // bytes between flushes of this kind
    int flush = Z_NO_FLUSH;
};

// A raw deflate stream of the pieces, one after the other, the window kept
// between them (so a later piece refers back into an earlier one).
QByteArray deflatePieces(const QList<Piece>& pieces) {
    z_stream z{};
    if (deflateInit2(&z, pieces.value(0).level, Z_DEFLATED, -MAX_WBITS, 8,
                     pieces.value(0).strategy) != Z_OK)
        return {};
    QByteArray out;
    char buffer[4096];
    const auto pump = [&](const char* data, qsizetype size, int flush) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z.avail_in = static_cast<uInt>(size);
        int rc = Z_OK;
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            rc = deflate(&z, flush);
            out.append(buffer, static_cast<qsizetype>(sizeof buffer - z.avail_out));
        } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    };
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces.at(i);
        if (i > 0) {
            // A change of parameters ends the block (on no byte boundary).
            int rc = Z_BUF_ERROR;
            while (rc == Z_BUF_ERROR) {
                z.next_out = reinterpret_cast<Bytef*>(buffer);
                z.avail_out = sizeof buffer;
                rc = deflateParams(&z, piece.level, piece.strategy);
                out.append(buffer, static_cast<qsizetype>(sizeof buffer - z.avail_out));
            }
        }
        const qsizetype step = piece.flushEvery > 0 ? piece.flushEvery : piece.data.size();
        for (qsizetype at = 0; at < piece.data.size(); at += step)
            pump(piece.data.constData() + at, qMin(step, piece.data.size() - at), piece.flush);
    }
    pump(nullptr, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

QByteArray joined(const QList<Piece>& pieces) {
    QByteArray all;
    for (const Piece& piece : pieces)
        all += piece.data;
    return all;
}

// Deflate's bits, low bit first; Huffman codes go in from their top bit.
class BitWriter {
public:
    void bits(quint32 value, int count) {
        for (int i = 0; i < count; ++i)
            bit((value >> i) & 1);
    }
    void code(quint32 value, int length) {
        for (int i = length - 1; i >= 0; --i)
            bit((value >> i) & 1);
    }
    void align() {
        while (m_used != 0)
            bit(0);
    }
    void byte(char c) { bits(static_cast<unsigned char>(c), 8); }
    QByteArray take() {
        align();
        return m_out;
    }

private:
    void bit(quint32 b) {
        if (m_used == 0)
            m_out.append('\0');
        if (b)
            m_out.back() = static_cast<char>(m_out.back() | (1 << m_used));
        m_used = (m_used + 1) % 8;
    }
    QByteArray m_out;
    int m_used = 0;
};

// A stream of many pairs of a one-byte stored block and a fixed-code block
// whose only match reaches back into it: every compressed block needs the
// bytes before it, stored ones among them. *member receives what it inflates
// to.
QByteArray storedAndFixedPairs(int pairs, QByteArray* member) {
    BitWriter out;
    const auto fixedHeader = [&out](bool final) {
        out.bits(final ? 1 : 0, 1);
        out.bits(1, 2); // fixed codes
    };
    const auto endOfBlock = [&out] { out.code(0, 7); };
    fixedHeader(false);
    out.code(0x30 + 'x', 8); // the literal 'x'
    endOfBlock();
    *member = "x";
    for (int i = 0; i < pairs; ++i) {
        out.bits(0, 3); // stored, not final
        out.align();
        out.bits(1, 16);
        out.bits(0xFFFE, 16);
        out.byte('y');
        fixedHeader(false);
        out.code(1, 7); // length 3 (code 257)
        out.code(0, 5); // distance 1
        endOfBlock();
        *member += "yyyy";
    }
    fixedHeader(true);
    endOfBlock();
    return out.take();
}

// The stream written into a file between other bytes, as a member's data
// lies in an archive.
class StreamFile {
public:
    StreamFile(const QString& path, const QByteArray& stream) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly) && file.write(kBefore) == kBefore.size() &&
            file.write(stream) == stream.size() && file.write("trailing") == 8) {
            file.close();
            m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        }
    }
    ~StreamFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;
    int fd() const { return m_fd; }
    static quint64 offset() { return quint64(kBefore.size()); }

private:
    static inline const QByteArray kBefore = QByteArrayLiteral("local header.");
    int m_fd = -1;
};

} // namespace

Q_DECLARE_METATYPE(Piece)

class TestDeflatedView : public QObject {
    Q_OBJECT

private slots:
    void givesTheMembersBytes_data();
    void givesTheMembersBytes();
    void damagedStreamIsRefused_data();
    void damagedStreamIsRefused();
    void compressedBlocksBeyondTheMemoryLimitAreLeftToTheCaller();
    void archiveShrunkUnderTheViewIsAReadError();
    void manyShortStoredBlocksBetweenCompressedOnesAreRead();

private:
    QTemporaryDir m_dir;
};

void TestDeflatedView::givesTheMembersBytes_data() {
    QTest::addColumn<QList<Piece>>("pieces");
    QTest::addColumn<qint64>("memoryLimit");
    const QByteArray text = textBytes(40000);
    const QByteArray noise = randomBytes(70000, 1);
    // Stored blocks are read in place: they need no memory at all.
    QTest::newRow("stored blocks only") << QList<Piece>{{noise, 0}} << qint64(0);
    QTest::newRow("incompressible bytes at level 6") << QList<Piece>{{noise, 6}} << qint64(0);
    QTest::newRow("text at level 9") << QList<Piece>{{text, 9}} << qint64(1 << 20);
    QTest::newRow("fixed codes") << QList<Piece>{{text, 6, Z_FIXED}} << qint64(1 << 20);
    QTest::newRow("text and noise at level 6")
        << QList<Piece>{{text + noise + text + noise.left(5000) + text.left(3000), 6}}
        << qint64(1 << 20);
    // The text after the stored noise refers back across it into the
    // first text: the restarted inflater needs both as its window.
    QTest::newRow("references across stored blocks")
        << QList<Piece>{{text.left(20000), 6},
                        {noise.left(9000), 0},
                        {text.left(20000) + noise.left(2000), 6},
                        {noise.mid(100, 3000), 0},
                        {noise.left(3000), 9}}
        << qint64(1 << 20);
    QTest::newRow("empty stored blocks of full flushes")
        << QList<Piece>{{text + noise, 6, Z_DEFAULT_STRATEGY, 7000, Z_FULL_FLUSH}}
        << qint64(1 << 20);
    QTest::newRow("empty blocks of partial flushes, off byte boundaries")
        << QList<Piece>{{noise.left(20000) + text, 1, Z_DEFAULT_STRATEGY, 3001, Z_PARTIAL_FLUSH},
                        {noise.left(5000), 0, Z_DEFAULT_STRATEGY, 1000, Z_BLOCK}}
        << qint64(1 << 20);
    QTest::newRow("empty member") << QList<Piece>{{QByteArray(), 6}} << qint64(0);
}

void TestDeflatedView::givesTheMembersBytes() {
    QFETCH(QList<Piece>, pieces);
    QFETCH(qint64, memoryLimit);
    const QByteArray member = joined(pieces);
    const QByteArray stream = deflatePieces(pieces);
    QVERIFY(!stream.isEmpty());
    const StreamFile file(m_dir.filePath(QStringLiteral("member")), stream);
    QVERIFY(file.fd() >= 0);
    bool overLimit = true;
    QString error;
    const std::unique_ptr<QIODevice> view =
        OpenDeflatedView(file.fd(), StreamFile::offset(), quint64(stream.size()),
                         quint64(member.size()), memoryLimit, &overLimit, &error);
    QVERIFY2(view, qPrintable(error));
    QVERIFY(!overLimit);
    QCOMPARE(view->size(), member.size());
    QVERIFY(!view->isSequential());
    QCOMPARE(view->readAll(), member);
    // Ranges anywhere, across the blocks' boundaries.
    for (qint64 at = 0; at < member.size(); at += 4093) {
        QVERIFY(view->seek(at));
        QCOMPARE(view->read(5000), member.mid(at, 5000));
    }
}

void TestDeflatedView::damagedStreamIsRefused_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("cause");
    const QByteArray noise = randomBytes(3000, 2);
    const QByteArray text = textBytes(20000);
    const QByteArray stored = deflatePieces({{noise, 0}});
    const QByteArray compressed = deflatePieces({{text, 9}});
    const qint64 storedSize = noise.size();
    const qint64 textSize = text.size();

    QTest::newRow("stored stream cut short")
        << stored.chopped(10) << storedSize << "runs past the member";
    QTest::newRow("compressed stream cut short")
        << compressed.chopped(3) << textSize << "the stream ends inside a block";
    QTest::newRow("size larger than the stream gives")
        << compressed << textSize + 1 << "the stream gives 20000 bytes, not 20001";
    QTest::newRow("size smaller than the stream gives")
        << compressed << textSize - 1 << "the stream gives more than the size";
    QTest::newRow("stored block larger than the size")
        << stored << storedSize - 1 << "the stream gives more than the size";
    QTest::newRow("bytes after the stream's end")
        << compressed + "xx" << textSize << "the stream ends before the member's data";
    QByteArray lengths = stored;
    lengths[3] = static_cast<char>(lengths.at(3) ^ 0x01); // NLEN
    QTest::newRow("stored lengths disagree")
        << lengths << storedSize << "a stored block's lengths disagree";
    QByteArray reserved = compressed;
    reserved[0] = static_cast<char>(0x07); // final, type 3
    QTest::newRow("reserved block type") << reserved << textSize << "reserved type";
    QTest::newRow("empty data") << QByteArray() << qint64(0) << "inside a block header";
}

void TestDeflatedView::damagedStreamIsRefused() {
    QFETCH(QByteArray, stream);
    QFETCH(qint64, size);
    QFETCH(QString, cause);
    const StreamFile file(m_dir.filePath(QStringLiteral("damaged")), stream);
    QVERIFY(file.fd() >= 0);
    bool overLimit = true;
    QString error;
    const std::unique_ptr<QIODevice> view =
        OpenDeflatedView(file.fd(), StreamFile::offset(), quint64(stream.size()), quint64(size),
                         1 << 20, &overLimit, &error);
    QVERIFY(!view);
    QVERIFY(!overLimit);
    QVERIFY2(error.contains(cause), qPrintable(error));
}

void TestDeflatedView::compressedBlocksBeyondTheMemoryLimitAreLeftToTheCaller() {
    const QByteArray text = textBytes(100000);
    const QByteArray stream = deflatePieces({{text, 6}});
    const StreamFile file(m_dir.filePath(QStringLiteral("large")), stream);
    QVERIFY(file.fd() >= 0);
    for (const qint64 limit : {qint64(0), qint64(10000), text.size() - 1}) {
        bool overLimit = false;
        QString error;
        QVERIFY(!OpenDeflatedView(file.fd(), StreamFile::offset(), quint64(stream.size()),
                                  quint64(text.size()), limit, &overLimit, &error));
        QVERIFY(overLimit);
    }
    bool overLimit = true;
    QString error;
    QVERIFY(OpenDeflatedView(file.fd(), StreamFile::offset(), quint64(stream.size()),
                             quint64(text.size()), text.size(), &overLimit, &error));
    QVERIFY(!overLimit);
}

void TestDeflatedView::archiveShrunkUnderTheViewIsAReadError() {
    const QByteArray noise = randomBytes(50000, 3);
    const QByteArray stream = deflatePieces({{noise, 0}});
    const QString path = m_dir.filePath(QStringLiteral("shrinking"));
    const StreamFile file(path, stream);
    QVERIFY(file.fd() >= 0);
    bool overLimit = false;
    QString error;
    const std::unique_ptr<QIODevice> view =
        OpenDeflatedView(file.fd(), StreamFile::offset(), quint64(stream.size()),
                         quint64(noise.size()), 0, &overLimit, &error);
    QVERIFY2(view, qPrintable(error));
    QVERIFY(QFile::resize(path, qint64(StreamFile::offset()) + 1000));
    QVERIFY(view->seek(30000));
    char buffer[100];
    QCOMPARE(view->read(buffer, sizeof buffer), qint64(-1));
    QCOMPARE(view->errorString(), QStringLiteral("the archive ends inside the member"));
}

void TestDeflatedView::manyShortStoredBlocksBetweenCompressedOnesAreRead() {
    QByteArray member;
    const QByteArray stream = storedAndFixedPairs(10000, &member);
    // zlib reads the crafted stream as the member.
    QByteArray inflated(member.size() + 1, Qt::Uninitialized);
    z_stream z{};
    QCOMPARE(inflateInit2(&z, -MAX_WBITS), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.constData()));
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = reinterpret_cast<Bytef*>(inflated.data());
    z.avail_out = static_cast<uInt>(inflated.size());
    QCOMPARE(inflate(&z, Z_FINISH), Z_STREAM_END);
    inflated.truncate(static_cast<qsizetype>(z.total_out));
    inflateEnd(&z);
    QCOMPARE(inflated, member);

    const StreamFile file(m_dir.filePath(QStringLiteral("pairs")), stream);
    QVERIFY(file.fd() >= 0);
    bool overLimit = true;
    QString error;
    const std::unique_ptr<QIODevice> view =
        OpenDeflatedView(file.fd(), StreamFile::offset(), quint64(stream.size()),
                         quint64(member.size()), 1 << 20, &overLimit, &error);
    QVERIFY2(view, qPrintable(error));
    QCOMPARE(view->readAll(), member);
    QVERIFY(view->seek(20001));
    QCOMPARE(view->read(7), member.mid(20001, 7));
}

QTEST_GUILESS_MAIN(TestDeflatedView)
#include "tst_DeflatedView.moc"
