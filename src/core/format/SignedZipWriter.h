#pragma once

#include "core/base/ByteOrder.h"
#include "core/base/FileHelpers.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

// The ZIP writer of the APK signer: its entries' local headers and central
// records as signapk lays them out, and the output file written in chunks
// whose digests are made on a thread of their own as they go out.

namespace signer {

// signapk's entry time: 2009-01-01 00:00 as MS-DOS date and time.
inline constexpr quint16 kEntryDosDate = 0x3a21;
inline constexpr quint16 kEntryDosTime = 0;
// The chunk of the v2 and v3 content digests.
inline constexpr qint64 kChunk = 1 << 20;

inline void PutLe16(QByteArray* out, quint32 v) {
    AppendLe16(out, static_cast<quint16>(v & 0xffff));
}
inline void PutLe32(QByteArray* out, quint32 v) {
    AppendLe32(out, v);
}
inline void PutLe64(QByteArray* out, quint64 v) {
    AppendLe64(out, v);
}
inline QByteArray LengthPrefixed(const QByteArray& data) {
    QByteArray out;
    PutLe32(&out, static_cast<quint32>(data.size()));
    return out + data;
}

// An entry of the output: stored entries carry their CRC-32 and sizes in the
// local header, compressed ones in a data descriptor after their data.
struct OutEntry {
    QByteArray name;
    bool stored = false;
    quint16 versionMadeBy = 20;
    quint32 externalAttributes = 0;
    quint32 crc = 0;
    quint64 compressedSize = 0;
    quint64 size = 0;
    quint64 offset = 0;
    QByteArray extra;
};

// The local header and the central record of an entry.
QByteArray LocalHeader(const OutEntry& e);
QByteArray CentralRecord(const OutEntry& e);

using ChunkHasher = std::function<QByteArray(const char* data, qint64 size)>;

// The output archive while it is written: its file and where it has got to.
// Each chunk of kChunk bytes of the digested sections goes through
// hashChunk, which answers its digest.
// The entries pass through buffers of one digest chunk each, so that each
// chunk of the v2 and v3 content digest is hashed as it goes to the file (on
// a thread of its own), not read back afterwards.
class Writer {
public:
    Writer(FileHelpers::TemporaryFile* file, ChunkHasher hashChunk)
        : m_file(file), m_hashChunk(std::move(hashChunk)) {
        for (QByteArray& slot : m_slots)
            slot = QByteArray(kChunk, Qt::Uninitialized);
        try {
            m_hasher = std::thread([this] { hashChunks(); });
        } catch (const std::system_error&) {
            // The chunks are hashed as they are written, on this thread.
        }
    }
    ~Writer() { stopHasher(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool write(const char* data, qint64 size, QString* error) {
        m_position += static_cast<quint64>(size);
        while (size > 0) {
            const qint64 n = std::min(size, kChunk - m_fill);
            std::memcpy(m_slots[m_slot].data() + m_fill, data, static_cast<size_t>(n));
            m_fill += n;
            data += n;
            size -= n;
            if (m_fill == kChunk && !flush(error))
                return false;
        }
        return true;
    }
    bool write(const QByteArray& data, QString* error) {
        return write(data.constData(), data.size(), error);
    }
    // Ends the digested sections: the last chunk is hashed and everything
    // written reaches the file. What follows is written as it is.
    bool endDigestedSections(QString* error) {
        const bool ok = flush(error);
        stopHasher();
        m_digesting = false;
        return ok;
    }
    // The digests of the chunks of the digested sections, once ended.
    const QList<QByteArray>& chunkDigests() const { return m_chunkDigests; }
    bool flush(QString* error) {
        if (m_fill == 0)
            return true;
        const char* data = m_slots[m_slot].constData();
        const qint64 size = m_fill;
        const bool handedOver = m_digesting && m_hasher.joinable();
        if (handedOver) {
            std::lock_guard lock(m_mutex);
            m_queue.push_back({m_chunkDigests.size(), m_slot, size});
            m_chunkDigests.append(QByteArray());
            m_busy[m_slot] = true;
            m_changed.notify_all();
        } else if (m_digesting) {
            m_chunkDigests.append(m_hashChunk(data, size));
        }
        // In pieces: whole aligned megabytes were measured to go into the
        // page cache many times slower than smaller writes.
        bool ok = true;
        for (qint64 at = 0; ok && at < size; at += kWritePiece)
            ok = m_file->write(data + at, std::min(kWritePiece, size - at), error);
        m_fill = 0;
        if (handedOver) {
            // The next buffer, once its chunk is hashed.
            m_slot = (m_slot + 1) % kSlots;
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return !m_busy[m_slot]; });
        }
        return ok;
    }
    quint64 position() const { return m_position; }

private:
    static constexpr qint64 kWritePiece = 64 << 10;
    static constexpr int kSlots = 3;
    struct Chunk {
        qsizetype index;
        int slot;
        qint64 size;
    };

    void hashChunks() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            const Chunk chunk = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            QByteArray digest = m_hashChunk(m_slots[chunk.slot].constData(), chunk.size);
            lock.lock();
            m_chunkDigests[chunk.index] = std::move(digest);
            m_busy[chunk.slot] = false;
            m_changed.notify_all();
        }
    }
    // Lets the hasher finish the chunks handed to it and end.
    void stopHasher() {
        if (!m_hasher.joinable())
            return;
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_hasher.join();
    }

    FileHelpers::TemporaryFile* m_file;
    ChunkHasher m_hashChunk;
    bool m_digesting = true;
    QByteArray m_slots[kSlots];
    bool m_busy[kSlots] = {};
    int m_slot = 0;
    qint64 m_fill = 0;
    QList<QByteArray> m_chunkDigests;
    quint64 m_position = 0;
    std::deque<Chunk> m_queue;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::thread m_hasher;
};

} // namespace signer
