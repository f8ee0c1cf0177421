#include "core/format/SparseImage.h"

#include <zlib.h>

#include <algorithm>

namespace {

constexpr quint32 kMaxHeaderSize = 4096;

quint16 le16(const char* p) {
    return static_cast<quint16>(static_cast<quint8>(p[0]) | static_cast<quint8>(p[1]) << 8);
}
quint32 le32(const char* p) {
    return static_cast<quint32>(static_cast<quint8>(p[0])) |
           static_cast<quint32>(static_cast<quint8>(p[1])) << 8 |
           static_cast<quint32>(static_cast<quint8>(p[2])) << 16 |
           static_cast<quint32>(static_cast<quint8>(p[3])) << 24;
}
void putLe16(QByteArray* out, quint16 v) {
    out->append(static_cast<char>(v & 0xFF));
    out->append(static_cast<char>(v >> 8));
}
void putLe32(QByteArray* out, quint32 v) {
    for (int i = 0; i < 4; ++i)
        out->append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

quint32 crcBytes(quint32 crc, const char* data, qint64 size) {
    while (size > 0) {
        const uInt piece = static_cast<uInt>(std::min<qint64>(size, 1 << 30));
        crc = static_cast<quint32>(crc32(crc, reinterpret_cast<const Bytef*>(data), piece));
        data += piece;
        size -= piece;
    }
    return crc;
}

// The CRC-32 after appending count copies of a 4-byte pattern, by doubling.
quint32 crcRepeated(quint32 crc, quint32 value, quint64 count) {
    if (count == 0)
        return crc;
    char pattern[4];
    for (int i = 0; i < 4; ++i)
        pattern[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    quint32 power = crcBytes(0, pattern, 4); // CRC of 2^k copies
    quint64 powerBytes = 4;
    quint32 sum = 0;
    quint64 sumBytes = 0;
    for (quint64 n = count; n != 0; n >>= 1) {
        if (n & 1) {
            sum = sumBytes == 0 ? power
                                : static_cast<quint32>(
                                      crc32_combine(sum, power, static_cast<z_off_t>(powerBytes)));
            sumBytes += powerBytes;
        }
        if (n > 1) {
            power =
                static_cast<quint32>(crc32_combine(power, power, static_cast<z_off_t>(powerBytes)));
            powerBytes *= 2;
        }
    }
    return static_cast<quint32>(crc32_combine(crc, sum, static_cast<z_off_t>(sumBytes)));
}

} // namespace

bool IsSparseImage(const char* data, qint64 size) {
    return size >= 4 && le32(data) == kSparseMagic;
}

bool SparseImageReader::fail(QString* error, const QString& what) {
    *error = QStringLiteral("the sparse image is damaged: %1").arg(what);
    return false;
}

bool SparseImageReader::parseHeader(QString* error) {
    const char* p = m_pending.constData();
    if (le32(p) != kSparseMagic)
        return fail(error, QStringLiteral("it does not begin with the sparse magic"));
    if (le16(p + 4) != 1)
        return fail(error, QStringLiteral("major version %1 is not 1").arg(le16(p + 4)));
    m_headerSize = le16(p + 8);
    m_chunkHeaderSize = le16(p + 10);
    m_blockSize = le32(p + 12);
    m_totalBlocks = le32(p + 16);
    m_totalChunks = le32(p + 20);
    if (m_headerSize < kSparseHeaderSize || m_headerSize > kMaxHeaderSize ||
        m_chunkHeaderSize < kSparseChunkHeaderSize || m_chunkHeaderSize > kMaxHeaderSize)
        return fail(error, QStringLiteral("header sizes %1 and %2 are not allowed")
                               .arg(m_headerSize)
                               .arg(m_chunkHeaderSize));
    if (m_blockSize < 512 || m_blockSize > (1u << 20) || m_blockSize % 4 != 0)
        return fail(error, QStringLiteral("block size %1 is not allowed").arg(m_blockSize));
    if (quint64(m_blockSize) * m_totalBlocks > kMaxSparseImageBytes)
        return fail(error, QStringLiteral("it expands beyond 1 TiB"));
    return true;
}

bool SparseImageReader::parseChunkHeader(QString* error) {
    const char* p = m_pending.constData();
    m_chunkType = le16(p);
    const quint32 blocks = le32(p + 4);
    const quint32 totalSize = le32(p + 8);
    const QString where = QStringLiteral("chunk %1: ").arg(m_chunksRead);
    if (m_chunksRead >= m_totalChunks)
        return fail(error,
                    where + QStringLiteral("more chunks than the header's %1").arg(m_totalChunks));
    ++m_chunksRead;
    quint64 dataSize = 0;
    switch (m_chunkType) {
    case kSparseChunkRaw:
        dataSize = quint64(blocks) * m_blockSize;
        break;
    case kSparseChunkFill:
    case kSparseChunkCrc32:
        dataSize = 4;
        break;
    case kSparseChunkDontCare:
        break;
    default:
        return fail(error, where + QStringLiteral("unknown type 0x%1").arg(m_chunkType, 4, 16));
    }
    if (m_chunkType == kSparseChunkCrc32 && blocks != 0)
        return fail(error, where + QStringLiteral("a crc32 chunk covers blocks"));
    if (quint64(totalSize) != m_chunkHeaderSize + dataSize)
        return fail(error, where + QStringLiteral("total size %1 does not fit its type and %2 "
                                                  "blocks")
                                       .arg(totalSize)
                                       .arg(blocks));
    if (m_blocksRead + blocks > m_totalBlocks)
        return fail(error,
                    where + QStringLiteral("blocks beyond the header's %1").arg(m_totalBlocks));
    m_offset = m_blocksRead * m_blockSize;
    m_blocksRead += blocks;
    m_dataLeft = dataSize;
    if (m_chunkType == kSparseChunkDontCare) {
        const quint64 length = quint64(blocks) * m_blockSize;
        m_crc = crcRepeated(m_crc, 0, length / 4);
    }
    return true;
}

bool SparseImageReader::feed(const char* data, qint64 size, QString* error) {
    error->clear();
    while (size > 0) {
        if (!m_headerRead) {
            // The standard header first, then any extra bytes it declares.
            const qsizetype need = m_pending.size() < kSparseHeaderSize
                                       ? kSparseHeaderSize
                                       : static_cast<qsizetype>(m_headerSize);
            const qint64 take = std::min<qint64>(size, need - m_pending.size());
            m_pending.append(data, static_cast<qsizetype>(take));
            data += take;
            size -= take;
            m_fed += static_cast<quint64>(take);
            if (m_pending.size() == kSparseHeaderSize && !parseHeader(error))
                return false;
            if (m_pending.size() >= kSparseHeaderSize && m_pending.size() == m_headerSize) {
                m_headerRead = true;
                m_pending.clear();
            }
            continue;
        }
        if (m_dataLeft == 0 && m_chunkType == 0) {
            const qint64 take =
                std::min<qint64>(size, static_cast<qint64>(m_chunkHeaderSize) - m_pending.size());
            m_pending.append(data, static_cast<qsizetype>(take));
            data += take;
            size -= take;
            m_fed += static_cast<quint64>(take);
            if (m_pending.size() < static_cast<qsizetype>(m_chunkHeaderSize))
                continue;
            if (!parseChunkHeader(error))
                return false;
            m_pending.clear();
            if (m_dataLeft == 0 && !endChunk(error))
                return false;
            continue;
        }
        if (m_chunkType == kSparseChunkRaw) {
            const qint64 take = static_cast<qint64>(std::min<quint64>(quint64(size), m_dataLeft));
            if (m_output.data && !m_output.data(m_offset, data, take))
                return false;
            m_crc = crcBytes(m_crc, data, take);
            m_offset += static_cast<quint64>(take);
            m_dataLeft -= static_cast<quint64>(take);
            data += take;
            size -= take;
            m_fed += static_cast<quint64>(take);
        } else {
            const qint64 take = std::min<qint64>(size, static_cast<qint64>(m_dataLeft));
            m_pending.append(data, static_cast<qsizetype>(take));
            m_dataLeft -= static_cast<quint64>(take);
            data += take;
            size -= take;
            m_fed += static_cast<quint64>(take);
        }
        if (m_dataLeft == 0 && !endChunk(error))
            return false;
    }
    return true;
}

bool SparseImageReader::endChunk(QString* error) {
    const quint16 type = m_chunkType;
    m_chunkType = 0;
    if (type == kSparseChunkFill) {
        const quint32 value = le32(m_pending.constData());
        m_pending.clear();
        const quint64 length = (m_blocksRead * m_blockSize) - m_offset;
        m_crc = crcRepeated(m_crc, value, length / 4);
        if (m_output.fill && !m_output.fill(m_offset, length, value))
            return false;
    } else if (type == kSparseChunkCrc32) {
        const quint32 expected = le32(m_pending.constData());
        m_pending.clear();
        if (expected != m_crc)
            return fail(error, QStringLiteral("chunk %1: CRC-32 %2 where the image's is %3")
                                   .arg(m_chunksRead - 1)
                                   .arg(expected, 8, 16, QLatin1Char('0'))
                                   .arg(m_crc, 8, 16, QLatin1Char('0')));
    }
    return true;
}

bool SparseImageReader::finish(QString* error) {
    if (!m_headerRead)
        return fail(error, QStringLiteral("it ends inside its header"));
    if (m_chunkType != 0 || !m_pending.isEmpty())
        return fail(error, QStringLiteral("it ends inside a chunk"));
    if (m_chunksRead != m_totalChunks || m_blocksRead != m_totalBlocks)
        return fail(error, QStringLiteral("it holds %1 chunks and %2 blocks, its header says %3 "
                                          "and %4")
                               .arg(m_chunksRead)
                               .arg(m_blocksRead)
                               .arg(m_totalChunks)
                               .arg(m_totalBlocks));
    return true;
}

QByteArray SparseHeader(quint32 blockSize, quint32 totalBlocks, quint32 totalChunks) {
    QByteArray out;
    putLe32(&out, kSparseMagic);
    putLe16(&out, 1);
    putLe16(&out, 0);
    putLe16(&out, kSparseHeaderSize);
    putLe16(&out, kSparseChunkHeaderSize);
    putLe32(&out, blockSize);
    putLe32(&out, totalBlocks);
    putLe32(&out, totalChunks);
    putLe32(&out, 0); // no image checksum
    return out;
}

QByteArray SparseChunkHeader(quint16 type, quint32 blocks, quint32 totalSize) {
    QByteArray out;
    putLe16(&out, type);
    putLe16(&out, 0);
    putLe32(&out, blocks);
    putLe32(&out, totalSize);
    return out;
}
