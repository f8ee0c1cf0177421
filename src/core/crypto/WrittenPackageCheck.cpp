#include "core/crypto/WrittenPackageCheck.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/RandomAccessSource.h"
#include "core/base/UniqueFd.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/format/Deflate.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <zlib.h>

namespace {

constexpr qint64 kLocalHeaderSize = 30;
constexpr quint32 kLocalSignature = 0x04034b50;
constexpr qint64 kOutputChunk = 64 * 1024;
constexpr size_t kQueuedChunks = 8;

// One thing handed over by the writer: an entry to come, or bytes.
struct Item {
    bool isEntry = false;
    ZipCentralEntry entry;
    QByteArray bytes;
};

// Follows the package's bytes in order: the local header of each expected
// entry, then its data through CRC-32 (and zlib for a deflated one); the
// bytes between (data descriptors, the directory) are passed over.
class StreamCheck {
public:
    void expect(const ZipCentralEntry& entry) { m_pending.push_back(entry); }

    void take(const char* data, qint64 size) {
        while (size > 0 && m_cause.isEmpty()) {
            if (m_state == State::Between) {
                if (m_pending.empty() || m_position < m_pending.front().localHeaderOffset) {
                    const quint64 skip =
                        m_pending.empty()
                            ? quint64(size)
                            : qMin<quint64>(quint64(size),
                                            m_pending.front().localHeaderOffset - m_position);
                    advance(&data, &size, qint64(skip));
                    continue;
                }
                if (m_position > m_pending.front().localHeaderOffset)
                    return fail(QStringLiteral("it was written over by the member before it"));
                m_entry = m_pending.front();
                m_pending.pop_front();
                m_header.clear();
                m_state = State::Header;
            }
            if (m_state == State::Header) {
                const qint64 want = headerSize() - m_header.size();
                const qint64 n = qMin(want, size);
                m_header.append(data, n);
                advance(&data, &size, n);
                if (m_header.size() == headerSize())
                    startData();
                continue;
            }
            const qint64 n = qint64(qMin<quint64>(quint64(size), m_dataLeft));
            feedData(data, n);
            advance(&data, &size, n);
            if (m_cause.isEmpty() && m_dataLeft == 0)
                endData();
        }
    }

    // Every expected entry was written whole, its data as its record says.
    bool finish(QString* error) {
        if (m_cause.isEmpty() && (m_state != State::Between || !m_pending.empty())) {
            if (m_state == State::Between)
                m_entry = m_pending.front();
            fail(QStringLiteral("the package ends before its data"));
        }
        if (m_cause.isEmpty())
            return true;
        return Fail(error, QStringLiteral("member %1 of the signed package is damaged: %2")
                               .arg(PrintableZipName(m_entry.rawName), m_cause));
    }

private:
    enum class State { Between, Header, Data };

    void advance(const char** data, qint64* size, qint64 n) {
        *data += n;
        *size -= n;
        m_position += quint64(n);
    }

    // The fixed part first, then the name and extra fields it announces.
    qint64 headerSize() const {
        if (m_header.size() < kLocalHeaderSize)
            return kLocalHeaderSize;
        return kLocalHeaderSize + ReadLe16(m_header.constData() + 26) +
               ReadLe16(m_header.constData() + 28);
    }

    void fail(const QString& cause) {
        if (m_cause.isEmpty())
            m_cause = cause;
    }

    void startData() {
        const char* h = m_header.constData();
        const QByteArray name = m_header.mid(kLocalHeaderSize, ReadLe16(h + 26));
        if (ReadLe32(h) != kLocalSignature)
            return fail(QStringLiteral("no local header where its record says"));
        if (ReadLe16(h + 8) != m_entry.method || name != m_entry.rawName)
            return fail(QStringLiteral("its local header does not agree with its record"));
        if (!(ReadLe16(h + 6) & kZipFlagDataDescriptor)) {
            const quint32 compressed = ReadLe32(h + 18);
            const quint32 uncompressed = ReadLe32(h + 22);
            if (ReadLe32(h + 14) != m_entry.crc32 ||
                (compressed != kZipMax32 && compressed != m_entry.compressedSize) ||
                (uncompressed != kZipMax32 && uncompressed != m_entry.uncompressedSize))
                return fail(QStringLiteral("its local header gives another CRC-32 or size than "
                                           "its record"));
        }
        if (m_entry.method != 0 && m_entry.method != 8)
            return fail(QStringLiteral("compression method %1").arg(m_entry.method));
        if (m_entry.method == 0 && m_entry.compressedSize != m_entry.uncompressedSize)
            return fail(QStringLiteral("it is stored with two different sizes"));
        m_crc = crc32(0, nullptr, 0);
        m_produced = 0;
        m_dataLeft = m_entry.compressedSize;
        m_streamEnded = m_entry.method == 0;
        if (m_entry.method == 8 && !m_inflater.start())
            return fail(QStringLiteral("cannot start inflating"));
        m_state = State::Data;
        if (m_dataLeft == 0)
            endData();
    }

    void output(const char* data, qint64 size) {
        if (quint64(size) > m_entry.uncompressedSize - m_produced)
            return fail(QStringLiteral("it inflates to more than the %1 bytes its header gives")
                            .arg(m_entry.uncompressedSize));
        m_crc = crc32(m_crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
        m_produced += quint64(size);
    }

    void feedData(const char* data, qint64 size) {
        m_dataLeft -= quint64(size);
        if (m_entry.method == 0)
            return output(data, size);
        if (m_streamEnded)
            return fail(QStringLiteral("its deflated data goes on past its end"));
        z_stream& z = m_inflater.stream();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z.avail_in = static_cast<uInt>(size);
        if (m_out.isEmpty())
            m_out.resize(kOutputChunk);
        do {
            z.next_out = reinterpret_cast<Bytef*>(m_out.data());
            z.avail_out = static_cast<uInt>(m_out.size());
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                return fail(QStringLiteral("its deflated data is damaged"));
            output(m_out.constData(), m_out.size() - qint64(z.avail_out));
            if (!m_cause.isEmpty())
                return;
            m_streamEnded = rc == Z_STREAM_END;
            if (rc == Z_BUF_ERROR)
                break;
        } while (!m_streamEnded && (z.avail_out == 0 || z.avail_in > 0));
        if (m_streamEnded && z.avail_in > 0)
            fail(QStringLiteral("its deflated data goes on past its end"));
    }

    void endData() {
        if (!m_streamEnded)
            fail(QStringLiteral("its deflated data is cut short"));
        else if (m_produced != m_entry.uncompressedSize)
            fail(QStringLiteral("it holds %1 bytes, not the %2 its header gives")
                     .arg(m_produced)
                     .arg(m_entry.uncompressedSize));
        else if (quint32(m_crc) != m_entry.crc32)
            fail(QStringLiteral("its CRC-32 does not match its data"));
        m_state = State::Between;
    }

    quint64 m_position = 0;
    std::deque<ZipCentralEntry> m_pending;
    ZipCentralEntry m_entry;
    State m_state = State::Between;
    QByteArray m_header;
    quint64 m_dataLeft = 0;
    uLong m_crc = 0;
    quint64 m_produced = 0;
    bool m_streamEnded = false;
    Inflater m_inflater;
    QByteArray m_out;
    QString m_cause;
};

} // namespace

struct WrittenPackageCheck::Private {
    std::mutex mutex;
    std::condition_variable ready;
    std::condition_variable room;
    std::deque<Item> items;
    size_t queuedChunks = 0;
    bool closed = false;
    QList<ZipCentralEntry> expected;
    StreamCheck stream;
    QByteArray signedDigest;
    qint64 signedBytes = -1;
    std::thread thread;

    void push(Item item) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!item.isEntry) {
            room.wait(lock, [this] { return queuedChunks < kQueuedChunks; });
            ++queuedChunks;
        }
        items.push_back(std::move(item));
        ready.notify_one();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            ready.wait(lock, [this] { return !items.empty() || closed; });
            if (items.empty())
                return;
            Item item = std::move(items.front());
            items.pop_front();
            if (!item.isEntry) {
                --queuedChunks;
                room.notify_one();
            }
            lock.unlock();
            if (item.isEntry)
                stream.expect(item.entry);
            else
                stream.take(item.bytes.constData(), item.bytes.size());
            lock.lock();
        }
    }

    void close() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            closed = true;
        }
        ready.notify_one();
        if (thread.joinable())
            thread.join();
    }
};

WrittenPackageCheck::WrittenPackageCheck() : d(new Private) {
    d->thread = std::thread([this] { d->run(); });
}

WrittenPackageCheck::~WrittenPackageCheck() {
    d->close();
}

void WrittenPackageCheck::expect(const ZipCentralEntry& entry) {
    d->expected.append(entry);
    Item item;
    item.isEntry = true;
    item.entry = entry;
    d->push(std::move(item));
}

void WrittenPackageCheck::take(const char* data, qint64 size) {
    Item item;
    item.bytes = QByteArray(data, size);
    d->push(std::move(item));
}

void WrittenPackageCheck::signedAs(const QByteArray& digest, qint64 signedBytes) {
    d->signedDigest = digest;
    d->signedBytes = signedBytes;
}

bool WrittenPackageCheck::finish(const QString& path, const QString& certificate, QString* error) {
    d->close();
    const UniqueFd file = OpenUniqueFd(path, O_RDONLY);
    ZipDirectory directory;
    QString cause;
    FdSource source(file.get(), 0);
    // The local headers were checked in the stream, where they were written:
    // only the directory is read back.
    if (!file.isOpen() || !FdSource::open(file.get(), &source, &cause) ||
        !ReadZipDirectory(source, &directory, &cause, ZipLocalHeaders::WhenRead))
        return Fail(error, QStringLiteral("the signed package is not a readable ZIP: %1")
                               .arg(file.isOpen() ? cause : QStringLiteral("cannot open it")));
    // Names as the program shows them: the one pass and the save refuse the
    // same names.
    if (!CheckDeviceReadable(directory, &cause, true))
        return Fail(error,
                    QStringLiteral("the device could not read the signed package: %1").arg(cause));
    if (!d->stream.finish(error))
        return false;
    // The directory read back is the one written, entry for entry (in the
    // order of their offsets).
    const QList<ZipCentralEntry>& expected = d->expected;
    QList<ZipCentralEntry> entries = directory.entries;
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.localHeaderOffset < b.localHeaderOffset;
    });
    for (qsizetype i = 0; i < qMax(expected.size(), entries.size()); ++i) {
        const ZipCentralEntry* read = i < entries.size() ? &entries[i] : nullptr;
        const ZipCentralEntry* written = i < expected.size() ? &expected[i] : nullptr;
        if (!read || !written || read->rawName != written->rawName ||
            read->localHeaderOffset != written->localHeaderOffset ||
            read->method != written->method || read->crc32 != written->crc32 ||
            read->compressedSize != written->compressedSize ||
            read->uncompressedSize != written->uncompressedSize)
            return Fail(error, QStringLiteral("the signed package's directory does not agree with "
                                              "what was written at entry %1 (%2)")
                                   .arg(i)
                                   .arg(PrintableZipName((read ? read : written)->rawName)));
    }
    if (d->signedBytes >= 0)
        return VerifyWholeFileSignatureOfDigest(path, certificate, d->signedDigest, d->signedBytes,
                                                error);
    return VerifyWholeFileSignature(path, certificate, error);
}
