// The ZIP reader against packages nobody here wrote: hostile sizes and
// offsets, huge directory claims, overlapping entries, ZIP64 data
// descriptors, stubs in front; and the check of what a device's recovery can
// read, judged against Android's own ZIP reader.

#include "core/base/RandomAccessSource.h"
#include "core/format/ArchiveEditor.h"
#include "core/format/ZipFormat.h"

#include "support/RawZip.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <zlib.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using rawzip::put16;
using rawzip::put32;

void put64(QByteArray* out, quint64 v) {
    put32(out, static_cast<quint32>(v & 0xFFFFFFFFu));
    put32(out, static_cast<quint32>(v >> 32));
}

quint32 crcOf(const QByteArray& data) {
    return static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef*>(data.constData()), static_cast<uInt>(data.size())));
}

// One entry of a hand-built archive; every field an ordinary writer would
// get right can be got wrong here.
struct Entry {
    QByteArray name;
    QByteArray data; // as stored (whatever the method says)
    quint16 method = 0;
    quint16 flags = 0;
    qint64 offset = -1;      // local header offset written in the directory; -1: where it is
    bool writeLocal = true;  // false: no local header of its own (it points into another's)
    QByteArray centralExtra; // extra field of the central record
};

QByteArray localHeader(const Entry& e) {
    QByteArray out;
    put32(&out, 0x04034b50);
    put16(&out, 20);
    put16(&out, e.flags);
    put16(&out, e.method);
    put16(&out, 0);
    put16(&out, 0x5021);
    put32(&out, crcOf(e.data));
    put32(&out, static_cast<quint32>(e.data.size()));
    put32(&out, static_cast<quint32>(e.data.size()));
    put16(&out, static_cast<quint32>(e.name.size()));
    put16(&out, 0);
    out.append(e.name);
    return out;
}

QByteArray centralRecord(const Entry& e, quint32 offset, quint32 size) {
    QByteArray out;
    put32(&out, 0x02014b50);
    put16(&out, 0x0314);
    put16(&out, 20);
    put16(&out, e.flags);
    put16(&out, e.method);
    put16(&out, 0);
    put16(&out, 0x5021);
    put32(&out, crcOf(e.data));
    put32(&out, size);
    put32(&out, size);
    put16(&out, static_cast<quint32>(e.name.size()));
    put16(&out, static_cast<quint32>(e.centralExtra.size()));
    put16(&out, 0);
    put16(&out, 0);
    put16(&out, 0);
    put32(&out, 0100644u << 16);
    put32(&out, offset);
    out.append(e.name);
    out.append(e.centralExtra);
    return out;
}

QByteArray endRecord(qsizetype count, qsizetype directorySize, quint32 directoryOffset) {
    QByteArray out;
    put32(&out, 0x06054b50);
    put32(&out, 0);
    put16(&out, static_cast<quint32>(count));
    put16(&out, static_cast<quint32>(count));
    put32(&out, static_cast<quint32>(directorySize));
    put32(&out, directoryOffset);
    put16(&out, 0);
    return out;
}

// The archive with the stub in front, its offsets counted from the stub's
// start (adjusted) or from the ZIP part's (as `cat stub x.zip` leaves them).
QByteArray build(const QList<Entry>& entries, const QByteArray& stub = {}, bool adjusted = true) {
    QByteArray file = stub;
    const qsizetype base = adjusted ? 0 : stub.size();
    QByteArray directory;
    for (const Entry& e : entries) {
        const qsizetype at = file.size() - base;
        if (e.writeLocal)
            file += localHeader(e) + e.data;
        directory += centralRecord(e, static_cast<quint32>(e.offset >= 0 ? e.offset : at),
                                   static_cast<quint32>(e.data.size()));
    }
    const auto directoryOffset = static_cast<quint32>(file.size() - base);
    return file + directory + endRecord(entries.size(), directory.size(), directoryOffset);
}

bool writeBytes(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush();
}

bool readDirectory(const QString& path, ZipDirectory* directory, QString* error) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot open");
        return false;
    }
    const bool read = ReadZipDirectory(fd, directory, error);
    ::close(fd);
    return read;
}

// Android's ZIP reader (libziparchive) opens the archive and inflates every
// entry: 1 when it does, 0 when it refuses, -1 when it is not at hand.
int deviceReads(const QString& archive) {
#ifdef ZIPARCHIVE_CHECK
    QProcess process;
    process.start(QStringLiteral(ZIPARCHIVE_CHECK), {archive});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode() == 0 ? 1 : 0;
#else
    Q_UNUSED(archive)
    return -1;
#endif
}

const QByteArray kStub = "#!/bin/sh\necho self-extracting\nexit 0\n";

} // namespace

class TestZipReader : public QObject {
    Q_OBJECT
private slots:
    void hugeDirectoryClaimStaysSmall();
    void hostileValuesAreRefusedByName_data();
    void hostileValuesAreRefusedByName();
    void overlappingEntriesAreRefused();
    void deviceReadableAgreesWithAndroid_data();
    void deviceReadableAgreesWithAndroid();
    void namesAsShownNeedUtf8Flag();
    void stubInFrontIsFoundAndCopiedAway_data();
    void stubInFrontIsFoundAndCopiedAway();
    void dataDescriptorLengthFromWhatIsThere_data();
    void dataDescriptorLengthFromWhatIsThere();
    void zip64DataDescriptorIsCopiedWhole();
};

void TestZipReader::hugeDirectoryClaimStaysSmall() {
    // A 1 GiB sparse file whose end record claims a directory of nearly all
    // of it: refused at the first record, without reading it all in.
    QTemporaryDir dir;
    const QString path = dir.filePath("huge.zip");
    constexpr qint64 kSize = qint64(1) << 30;
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(kSize - 22));
        QVERIFY(file.seek(kSize - 22));
        QVERIFY(file.write(endRecord(1000, kSize - 22, 0)) == 22);
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    ZipDirectory directory;
    QString error;
    QVERIFY(!readDirectory(path, &directory, &error));
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    QVERIFY2(error.contains("central directory record 0 is damaged"), qPrintable(error));
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    QVERIFY2(grownKiB < 64 * 1024, qPrintable(QStringLiteral("grew by %1 KiB").arg(grownKiB)));
}

void TestZipReader::hostileValuesAreRefusedByName_data() {
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("cause");

    const Entry a{"a.txt", "alpha", 0, 0, -1, true, {}};
    const Entry b{"system/app/b\x01.apk", "bravo", 0, 0, -1, true, {}};

    // A ZIP64 field moving the local header to just before 2^64: offset + 30
    // wrapped and the reader pointed far before its buffer.
    Entry nearTop = b;
    nearTop.offset = 0xFFFFFFFF;
    QByteArray zip64;
    put16(&zip64, 1);
    put16(&zip64, 8);
    put64(&zip64, ~quint64(0) - 10);
    nearTop.centralExtra = zip64;
    QTest::newRow("offset near 2^64")
        << build({a, nearTop}) << "entry 1 (system/app/b\\x01.apk): its local header offset";

    Entry past = b;
    past.offset = 0x7FFFFFF0;
    QTest::newRow("offset past the file")
        << build({a, past}) << "entry 1 (system/app/b\\x01.apk): its local header offset";

    // Data running into the directory.
    QByteArray longData = build({a, b});
    const qsizetype firstRecord = longData.indexOf(QByteArray("PK\x01\x02", 4), 0);
    const qsizetype secondRecord = longData.indexOf(QByteArray("PK\x01\x02", 4), firstRecord + 4);
    longData[secondRecord + 20] = char(0x00);
    longData[secondRecord + 21] = char(0x00);
    longData[secondRecord + 22] = char(0x01);
    QTest::newRow("data past the entries")
        << longData << "entry 1 (system/app/b\\x01.apk): its data runs past the entries";

    QByteArray otherMethod = build({a, b});
    otherMethod[secondRecord + 10] = char(8);
    QTest::newRow("central method differs")
        << otherMethod << "entry 1 (system/app/b\\x01.apk): the central directory does not agree";

    QByteArray noHeader = build({a, b});
    noHeader[0] = 'X';
    QTest::newRow("no local header") << noHeader << "entry 0 (a.txt): no local header at offset 0";

    QByteArray missingZip64 = build({a, b});
    for (int i = 42; i < 46; ++i)
        missingZip64[secondRecord + i] = char(0xFF);
    QTest::newRow("ZIP64 values missing")
        << missingZip64 << "entry 1 (system/app/b\\x01.apk): its central directory record lacks";

    QByteArray countTooHigh = build({a, b});
    countTooHigh[countTooHigh.size() - 14] = char(0x40); // on this disk
    countTooHigh[countTooHigh.size() - 12] = char(0x40); // in all
    QTest::newRow("count beyond the directory") << countTooHigh << "more than the central";
}

void TestZipReader::hostileValuesAreRefusedByName() {
    QFETCH(QByteArray, archive);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    const QString path = dir.filePath("package.zip");
    QVERIFY(writeBytes(path, archive));
    ZipDirectory directory;
    QString error;
    QVERIFY(!readDirectory(path, &directory, &error));
    QVERIFY2(error.contains(cause), qPrintable(error));

    // With the local headers checked as entries are read, the same fault is
    // found by the time each entry has been checked.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    FdSource source(file.handle(), 0);
    QVERIFY(FdSource::open(file.handle(), &source, &error));
    ZipDirectory deferred;
    QString deferredError;
    bool refused = !ReadZipDirectory(source, &deferred, &deferredError, ZipLocalHeaders::WhenRead);
    for (qsizetype i = 0; !refused && i < deferred.entries.size(); ++i)
        refused = !CheckZipLocalHeader(source, deferred, i, &deferredError);
    QVERIFY(refused);
    QVERIFY2(deferredError.contains(cause), qPrintable(deferredError));
}

void TestZipReader::overlappingEntriesAreRefused() {
    // The second entry's local header and data lie inside the first entry's
    // data: each copy of the package would hold the shared bytes again.
    const Entry inner{"inner.bin", QByteArray(4000, 'i'), 0, 0, -1, true, {}};
    const QByteArray innerBytes = localHeader(inner) + inner.data;
    Entry outer{"outer.bin", QByteArray(100, 'o') + innerBytes, 0, 0, -1, true, {}};
    Entry nested = inner;
    nested.writeLocal = false;
    nested.offset = 30 + outer.name.size() + 100;
    QTemporaryDir dir;
    const QString path = dir.filePath("overlap.zip");
    QVERIFY(writeBytes(path, build({outer, nested})));

    ZipDirectory directory;
    QString error;
    QVERIFY(!readDirectory(path, &directory, &error));
    QVERIFY2(error.contains("entry 1 (inner.bin): its bytes overlap those of entry 0 (outer.bin)"),
             qPrintable(error));
    // The directory alone shows it too, when the local headers are left for
    // later.
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        FdSource source(file.handle(), 0);
        QVERIFY(FdSource::open(file.handle(), &source, &error));
        QVERIFY(!ReadZipDirectory(source, &directory, &error, ZipLocalHeaders::WhenRead));
        QVERIFY2(error.contains("its bytes overlap those of entry 0 (outer.bin)"),
                 qPrintable(error));
    }
    qint64 copied = 0;
    QVERIFY(!WriteCompactArchive(
        path, {},
        [&copied](const char*, qint64 size) {
            copied += size;
            return true;
        },
        &error));
    QCOMPARE(copied, qint64(0));
}

void TestZipReader::deviceReadableAgreesWithAndroid_data() {
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<QString>("cause"); // empty: readable

    const Entry ok{"system/build.prop", "ro.build=1\n", 0, 0, -1, true, {}};
    QTest::newRow("stored entry") << build({ok}) << "";
    QByteArray deflated(QByteArray::fromHex("cb48cdc9c90700")); // "hello"
    Entry inflatable{"hello.txt", deflated, 8, 0, -1, true, {}};
    {
        // The CRC and size of the inflated bytes.
        QByteArray archive = build({inflatable});
        const quint32 crc = crcOf("hello");
        for (const QByteArray& sig : {QByteArray("PK\x03\x04", 4), QByteArray("PK\x01\x02", 4)}) {
            const qsizetype at = archive.indexOf(sig);
            const qsizetype crcAt = at + (sig[2] == 3 ? 14 : 16);
            for (int i = 0; i < 4; ++i)
                archive[crcAt + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
            archive[crcAt + 8] = 5;
        }
        QTest::newRow("deflated entry") << archive << "";
    }
    QTest::newRow("UTF-8 name without flag")
        << build({ok, {"系统/说明.txt", "x", 0, 0, -1, true, {}}}) << "";
    QTest::newRow("NUL in name") << build({ok, {QByteArray("a\0b", 3), "x", 0, 0, -1, true, {}}})
                                 << "entry 1 (a\\x00b): its name holds a NUL byte";
    QTest::newRow("Latin-1 name") << build({ok, {"caf\xe9.txt", "x", 0, 0x0800, -1, true, {}}})
                                  << "entry 1 (caf\\xe9.txt): its name is not UTF-8";
    QTest::newRow("cut UTF-8 sequence")
        << build({{"logo\xe7\xb3", "x", 0, 0, -1, true, {}}}) << "entry 0 (logo\\xe7\\xb3)";
    QTest::newRow("LZMA entry") << build({ok, {"boot.img", "xx", 14, 0, -1, true, {}}})
                                << "entry 1 (boot.img): compression method 14";
    QTest::newRow("bzip2 entry") << build({{"boot.img", "xx", 12, 0, -1, true, {}}})
                                 << "entry 0 (boot.img): compression method 12";
    QTest::newRow("duplicate name")
        << build({ok, {"logo.img", "1", 0, 0, -1, true, {}}, {"logo.img", "2", 0, 0, -1, true, {}}})
        << "entry 2 (logo.img): the same name as entry 1";
    QTest::newRow("stub in front, adjusted")
        << build({ok}, kStub, true) << QStringLiteral("%1 bytes lie in front").arg(kStub.size());
    QTest::newRow("stub in front, not adjusted")
        << build({ok}, kStub, false) << QStringLiteral("%1 bytes lie in front").arg(kStub.size());
    QTest::newRow("no entries") << build({}) << "holds no entries";
}

void TestZipReader::deviceReadableAgreesWithAndroid() {
    QFETCH(QByteArray, archive);
    QFETCH(QString, cause);
    QTemporaryDir dir;
    const QString path = dir.filePath("package.zip");
    QVERIFY(writeBytes(path, archive));
    QString error;
    const bool readable = CheckArchiveDeviceReadable(path, &error);
    QVERIFY2(readable == cause.isEmpty(), qPrintable(error));
    QVERIFY2(error.contains(cause), qPrintable(error));
    const int device = deviceReads(path);
    if (device < 0)
        QSKIP("libziparchive is not at hand");
    QCOMPARE(device == 1, readable);
}

void TestZipReader::namesAsShownNeedUtf8Flag() {
    // Code page 936 bytes that happen to be well-formed UTF-8: the device
    // reads them, under another name than the one the program shows.
    const QByteArray cp936 = "\xcf\xb5\xcd\xb3.txt"; // 系统.txt in code page 936
    QTemporaryDir dir;
    const QString path = dir.filePath("package.zip");
    QVERIFY(writeBytes(path, BuildRawZip({{"a.txt", "a", 0}, {cp936, "x", 0}})));
    QString error;
    QVERIFY2(CheckArchiveDeviceReadable(path, &error), qPrintable(error));
    QVERIFY(!CheckArchiveDeviceReadable(path, &error, true));
    QVERIFY2(error.contains("entry 1 (\xcf\xb5\xcd\xb3.txt): its name is not ASCII and has no "
                            "UTF-8 flag"),
             qPrintable(error));
    QVERIFY(writeBytes(path, BuildRawZip({{"a.txt", "a", 0}, {"系统.txt", "x", 0x0800}})));
    QVERIFY2(CheckArchiveDeviceReadable(path, &error, true), qPrintable(error));
}

void TestZipReader::stubInFrontIsFoundAndCopiedAway_data() {
    QTest::addColumn<bool>("adjusted");
    QTest::newRow("offsets adjusted") << true;
    QTest::newRow("offsets from the ZIP part (cat stub x.zip)") << false;
}

void TestZipReader::stubInFrontIsFoundAndCopiedAway() {
    QFETCH(bool, adjusted);
    const QList<Entry> entries = {{"system/build.prop", "ro.build=1\n", 0, 0, -1, true, {}},
                                  {"logo.img", QByteArray(3000, 'l'), 0, 0, -1, true, {}}};
    QTemporaryDir dir;
    const QString path = dir.filePath("package.exe");
    QVERIFY(writeBytes(path, build(entries, kStub, adjusted)));

    quint64 start = 0, bias = 0;
    QString error;
    QVERIFY2(FindZipPart(path, &start, &bias, &error), qPrintable(error));
    QCOMPARE(start, quint64(kStub.size()));
    QCOMPARE(bias, adjusted ? quint64(0) : quint64(kStub.size()));
    QList<ArchiveMember> members;
    QVERIFY2(ReadArchiveMembers(path, &members, &error), qPrintable(error));
    QCOMPARE(members.size(), 2);
    QCOMPARE(members[1].localHeaderOffset, quint64(kStub.size() + 30 + 17 + 11));

    // The copy leaves the stub out and reads everywhere, the device included.
    QByteArray copy;
    QVERIFY2(WriteCompactArchive(
                 path, {},
                 [&copy](const char* data, qint64 size) {
                     copy.append(data, size);
                     return true;
                 },
                 &error),
             qPrintable(error));
    QVERIFY(!copy.contains(kStub));
    const QString copied = dir.filePath("copy.zip");
    QVERIFY(writeBytes(copied, copy + QByteArray(2, '\0')));
    QVERIFY2(CheckArchiveDeviceReadable(copied, &error), qPrintable(error));
    QVERIFY(deviceReads(copied) != 0);
    QProcess unzip;
    unzip.start("unzip", {"-tqq", copied});
    QVERIFY(unzip.waitForFinished(30000));
    QCOMPARE(unzip.exitCode(), 0);

    // The editor keeps to archives whose offsets are right.
    const QString source = dir.filePath("x.txt");
    QVERIFY(writeBytes(source, "x"));
    const bool edited =
        ApplyArchiveChanges(path, {{ArchiveChangeKind::Put, "x.txt", source}}, &error);
    QCOMPARE(edited, adjusted);
    if (!adjusted)
        QVERIFY2(error.contains("not counted by its offsets"), qPrintable(error));
}

void TestZipReader::dataDescriptorLengthFromWhatIsThere_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("signature");
    QTest::addColumn<bool>("wide"); // 8-byte sizes
    for (const QByteArray& data : {QByteArray(), QByteArray("hello")}) {
        for (const bool signature : {true, false}) {
            for (const bool wide : {false, true}) {
                const QString row = QStringLiteral("%1 member, %2 signature, %3-byte sizes")
                                        .arg(data.isEmpty() ? "empty" : "5-byte")
                                        .arg(signature ? "with" : "without")
                                        .arg(wide ? 8 : 4);
                QTest::newRow(qPrintable(row)) << data << signature << wide;
            }
        }
    }
}

void TestZipReader::dataDescriptorLengthFromWhatIsThere() {
    // A member whose sizes follow its data (no ZIP64 field in its local
    // header), then another: the first one's bytes end where the second's
    // begin, whichever form the descriptor has.
    QFETCH(QByteArray, data);
    QFETCH(bool, signature);
    QFETCH(bool, wide);
    Entry streamed{"streamed.txt", data, 0, 0x0008, -1, true, {}};
    QByteArray local = localHeader(streamed);
    local.replace(14, 12, QByteArray(12, '\0')); // CRC and sizes only in the descriptor
    QByteArray descriptor;
    if (signature)
        put32(&descriptor, 0x08074b50);
    put32(&descriptor, crcOf(data));
    if (wide) {
        put64(&descriptor, quint64(data.size()));
        put64(&descriptor, quint64(data.size()));
    } else {
        put32(&descriptor, static_cast<quint32>(data.size()));
        put32(&descriptor, static_cast<quint32>(data.size()));
    }
    const Entry next{"next.txt", "next", 0, 0, -1, true, {}};
    const QByteArray first = local + data + descriptor;
    const QByteArray directory = centralRecord(streamed, 0, static_cast<quint32>(data.size())) +
                                 centralRecord(next, static_cast<quint32>(first.size()), 4);
    const QByteArray entries = first + localHeader(next) + next.data;
    QTemporaryDir dir;
    const QString path = dir.filePath("streamed.zip");
    QVERIFY(
        writeBytes(path, entries + directory +
                             endRecord(2, directory.size(), static_cast<quint32>(entries.size()))));

    ZipDirectory read;
    QString error;
    QVERIFY2(readDirectory(path, &read, &error), qPrintable(error));
    QCOMPARE(read.entries[0].extentEnd, quint64(first.size()));
}

void TestZipReader::zip64DataDescriptorIsCopiedWhole() {
    // A stored member of 4 GiB + 100 bytes (sparse) written as a streaming
    // Java writer does: sizes in the data descriptor, which is a ZIP64 one
    // (24 bytes with its signature) because a size needs it, and no ZIP64
    // field in the local header. Then a small member.
    QTemporaryDir dir;
    const QString path = dir.filePath("big.zip");
    constexpr quint64 kBig = (quint64(1) << 32) + 100;
    // The CRC-32 of kBig zero bytes, by doubling.
    const QByteArray zeros(1 << 20, '\0');
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()),
                      static_cast<uInt>(zeros.size()));
    for (quint64 length = zeros.size(); length < (quint64(1) << 32); length *= 2)
        crc = crc32_combine(crc, crc, static_cast<z_off_t>(length));
    crc = crc32_combine(crc, crc32(0, reinterpret_cast<const Bytef*>(zeros.constData()), 100), 100);

    const QByteArray name = "system.img";
    QByteArray local;
    put32(&local, 0x04034b50);
    put16(&local, 45);
    put16(&local, 0x0008);
    put16(&local, 0);
    put16(&local, 0);
    put16(&local, 0x5021);
    put32(&local, 0);
    put32(&local, 0);
    put32(&local, 0);
    put16(&local, static_cast<quint32>(name.size()));
    put16(&local, 0);
    local += name;
    QByteArray descriptor;
    put32(&descriptor, 0x08074b50);
    put32(&descriptor, static_cast<quint32>(crc));
    put64(&descriptor, kBig);
    put64(&descriptor, kBig);
    const Entry small{"small.txt", "small", 0, 0, -1, true, {}};
    const quint64 smallOffset = quint64(local.size()) + kBig + quint64(descriptor.size());
    const QByteArray smallBytes = localHeader(small) + small.data;

    QByteArray zip64;
    put16(&zip64, 1);
    put16(&zip64, 16);
    put64(&zip64, kBig);
    put64(&zip64, kBig);
    Entry big{name, {}, 0, 0x0008, 0, false, zip64};
    QByteArray directory = centralRecord(big, 0, 0xFFFFFFFFu);
    for (int i = 0; i < 4; ++i)
        directory[16 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    // The small entry lies past 4 GiB: a ZIP64 field for its offset.
    QByteArray offsetField;
    put16(&offsetField, 1);
    put16(&offsetField, 8);
    put64(&offsetField, smallOffset);
    Entry farSmall = small;
    farSmall.centralExtra = offsetField;
    directory += centralRecord(farSmall, 0xFFFFFFFFu, static_cast<quint32>(small.data.size()));
    const quint64 directoryOffset = smallOffset + quint64(smallBytes.size());
    QByteArray end;
    put32(&end, 0x06064b50);
    put64(&end, 44);
    put16(&end, 45);
    put16(&end, 45);
    put32(&end, 0);
    put32(&end, 0);
    put64(&end, 2);
    put64(&end, 2);
    put64(&end, quint64(directory.size()));
    put64(&end, directoryOffset);
    put32(&end, 0x07064b50);
    put32(&end, 0);
    put64(&end, directoryOffset + quint64(directory.size()));
    put32(&end, 1);
    put32(&end, 0x06054b50);
    put32(&end, 0);
    put16(&end, 2);
    put16(&end, 2);
    put32(&end, static_cast<quint32>(directory.size()));
    put32(&end, 0xFFFFFFFFu);
    put16(&end, 0);
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(local) == local.size());
        QVERIFY(file.seek(qint64(local.size()) + qint64(kBig)));
        QVERIFY(file.write(descriptor + smallBytes + directory + end) > 0);
    }

    ZipDirectory read;
    QString error;
    QVERIFY2(readDirectory(path, &read, &error), qPrintable(error));
    QCOMPARE(read.entries.size(), 2);
    QCOMPARE(read.entries[0].extentEnd, smallOffset);

    // The copy keeps all 24 bytes of the descriptor before the next entry.
    const quint64 descriptorAt = quint64(local.size()) + kBig;
    quint64 position = 0;
    QByteArray around;
    QVERIFY2(WriteCompactArchive(
                 path, {},
                 [&](const char* data, qint64 size) {
                     const quint64 upTo = position + quint64(size);
                     if (upTo > descriptorAt && position < descriptorAt + 64) {
                         const quint64 from = qMax(position, descriptorAt);
                         const quint64 to = qMin(upTo, descriptorAt + 64);
                         around.append(data + (from - position), qint64(to - from));
                     }
                     position = upTo;
                     return true;
                 },
                 &error),
             qPrintable(error));
    QCOMPARE(around.left(24), descriptor);
    QCOMPARE(around.mid(24, 4), QByteArray("PK\x03\x04", 4));
}

QTEST_GUILESS_MAIN(TestZipReader)
#include "tst_ZipReader.moc"
