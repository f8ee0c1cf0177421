// A member read as a device without unpacking the archive: a stored one
// through a window onto the archive, a deflated one inflated into memory or,
// past the limit, into an unnamed temporary file; each reads the member's
// bytes at any position and nothing past its end.
#include "core/format/ZipMemberDevice.h"
#include "core/format/ZipMemberReader.h"

#include "support/RawZip.h"
#include "support/TestBundle.h"
#include "support/ZipFixture.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Bytes that deflate well but are not all alike.
QByteArray memberBytes() {
    QByteArray data;
    for (int i = 0; i < 20000; ++i)
        data.append(QByteArray::number(i % 977)).append(' ');
    return data;
}

} // namespace

class TestZipMemberDevice : public QObject {
    Q_OBJECT
private slots:
    void readsTheMemberAnywhere_data();
    void readsTheMemberAnywhere();
    void damagedDeflatedMemberIsRefused();
    void windowIsReadOnly();
    void inflatingStopsAtTheDeclaredSize_data();
    void inflatingStopsAtTheDeclaredSize();
};

void TestZipMemberDevice::readsTheMemberAnywhere_data() {
    QTest::addColumn<bool>("stored");
    QTest::addColumn<qint64>("memoryLimit");
    QTest::addColumn<QString>("deviceKind");
    QTest::newRow("stored: a window") << true << qint64(0) << "FileRangeDevice";
    QTest::newRow("deflated, in memory") << false << qint64(1 << 20) << "QBuffer";
    QTest::newRow("deflated, past the limit: a temporary file") << false << qint64(1000) << "QFile";
}

void TestZipMemberDevice::readsTheMemberAnywhere() {
    QFETCH(bool, stored);
    QFETCH(qint64, memoryLimit);
    QFETCH(QString, deviceKind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString archive = dir.filePath("a.zip");
    const QByteArray data = memberBytes();
    if (stored)
        QVERIFY(
            WriteFile(archive, BuildRawZip({{"before", "x"}, {"member", data}, {"after", "y"}})));
    else
        QVERIFY(WriteZip(archive, {{"before", "x"}, {"member", data}, {"after", "y"}}));
    const int fd = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    ZipDirectory directory;
    QString error;
    QVERIFY2(ReadZipDirectory(fd, &directory, &error), qPrintable(error));
    QCOMPARE(directory.entries.at(1).method, quint16(stored ? 0 : 8));
    // No temporary file is named anywhere, whatever the kind.
    const QStringList tempBefore = QDir::temp().entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    {
        const std::unique_ptr<QIODevice> device =
            OpenZipMemberDevice(fd, directory.entries.at(1), memoryLimit, &error);
        QVERIFY2(device, qPrintable(error));
        const QString kind = dynamic_cast<FileRangeDevice*>(device.get()) ? "FileRangeDevice"
                             : qobject_cast<QBuffer*>(device.get())       ? "QBuffer"
                             : qobject_cast<QFile*>(device.get())         ? "QFile"
                                                                          : "other";
        QCOMPARE(kind, deviceKind);
        QVERIFY(device->isReadable());
        QVERIFY(!device->isSequential());
        QCOMPARE(device->size(), data.size());
        QCOMPARE(device->readAll(), data);
        // Any position, backwards too, and the end.
        for (const qint64 at : {qint64(12345), qint64(7), data.size() - 3}) {
            QVERIFY(device->seek(at));
            QCOMPARE(device->read(10), data.mid(at, 10));
        }
        QVERIFY(device->atEnd());
        QCOMPARE(device->read(10), QByteArray());
        QCOMPARE(QDir::temp().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), tempBefore);
    }
    ::close(fd);
}

void TestZipMemberDevice::damagedDeflatedMemberIsRefused() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString archive = dir.filePath("a.zip");
    QVERIFY(WriteZip(archive, {{"member", memberBytes()}}));
    // A byte of the deflated data changed (after the 30-byte local header and
    // the name).
    QByteArray bytes = ReadFile(archive);
    bytes[30 + 6 + 40] = static_cast<char>(bytes.at(30 + 6 + 40) ^ 0x55);
    QVERIFY(WriteFile(archive, bytes));
    const int fd = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    ZipDirectory directory;
    QString error;
    QVERIFY(ReadZipDirectory(fd, &directory, &error));
    for (const qint64 memoryLimit : {qint64(1 << 20), qint64(0)}) {
        error.clear();
        QVERIFY(!OpenZipMemberDevice(fd, directory.entries.at(0), memoryLimit, &error));
        QVERIFY2(error.contains("damaged") || error.contains("CRC-32"), qPrintable(error));
    }
    ::close(fd);
}

void TestZipMemberDevice::windowIsReadOnly() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath("f");
    QVERIFY(WriteFile(file, "0123456789"));
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    FileRangeDevice window(fd, 3, 4);
    QVERIFY(!window.open(QIODevice::ReadWrite));
    QVERIFY(window.open(QIODevice::ReadOnly));
    QCOMPARE(window.readAll(), QByteArray("3456"));
    QVERIFY(!window.seek(5));
    ::close(fd);
}

void TestZipMemberDevice::inflatingStopsAtTheDeclaredSize_data() {
    QTest::addColumn<QString>("reader");
    QTest::newRow("member read whole") << "ReadZipMember";
    QTest::newRow("member streamed") << "ReadZipMemberData";
    QTest::newRow("device in memory") << "memory";
    QTest::newRow("device in a temporary file") << "file";
}

void TestZipMemberDevice::inflatingStopsAtTheDeclaredSize() {
    QFETCH(QString, reader);
    // 250 KB that declare 10 bytes and inflate to 256 MiB: each reader stops
    // in the first block past the 10 bytes, without the rest.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString archive = dir.filePath("bomb.zip");
    QVERIFY(WriteFile(archive, BuildInflateBomb("m", 10, qint64(256) << 20)));
    const QString cause = QStringLiteral("it inflates to more than the 10 bytes its header gives");
    QString error;
    if (reader == QLatin1String("ReadZipMember")) {
        QByteArray bytes;
        QVERIFY(!ReadZipMember(archive, QStringLiteral("m"), 1 << 20, &bytes, &error));
        QCOMPARE(error, QStringLiteral("its member m is damaged: ") + cause);
        QVERIFY(bytes.size() <= 10);
        return;
    }
    const int fd = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    ZipDirectory directory;
    QVERIFY2(ReadZipDirectory(fd, &directory, &error), qPrintable(error));
    if (reader == QLatin1String("ReadZipMemberData")) {
        qint64 given = 0;
        QVERIFY(!ReadZipMemberData(
            fd, directory.entries.at(0),
            [&given](const char*, qint64 size) {
                given += size;
                return true;
            },
            &error));
        QCOMPARE(given, qint64(0));
    } else {
        QVERIFY(!OpenZipMemberDevice(fd, directory.entries.at(0),
                                     reader == QLatin1String("memory") ? 1 << 20 : 0, &error));
    }
    QCOMPARE(error, cause);
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestZipMemberDevice)
#include "tst_ZipMemberDevice.moc"
