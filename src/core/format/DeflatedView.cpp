#include "core/format/DeflatedView.h"

#include "core/format/Deflate.h"

#include <QByteArray>
#include <QList>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace {

constexpr quint64 kWindow = 32 * 1024;         // deflate's distances reach this far back
constexpr quint64 kFirstInputChunk = 4 * 1024; // compressed runs are often short
constexpr quint64 kInputChunk = 64 * 1024;
constexpr quint64 kOutputChunk = 64 * 1024; // inflated at most at a time
// A stored block shorter than this that follows a compressed one is inflated
// with it rather than mapped. So zlib is restarted (and given a window read
// back) only after a stored block of this size or after a run of stored
// blocks at the stream's start: at most once per this many bytes of the
// stream, whatever its blocks.
constexpr quint64 kShortStored = 4 * 1024;

// A run of the member's bytes: a stored block's data in the archive, or
// inflated bytes in memory.
struct Segment {
    quint64 start = 0; // in the member
    quint64 length = 0;
    bool inFile = false;
    quint64 source = 0; // offset in the archive, or in the inflated bytes
};

// False with errno set, to 0 when the file ends first (it shrank).
bool readFully(int fd, char* data, quint64 size, quint64 offset) {
    quint64 done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, static_cast<size_t>(size - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = 0;
            return false;
        }
        done += static_cast<quint64>(got);
    }
    return true;
}

// The member's bytes [offset, offset + size) from its segments; the range
// lies within them.
bool readSegments(int fd, const QList<Segment>& segments, const QByteArray& inflated,
                  quint64 offset, char* data, quint64 size) {
    auto it = std::upper_bound(segments.cbegin(), segments.cend(), offset,
                               [](quint64 at, const Segment& s) { return at < s.start; });
    if (it == segments.cbegin())
        return size == 0;
    --it;
    while (size > 0 && it != segments.cend()) {
        const quint64 skip = offset - it->start;
        const quint64 n = std::min(size, it->length - skip);
        if (it->inFile) {
            if (!readFully(fd, data, n, it->source + skip))
                return false;
        } else {
            std::memcpy(data, inflated.constData() + it->source + skip, static_cast<size_t>(n));
        }
        data += n;
        offset += n;
        size -= n;
        ++it;
    }
    return size == 0;
}

class SegmentDevice : public QIODevice {
public:
    SegmentDevice(int fd, QList<Segment> segments, QByteArray inflated, qint64 size)
        : m_fd(fd), m_segments(std::move(segments)), m_inflated(std::move(inflated)), m_size(size) {
    }

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }
    bool seek(qint64 position) override {
        if (position < 0 || position > m_size || !QIODevice::seek(position))
            return false;
        m_position = position;
        return true;
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 want = qMin(maxSize, m_size - m_position);
        if (want <= 0)
            return 0;
        if (!readSegments(m_fd, m_segments, m_inflated, static_cast<quint64>(m_position), data,
                          static_cast<quint64>(want))) {
            setErrorString(errno == 0 ? QStringLiteral("the archive ends inside the member")
                                      : QStringLiteral("cannot read the archive: %1")
                                            .arg(QString::fromLocal8Bit(std::strerror(errno))));
            return -1;
        }
        m_position += want;
        return want;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    int m_fd;
    QList<Segment> m_segments;
    QByteArray m_inflated;
    qint64 m_size;
    qint64 m_position = 0;
};

// One pass over the deflate stream: stored blocks are mapped, the others
// inflated by zlib, which is restarted after each run of stored blocks. It is
// restarted without a window first: zlib refuses a distance reaching back past
// the restart, and only then is the run inflated again with the last 32 KB of
// output as its dictionary (about half the runs of an APK need none, which
// saves reading the window).
class Walker {
public:
    Walker(int fd, quint64 base, quint64 compressed, quint64 size, qint64 memoryLimit)
        : m_fd(fd), m_base(base), m_compressed(compressed), m_size(size),
          m_limit(static_cast<quint64>(qMax<qint64>(memoryLimit, 0))) {}
    Walker(const Walker&) = delete;
    Walker& operator=(const Walker&) = delete;

    bool walk(bool* overLimit, QString* error) {
        bool last = false;
        while (!last) {
            // The block header: BFINAL, then BTYPE (deflate's bits run from
            // the low bit up); a stored block's LEN and NLEN follow at the
            // next byte.
            const quint64 at = m_bit / 8;
            const unsigned shift = static_cast<unsigned>(m_bit % 8);
            unsigned char head[6] = {};
            const quint64 headSize =
                std::min<quint64>(6, m_compressed - std::min(at, m_compressed));
            if (headSize < 2 || !fileBytes(at, head, headSize))
                return fail(error, QStringLiteral("the stream ends inside a block header"));
            const unsigned bits = (head[0] | (unsigned(head[1]) << 8)) >> shift;
            const bool final = (bits & 1) != 0;
            const unsigned type = (bits >> 1) & 3;
            if (type == 3)
                return fail(error, QStringLiteral("a block of the reserved type"));
            if (type == 0) {
                const quint64 lengthAt = (m_bit + 3 + 7) / 8;
                const quint64 k = lengthAt - at;
                if (k + 4 > headSize)
                    return fail(error, QStringLiteral("the stream ends inside a block header"));
                const quint32 length = head[k] | (quint32(head[k + 1]) << 8);
                const quint32 check = head[k + 2] | (quint32(head[k + 3]) << 8);
                if ((length ^ 0xFFFF) != check)
                    return fail(error, QStringLiteral("a stored block's lengths disagree"));
                const quint64 dataAt = lengthAt + 4;
                if (length > m_compressed - dataAt)
                    return fail(error, QStringLiteral("a stored block runs past the member"));
                if (length > m_size - m_out)
                    return fail(error, QStringLiteral("the stream gives more than the size"));
                if (m_zlibLive && length < kShortStored) {
                    // Inflated with the compressed blocks around it: mapped,
                    // it would cost a restart of zlib and a read of the
                    // window for a few bytes.
                    const quint64 before = m_bit;
                    bool again = false;
                    if (!inflateBlock(&last, &again, overLimit, error))
                        return false;
                    if (m_bit <= before && !again)
                        return fail(error, QStringLiteral("damaged deflate data"));
                    continue;
                }
                if (length > 0)
                    m_segments.append({m_out, length, true, m_base + dataAt});
                m_out += length;
                m_bit = (dataAt + length) * 8;
                m_zlibLive = false;
                last = final;
                continue;
            }
            const quint64 before = m_bit;
            bool again = false;
            if (!inflateBlock(&last, &again, overLimit, error))
                return false;
            if (m_bit <= before && !again)
                return fail(error, QStringLiteral("damaged deflate data"));
        }
        if ((m_bit + 7) / 8 != m_compressed)
            return fail(error, QStringLiteral("the stream ends before the member's data"));
        if (m_out != m_size)
            return fail(error,
                        QStringLiteral("the stream gives %1 bytes, not %2").arg(m_out).arg(m_size));
        return true;
    }

    QList<Segment> takeSegments() { return std::move(m_segments); }
    QByteArray takeInflated() { return std::move(m_inflated); }

private:
    static bool fail(QString* error, const QString& cause) {
        *error = cause;
        return false;
    }

    bool fileBytes(quint64 at, unsigned char* data, quint64 size) {
        if (at >= m_inputStart && at + size <= m_inputStart + quint64(m_input.size())) {
            std::memcpy(data, m_input.constData() + (at - m_inputStart), static_cast<size_t>(size));
            return true;
        }
        return readFully(m_fd, reinterpret_cast<char*>(data), size, m_base + at);
    }

    bool loadInput(quint64 at) {
        const quint64 n = std::min(m_chunk, m_compressed - at);
        m_chunk = std::min(m_chunk * 2, kInputChunk);
        m_input.resize(static_cast<qsizetype>(n));
        if (!readFully(m_fd, m_input.data(), n, m_base + at))
            return false;
        m_inputStart = at;
        m_z.next_in = reinterpret_cast<Bytef*>(m_input.data());
        m_z.avail_in = static_cast<uInt>(n);
        return true;
    }

    // zlib at the current block, with the output's last 32 KB as its window
    // or none.
    bool restart(bool window, QString* error) {
        if (!m_inflater.start())
            return fail(error, QStringLiteral("cannot inflate"));
        const quint64 size = window ? std::min(kWindow, m_out) : 0;
        if (size > 0) {
            QByteArray dictionary(static_cast<qsizetype>(size), Qt::Uninitialized);
            if (!readSegments(m_fd, m_segments, m_inflated, m_out - size, dictionary.data(),
                              size) ||
                inflateSetDictionary(&m_z, reinterpret_cast<const Bytef*>(dictionary.constData()),
                                     static_cast<uInt>(size)) != Z_OK)
                return fail(error, QStringLiteral("cannot read the archive"));
        }
        m_windowless = m_out > 0 && size == 0;
        m_restart = {m_bit, m_out, m_segments.size(),
                     m_segments.isEmpty() ? 0 : m_segments.last().length, m_inflated.size()};
        m_chunk = kFirstInputChunk;
        // Only the stream's start and a stored block's end need a restart:
        // both lie on a byte boundary.
        if (!loadInput(m_bit / 8))
            return fail(error, QStringLiteral("cannot read the archive"));
        m_zlibLive = true;
        return true;
    }

    // Inflates the block at m_bit. again: the run since the restart is to be
    // inflated again, with a window (m_bit went back).
    bool inflateBlock(bool* last, bool* again, bool* overLimit, QString* error) {
        if (!m_zlibLive && !restart(false, error))
            return false;
        for (;;) {
            if (m_z.avail_in == 0) {
                const quint64 next = m_inputStart + quint64(m_input.size());
                if (next >= m_compressed)
                    return fail(error, QStringLiteral("the stream ends inside a block"));
                if (!loadInput(next))
                    return fail(error, QStringLiteral("cannot read the archive"));
            }
            // Inflated straight into the kept bytes. One byte more than the
            // size or the memory allows shows a stream that gives too much.
            const quint64 kept = quint64(m_inflated.size());
            const quint64 room =
                std::min({kOutputChunk, m_size - m_out + 1, m_limit - std::min(kept, m_limit) + 1});
            if (kept + room > quint64(m_inflated.capacity()))
                m_inflated.reserve(
                    qsizetype(std::min(std::max(kept + room, 2 * kept), m_limit + room)));
            m_inflated.resize(qsizetype(kept + room));
            m_z.next_out = reinterpret_cast<Bytef*>(m_inflated.data() + kept);
            m_z.avail_out = static_cast<uInt>(room);
            const int rc = inflate(&m_z, Z_BLOCK);
            const quint64 produced = room - m_z.avail_out;
            m_inflated.resize(qsizetype(kept + produced));
            if (produced > m_size - m_out)
                return fail(error, QStringLiteral("the stream gives more than the size"));
            if (kept + produced > m_limit) {
                *overLimit = true;
                return fail(error, QStringLiteral("its compressed blocks exceed the memory"));
            }
            if (produced > 0) {
                if (!m_segments.isEmpty() && !m_segments.last().inFile)
                    m_segments.last().length += produced;
                else
                    m_segments.append({m_out, produced, false, kept});
                m_out += produced;
            }
            if (rc == Z_DATA_ERROR && m_windowless) {
                m_bit = m_restart.bit;
                m_out = m_restart.out;
                m_segments.resize(m_restart.segments);
                if (!m_segments.isEmpty())
                    m_segments.last().length = m_restart.lastLength;
                m_inflated.truncate(m_restart.inflated);
                *again = true;
                *last = false;
                return restart(true, error);
            }
            if (rc != Z_OK && rc != Z_STREAM_END && !(rc == Z_BUF_ERROR && m_z.avail_in == 0))
                return fail(error, QStringLiteral("damaged deflate data"));
            // At a block's end zlib stops with Z_BLOCK, even after the last
            // block (then flagged 64).
            if (rc == Z_STREAM_END || (m_z.data_type & 128)) {
                *last = rc == Z_STREAM_END || (m_z.data_type & 64);
                break;
            }
        }
        const quint64 consumed =
            m_inputStart + quint64(reinterpret_cast<char*>(m_z.next_in) - m_input.data());
        m_bit = consumed * 8 - quint64(m_z.data_type & 7);
        return true;
    }

    int m_fd;
    quint64 m_base;
    quint64 m_compressed;
    quint64 m_size;
    quint64 m_limit;
    quint64 m_bit = 0; // where the next block begins, in bits from the data's start
    quint64 m_out = 0; // bytes of the member so far
    QList<Segment> m_segments;
    QByteArray m_inflated;
    QByteArray m_input;
    quint64 m_inputStart = 0;
    Inflater m_inflater;
    z_stream& m_z = m_inflater.stream();
    bool m_zlibLive = false;   // zlib stands at m_bit with the right window
    bool m_windowless = false; // restarted without the window it may need
    struct {
        quint64 bit = 0;
        quint64 out = 0;
        qsizetype segments = 0;
        quint64 lastLength = 0;
        qsizetype inflated = 0;
    } m_restart; // where the run since the last restart began
    quint64 m_chunk = kFirstInputChunk;
};

} // namespace

std::unique_ptr<QIODevice> OpenDeflatedView(int fd, quint64 dataOffset, quint64 compressedSize,
                                            quint64 size, qint64 memoryLimit, bool* overLimit,
                                            QString* error) {
    *overLimit = false;
    if (size > quint64(std::numeric_limits<qint64>::max())) {
        *error = QStringLiteral("the member is too large");
        return nullptr;
    }
    // Stored blocks save nothing: what deflate saved, the compressed blocks
    // inflate to at least. Beyond the limit, they are not inflated in vain.
    if (size > compressedSize && size - compressedSize > quint64(qMax<qint64>(memoryLimit, 0))) {
        *overLimit = true;
        *error = QStringLiteral("its compressed blocks exceed the memory");
        return nullptr;
    }
    Walker walker(fd, dataOffset, compressedSize, size, memoryLimit);
    if (!walker.walk(overLimit, error))
        return nullptr;
    auto device = std::make_unique<SegmentDevice>(fd, walker.takeSegments(), walker.takeInflated(),
                                                  qint64(size));
    device->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    return device;
}
