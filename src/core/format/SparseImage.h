#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// Android's sparse image: a 28-byte header (magic 0xED26FF3A, version 1.x,
// header sizes, block size, total blocks, chunk count), then chunks of whole
// blocks, each with a 12-byte header: raw (the blocks' bytes follow), fill (a
// 32-bit value repeated), don't care (nothing written), crc32 (the CRC-32 of
// the image so far, don't-care blocks counted as zeros).

inline constexpr quint32 kSparseMagic = 0xED26FF3A;
inline constexpr quint16 kSparseChunkRaw = 0xCAC1;
inline constexpr quint16 kSparseChunkFill = 0xCAC2;
inline constexpr quint16 kSparseChunkDontCare = 0xCAC3;
inline constexpr quint16 kSparseChunkCrc32 = 0xCAC4;
inline constexpr int kSparseHeaderSize = 28;
inline constexpr int kSparseChunkHeaderSize = 12;
// The expanded image stays within 1 TiB.
inline constexpr quint64 kMaxSparseImageBytes = quint64(1) << 40;

// Whether bytes begin with the sparse magic.
bool IsSparseImage(const char* data, qint64 size);

// Reads a sparse image as its bytes arrive, in order, with no more memory than
// a header: raw data is handed on as it comes. Every header is checked before
// its chunk is used: the magic, major version 1, header sizes (at least the
// standard ones, at most 4 KiB), a block size that is a multiple of 4 from
// 512 to 1 MiB, an expanded size within kMaxSparseImageBytes, each chunk's
// total size against its type and blocks, the blocks and chunks against the
// header's counts, a crc32 chunk against the bytes before it; nothing may
// follow the last chunk.
class SparseImageReader {
public:
    struct Output {
        // Bytes of the expanded image at offset.
        std::function<bool(quint64 offset, const char* data, qint64 size)> data;
        // length bytes at offset, the 32-bit little-endian value repeated
        // (a value of 0 for zeros).
        std::function<bool(quint64 offset, quint64 length, quint32 value)> fill;
    };
    explicit SparseImageReader(Output output) : m_output(std::move(output)) {}

    // False with the cause at the first fault (or when the output answers
    // false: its cause is the caller's, *error is left empty).
    bool feed(const char* data, qint64 size, QString* error);
    // After the last bytes: false when the image ended early.
    bool finish(QString* error);

    bool headerRead() const { return m_headerRead; }
    quint32 blockSize() const { return m_blockSize; }
    quint32 totalBlocks() const { return m_totalBlocks; }
    quint64 imageSize() const { return quint64(m_blockSize) * m_totalBlocks; }

private:
    bool parseHeader(QString* error);
    bool parseChunkHeader(QString* error);
    bool endChunk(QString* error);
    bool fail(QString* error, const QString& what);

    Output m_output;
    QByteArray m_pending; // a header being gathered
    bool m_headerRead = false;
    quint32 m_headerSize = 0, m_chunkHeaderSize = 0;
    quint32 m_blockSize = 0, m_totalBlocks = 0, m_totalChunks = 0;
    quint32 m_chunksRead = 0;
    quint64 m_blocksRead = 0; // blocks of the chunks begun
    quint64 m_offset = 0;     // where the current chunk's data goes
    quint16 m_chunkType = 0;
    quint64 m_dataLeft = 0; // the current chunk's bytes still to come
    quint32 m_crc = 0;      // CRC-32 of the expanded image so far
    quint64 m_fed = 0;      // bytes fed, for messages
};

// Writes a sparse image: the header, then chunks as they are added, in order.
// The caller knows the counts beforehand (a first pass over its image).
QByteArray SparseHeader(quint32 blockSize, quint32 totalBlocks, quint32 totalChunks);
QByteArray SparseChunkHeader(quint16 type, quint32 blocks, quint32 totalSize);
