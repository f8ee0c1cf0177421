#include "core/format/BlockImageCodec.h"

#include "core/base/FileHelpers.h"
#include "core/base/UniqueFd.h"
#include "core/format/SparseImage.h"
#include "core/format/TransferList.h"
#include "core/format/ZipMemberReader.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <brotli/decode.h>
#include <brotli/encode.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kBuffer = 1024 * 1024;
// A transfer list longer than this is not one a build makes.
constexpr qint64 kMaxTransferListBytes = 8 * 1024 * 1024;

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool isZero(const char* data, qint64 size) {
    if (size <= 16) {
        for (qint64 i = 0; i < size; ++i)
            if (data[i] != 0)
                return false;
        return true;
    }
    static const char zeros[16] = {};
    return std::memcmp(data, zeros, 16) == 0 &&
           std::memcmp(data, data + 16, static_cast<size_t>(size - 16)) == 0;
}

bool writeAllAt(int fd, quint64 offset, const char* data, qint64 size, QString* error) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, static_cast<size_t>(std::min<qint64>(size, 1 << 30)),
                                   static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = QStringLiteral("cannot write the raw image: %1").arg(systemError());
            return false;
        }
        data += n;
        size -= n;
        offset += static_cast<quint64>(n);
    }
    return true;
}

bool readAllAt(int fd, quint64 offset, char* data, qint64 size, QString* error) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, static_cast<size_t>(size), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? QStringLiteral("cannot read the raw image: %1").arg(systemError())
                           : QStringLiteral("the raw image ends early");
            return false;
        }
        data += n;
        size -= n;
        offset += static_cast<quint64>(n);
    }
    return true;
}

// SHA-256 through OpenSSL, which uses the processor's SHA instructions: the
// check of an encoded member hashes every byte twice, beside brotli.
class Sha256 {
public:
    Sha256() : m_context(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(m_context); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void addData(QByteArrayView data) {
        EVP_DigestUpdate(m_context, data.data(), static_cast<size_t>(data.size()));
    }
    QByteArray result() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(m_context, digest, &size);
        return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(size));
    }

private:
    EVP_MD_CTX* m_context;
};

// The raw image being decoded: created exclusively, its blocks of zeros left
// as holes, removed unless kept.
class RawImageFile {
public:
    explicit RawImageFile(QString path) : m_path(std::move(path)) {}
    ~RawImageFile() {
        if (m_fd.isOpen() || m_created) {
            m_fd.close();
            if (!m_kept && m_created)
                ::unlink(QFile::encodeName(m_path).constData());
        }
    }

    bool create(quint64 size, QString* error) {
        m_fd = UniqueFd(::open(QFile::encodeName(m_path).constData(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!m_fd.isOpen()) {
            *error =
                QStringLiteral("cannot create the raw image %1: %2").arg(m_path, systemError());
            return false;
        }
        m_created = true;
        return resize(size, error);
    }
    bool resize(quint64 size, QString* error) {
        if (::ftruncate(m_fd.get(), static_cast<off_t>(size)) != 0) {
            *error = QStringLiteral("cannot size the raw image %1: %2").arg(m_path, systemError());
            return false;
        }
        return true;
    }

    // Writes the bytes at offset, leaving each aligned block of zeros unwritten
    // (the file is new: it reads as zeros already).
    bool write(quint64 offset, const char* data, qint64 size, QString* error) {
        constexpr qint64 kHole = 4096;
        while (size > 0) {
            // Up to the next hole-sized boundary: zero pieces are skipped.
            const qint64 piece =
                std::min<qint64>(size, kHole - static_cast<qint64>(offset % kHole));
            if (!isZero(data, piece)) {
                // Gather the following non-zero pieces into one write.
                qint64 run = piece;
                while (run < size) {
                    const qint64 next = std::min<qint64>(size - run, kHole);
                    if (isZero(data + run, next) || run >= kBuffer)
                        break;
                    run += next;
                }
                if (!writeAllAt(m_fd.get(), offset, data, run, error))
                    return false;
                offset += static_cast<quint64>(run);
                data += run;
                size -= run;
                continue;
            }
            offset += static_cast<quint64>(piece);
            data += piece;
            size -= piece;
        }
        return true;
    }

    // length bytes at offset become zeros (a hole).
    bool zero(quint64 offset, quint64 length, QString* error) {
        if (length == 0)
            return true;
        if (::fallocate(m_fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                        static_cast<off_t>(offset), static_cast<off_t>(length)) == 0)
            return true;
        static const QByteArray zeros(kBuffer, '\0');
        while (length > 0) {
            const qint64 n = static_cast<qint64>(std::min<quint64>(length, kBuffer));
            if (!writeAllAt(m_fd.get(), offset, zeros.constData(), n, error))
                return false;
            offset += static_cast<quint64>(n);
            length -= static_cast<quint64>(n);
        }
        return true;
    }

    bool fill(quint64 offset, quint64 length, quint32 value, QString* error) {
        if (value == 0)
            return zero(offset, length, error);
        QByteArray pattern(static_cast<qsizetype>(std::min<quint64>(length, kBuffer)), '\0');
        for (qsizetype i = 0; i < pattern.size(); ++i)
            pattern[i] = static_cast<char>((value >> (8 * (i % 4))) & 0xFF);
        while (length > 0) {
            const qint64 n = static_cast<qint64>(std::min<quint64>(length, kBuffer));
            if (!writeAllAt(m_fd.get(), offset, pattern.constData(), n, error))
                return false;
            offset += static_cast<quint64>(n);
            length -= static_cast<quint64>(n);
        }
        return true;
    }

    bool keep(QString* error) {
        if (::fsync(m_fd.get()) != 0 || !m_fd.close()) {
            *error = QStringLiteral("cannot write the raw image %1: %2").arg(m_path, systemError());
            return false;
        }
        m_kept = true;
        return true;
    }

private:
    QString m_path;
    UniqueFd m_fd;
    bool m_created = false;
    bool m_kept = false;
};

class ProgressTracker {
public:
    ProgressTracker(const BlockImageProgress& progress, quint64 total)
        : m_progress(progress), m_total(total) {}
    // False once the caller cancelled; error gets kBlockImageCancelled.
    bool add(quint64 bytes, QString* error) {
        m_done = std::min(m_total, m_done + bytes);
        if (m_progress && !m_progress(m_done, m_total)) {
            *error = QLatin1String(kBlockImageCancelled);
            return false;
        }
        return true;
    }

private:
    const BlockImageProgress& m_progress;
    quint64 m_total;
    quint64 m_done = 0;
};

// Brotli decompression as the compressed bytes arrive; the output goes to a
// sink in pieces of at most kBuffer bytes. The window stays within brotli's
// standard 16 MiB.
class BrotliStreamDecoder {
public:
    using Sink = std::function<bool(const char*, qint64)>;
    explicit BrotliStreamDecoder(Sink sink)
        : m_state(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)), m_sink(std::move(sink)),
          m_out(kBuffer, '\0') {}
    ~BrotliStreamDecoder() { BrotliDecoderDestroyInstance(m_state); }

    // False with the cause (empty when the sink refused).
    bool feed(const char* data, qint64 size, QString* error) {
        size_t availableIn = static_cast<size_t>(size);
        const uint8_t* nextIn = reinterpret_cast<const uint8_t*>(data);
        for (;;) {
            size_t availableOut = static_cast<size_t>(m_out.size());
            uint8_t* nextOut = reinterpret_cast<uint8_t*>(m_out.data());
            const BrotliDecoderResult result = BrotliDecoderDecompressStream(
                m_state, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
            const qint64 produced = m_out.size() - static_cast<qint64>(availableOut);
            if (produced > 0 && !m_sink(m_out.constData(), produced)) {
                error->clear();
                return false;
            }
            switch (result) {
            case BROTLI_DECODER_RESULT_ERROR:
                *error = QStringLiteral("the brotli stream is damaged: %1")
                             .arg(QLatin1String(
                                 BrotliDecoderErrorString(BrotliDecoderGetErrorCode(m_state))));
                return false;
            case BROTLI_DECODER_RESULT_SUCCESS:
                m_finished = true;
                if (availableIn != 0) {
                    *error = QStringLiteral("bytes follow the end of the brotli stream");
                    return false;
                }
                return true;
            case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
                return true;
            case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
                break;
            }
        }
    }
    bool finish(QString* error) {
        if (!m_finished) {
            *error = QStringLiteral("the brotli stream ends early");
            return false;
        }
        return true;
    }

private:
    BrotliDecoderState* m_state;
    Sink m_sink;
    QByteArray m_out;
    bool m_finished = false;
};

// The new data spread over the blocks of the transfer list's commands, in
// order: each new command takes the next bytes; zero and erase commands
// before it are applied when it is reached.
class NewDataWriter {
public:
    NewDataWriter(const TransferList& list, RawImageFile& image, ProgressTracker& progress)
        : m_list(list), m_image(image), m_progress(progress) {}

    bool write(const char* data, qint64 size, QString* error) {
        while (size > 0) {
            if (!reachNew(error))
                return false;
            if (m_command >= m_list.commands.size()) {
                *error = QStringLiteral("the new data is longer than its transfer list says "
                                        "(%1 blocks)")
                             .arg(m_list.newBlocks);
                return false;
            }
            const BlockRange& range = m_list.commands[m_command].ranges[m_range];
            const quint64 rangeBytes = (range.end - range.begin) * kTransferBlockSize;
            const qint64 take =
                static_cast<qint64>(std::min<quint64>(quint64(size), rangeBytes - m_inRange));
            if (!m_image.write(range.begin * kTransferBlockSize + m_inRange, data, take, error) ||
                !m_progress.add(static_cast<quint64>(take), error))
                return false;
            m_inRange += static_cast<quint64>(take);
            data += take;
            size -= take;
            if (m_inRange == rangeBytes) {
                m_inRange = 0;
                if (++m_range == m_list.commands[m_command].ranges.size()) {
                    m_range = 0;
                    ++m_command;
                }
            }
        }
        return true;
    }

    bool finish(QString* error) {
        if (!reachNew(error))
            return false;
        if (m_command < m_list.commands.size()) {
            *error = QStringLiteral("the new data ends before its transfer list's %1 blocks")
                         .arg(m_list.newBlocks);
            return false;
        }
        return true;
    }

private:
    // Applies the commands up to the next new one (or the end).
    bool reachNew(QString* error) {
        while (m_command < m_list.commands.size() &&
               m_list.commands[m_command].kind != TransferCommand::Kind::New) {
            for (const BlockRange& range : m_list.commands[m_command].ranges) {
                if (!m_image.zero(range.begin * kTransferBlockSize,
                                  (range.end - range.begin) * kTransferBlockSize, error))
                    return false;
            }
            ++m_command;
        }
        return true;
    }

    const TransferList& m_list;
    RawImageFile& m_image;
    ProgressTracker& m_progress;
    qsizetype m_command = 0, m_range = 0;
    quint64 m_inRange = 0;
};

bool readSmallMember(const PackageMemberSource& members, const QString& name, qint64 limit,
                     QByteArray* bytes, QString* error) {
    bytes->clear();
    if (members.size(name) > static_cast<quint64>(limit)) {
        *error = QStringLiteral("%1 is larger than %2 bytes").arg(name).arg(limit);
        return false;
    }
    return members.read(
        name,
        [&](const char* data, qint64 size) {
            if (bytes->size() + size > limit)
                return false;
            bytes->append(data, static_cast<qsizetype>(size));
            return true;
        },
        error);
}

bool decodeDat(const PackageMemberSource& members, const BlockImagePartition& partition,
               const QString& rawPath, BlockImageLayout* layout, QString* error,
               const BlockImageProgress& progress) {
    const QString listName = partition.transferListMember();
    if (!members.has(listName)) {
        *error =
            QStringLiteral("the package has %1 without %2").arg(partition.imageMember(), listName);
        return false;
    }
    if (members.has(partition.patchMember()) && members.size(partition.patchMember()) != 0) {
        *error = QStringLiteral("incremental package: %1 is not empty (it patches the partition "
                                "on the device)")
                     .arg(partition.patchMember());
        return false;
    }
    QByteArray text;
    QString cause;
    if (!readSmallMember(members, listName, kMaxTransferListBytes, &text, &cause)) {
        *error = QStringLiteral("cannot read %1: %2").arg(listName, cause);
        return false;
    }
    TransferList list;
    if (!ParseTransferList(text, &list, &cause)) {
        *error = IsIncrementalTransferCause(cause) ? cause
                                                   : QStringLiteral("%1: %2").arg(listName, cause);
        return false;
    }
    layout->partition = partition;
    layout->blockSize = kTransferBlockSize;
    layout->imageSize = list.imageBlocks * kTransferBlockSize;
    layout->transferListVersion = list.version;
    layout->freeBlocksErased =
        std::any_of(list.commands.begin(), list.commands.end(), [](const TransferCommand& c) {
            return c.kind == TransferCommand::Kind::Erase;
        });

    RawImageFile image(rawPath);
    if (!image.create(layout->imageSize, error))
        return false;
    ProgressTracker tracker(progress, list.newBlocks * kTransferBlockSize);
    NewDataWriter writer(list, image, tracker);
    QString writeError;
    const bool brotli = partition.form == BlockImageForm::NewDatBrotli;
    BrotliStreamDecoder decoder(
        [&](const char* data, qint64 size) { return writer.write(data, size, &writeError); });
    QString decodeError;
    const bool read = members.read(
        partition.imageMember(),
        [&](const char* data, qint64 size) {
            if (brotli)
                return decoder.feed(data, size, &decodeError);
            return writer.write(data, size, &writeError);
        },
        &cause);
    if (!writeError.isEmpty()) {
        *error = writeError == QLatin1String(kBlockImageCancelled)
                     ? writeError
                     : QStringLiteral("%1: %2").arg(partition.imageMember(), writeError);
        return false;
    }
    if (!decodeError.isEmpty() || (read && brotli && !decoder.finish(&decodeError))) {
        *error = QStringLiteral("%1: %2").arg(partition.imageMember(), decodeError);
        return false;
    }
    if (!read) {
        *error = QStringLiteral("cannot read %1: %2").arg(partition.imageMember(), cause);
        return false;
    }
    if (!writer.finish(&writeError)) {
        *error = QStringLiteral("%1: %2").arg(partition.imageMember(), writeError);
        return false;
    }
    return image.keep(error);
}

bool decodeImg(const PackageMemberSource& members, const BlockImagePartition& partition,
               const QString& rawPath, BlockImageLayout* layout, QString* error,
               const BlockImageProgress& progress) {
    const QString name = partition.imageMember();
    if (!members.has(name)) {
        *error = QStringLiteral("the package has no %1").arg(name);
        return false;
    }
    const quint64 memberSize = members.size(name);
    RawImageFile image(rawPath);
    if (!image.create(0, error))
        return false;
    ProgressTracker tracker(progress, memberSize);
    // The form is the member's own: the first bytes tell a sparse image.
    enum class Kind { Unknown, Raw, Sparse } kind = Kind::Unknown;
    QByteArray head;
    quint64 rawOffset = 0;
    QString sinkError;
    SparseImageReader sparse({[&](quint64 offset, const char* data, qint64 size) {
                                  return image.write(offset, data, size, &sinkError);
                              },
                              [&](quint64 offset, quint64 length, quint32 value) {
                                  return image.fill(offset, length, value, &sinkError);
                              }});
    const auto consume = [&](const char* data, qint64 size) {
        if (kind == Kind::Sparse) {
            if (!sparse.feed(data, size, &sinkError))
                return false;
            if (sparse.headerRead() && rawOffset == 0) {
                rawOffset = 1; // sized once
                if (!image.resize(sparse.imageSize(), &sinkError))
                    return false;
            }
            return true;
        }
        if (!image.write(rawOffset, data, size, &sinkError))
            return false;
        rawOffset += static_cast<quint64>(size);
        return true;
    };
    QString cause;
    const bool read = members.read(
        name,
        [&](const char* data, qint64 size) {
            if (!tracker.add(static_cast<quint64>(size), &sinkError))
                return false;
            if (kind == Kind::Unknown) {
                const qint64 take = std::min<qint64>(size, 4 - head.size());
                head.append(data, static_cast<qsizetype>(take));
                data += take;
                size -= take;
                if (head.size() < 4)
                    return true;
                kind = IsSparseImage(head.constData(), 4) ? Kind::Sparse : Kind::Raw;
                if (!consume(head.constData(), head.size()))
                    return false;
            }
            return size == 0 || consume(data, size);
        },
        &cause);
    if (!sinkError.isEmpty()) {
        *error = sinkError == QLatin1String(kBlockImageCancelled)
                     ? sinkError
                     : QStringLiteral("%1: %2").arg(name, sinkError);
        return false;
    }
    if (!read) {
        *error = QStringLiteral("cannot read %1: %2").arg(name, cause);
        return false;
    }
    if (kind == Kind::Unknown && !head.isEmpty()) {
        kind = Kind::Raw;
        if (!consume(head.constData(), head.size())) {
            *error = QStringLiteral("%1: %2").arg(name, sinkError);
            return false;
        }
    }
    layout->partition = partition;
    if (kind == Kind::Sparse) {
        if (!sparse.finish(&sinkError)) {
            *error = QStringLiteral("%1: %2").arg(name, sinkError);
            return false;
        }
        layout->partition.form = BlockImageForm::Sparse;
        layout->blockSize = sparse.blockSize();
        layout->imageSize = sparse.imageSize();
    } else {
        layout->partition.form = BlockImageForm::Raw;
        layout->blockSize = kTransferBlockSize;
        layout->imageSize = rawOffset;
        if (!image.resize(rawOffset, error))
            return false;
    }
    return image.keep(error);
}

// Brotli compression as the bytes arrive; the compressed bytes go to a sink.
class BrotliStreamEncoder {
public:
    using Sink = std::function<bool(const char*, qint64)>;
    BrotliStreamEncoder(int quality, quint64 sizeHint, Sink sink)
        : m_state(BrotliEncoderCreateInstance(nullptr, nullptr, nullptr)), m_sink(std::move(sink)) {
        BrotliEncoderSetParameter(m_state, BROTLI_PARAM_QUALITY, static_cast<uint32_t>(quality));
        BrotliEncoderSetParameter(m_state, BROTLI_PARAM_LGWIN, 24);
        BrotliEncoderSetParameter(m_state, BROTLI_PARAM_SIZE_HINT,
                                  static_cast<uint32_t>(std::min<quint64>(sizeHint, 1u << 30)));
    }
    ~BrotliStreamEncoder() { BrotliEncoderDestroyInstance(m_state); }

    bool feed(const char* data, qint64 size, QString* error) {
        return run(BROTLI_OPERATION_PROCESS, data, size, error);
    }
    bool finish(QString* error) { return run(BROTLI_OPERATION_FINISH, nullptr, 0, error); }

private:
    bool run(BrotliEncoderOperation operation, const char* data, qint64 size, QString* error) {
        size_t availableIn = static_cast<size_t>(size);
        const uint8_t* nextIn = reinterpret_cast<const uint8_t*>(data);
        for (;;) {
            size_t availableOut = 0;
            if (!BrotliEncoderCompressStream(m_state, operation, &availableIn, &nextIn,
                                             &availableOut, nullptr, nullptr)) {
                *error = QStringLiteral("brotli failed to compress");
                return false;
            }
            size_t outSize = 0;
            const uint8_t* out = BrotliEncoderTakeOutput(m_state, &outSize);
            if (outSize > 0 &&
                !m_sink(reinterpret_cast<const char*>(out), static_cast<qint64>(outSize))) {
                error->clear();
                return false;
            }
            const bool done = operation == BROTLI_OPERATION_FINISH
                                  ? BrotliEncoderIsFinished(m_state)
                                  : availableIn == 0 && !BrotliEncoderHasMoreOutput(m_state);
            if (done)
                return true;
        }
    }

    BrotliEncoderState* m_state;
    Sink m_sink;
};

enum class BlockKind { Free, Zero, Data };

// The image's blocks in ascending order as runs of one kind: free (outside
// the used ranges), zero (used, all zeros) and data (used, with the bytes).
// Holes of the file are zeros without being read. A data run's bytes are
// valid during the call only; consecutive runs may be of the same kind.
using BlockRunSink = std::function<bool(BlockKind, quint64 begin, quint64 end, const char* data)>;

bool scanBlocks(int fd, quint32 blockSize, quint64 blocks, const QList<BlockRange>& used,
                ProgressTracker& tracker, const BlockRunSink& sink, QString* error) {
    const qint64 perRead = std::max<qint64>(1, kBuffer / blockSize);
    QByteArray buffer(static_cast<qsizetype>(perRead * blockSize), '\0');
    quint64 at = 0;
    const auto zeroOrData = [&](quint64 begin, quint64 end) {
        while (begin < end) {
            const quint64 count = std::min<quint64>(end - begin, static_cast<quint64>(perRead));
            if (!readAllAt(fd, begin * blockSize, buffer.data(),
                           static_cast<qint64>(count * blockSize), error))
                return false;
            quint64 runStart = 0;
            for (quint64 i = 0; i <= count; ++i) {
                const bool zero =
                    i < count && isZero(buffer.constData() + i * blockSize, blockSize);
                const bool startZero = runStart < count &&
                                       isZero(buffer.constData() + runStart * blockSize, blockSize);
                if (i == count || zero != startZero) {
                    if (i > runStart &&
                        !sink(startZero ? BlockKind::Zero : BlockKind::Data, begin + runStart,
                              begin + i, buffer.constData() + runStart * blockSize))
                        return false;
                    runStart = i;
                }
            }
            if (!tracker.add(count * blockSize, error))
                return false;
            begin += count;
        }
        return true;
    };
    for (const BlockRange& range : used) {
        if (range.begin > at && !sink(BlockKind::Free, at, range.begin, nullptr))
            return false;
        quint64 pos = range.begin;
        while (pos < range.end) {
            // Skip what the file holds as a hole.
            const off_t data = ::lseek(fd, static_cast<off_t>(pos * blockSize), SEEK_DATA);
            quint64 dataBlock = range.end;
            if (data >= 0)
                dataBlock = std::min<quint64>(range.end, static_cast<quint64>(data) / blockSize);
            if (dataBlock > pos) {
                if (!sink(BlockKind::Zero, pos, dataBlock, nullptr) ||
                    !tracker.add((dataBlock - pos) * blockSize, error))
                    return false;
                pos = dataBlock;
                continue;
            }
            const off_t hole = ::lseek(fd, static_cast<off_t>(pos * blockSize), SEEK_HOLE);
            quint64 holeBlock = range.end;
            if (hole >= 0)
                holeBlock = std::min<quint64>(
                    range.end, (static_cast<quint64>(hole) + blockSize - 1) / blockSize);
            holeBlock = std::max(holeBlock, pos + 1);
            if (!zeroOrData(pos, holeBlock))
                return false;
            pos = holeBlock;
        }
        at = range.end;
    }
    if (at < blocks && !sink(BlockKind::Free, at, blocks, nullptr))
        return false;
    return true;
}

// Appends [begin, end) to ranges, joining it to the last when they touch.
void appendRange(QList<BlockRange>* ranges, quint64 begin, quint64 end) {
    if (!ranges->isEmpty() && ranges->last().end == begin)
        ranges->last().end = end;
    else
        ranges->append({begin, end});
}

// The used ranges in blocks of blockSize: the given ones rounded outwards,
// clipped to the image, sorted and joined; every block when none are given.
bool usedRangesOf(const BlockImageEncodeOptions& options, quint32 blockSize, quint64 blocks,
                  QList<BlockRange>* used, QString* error) {
    used->clear();
    if (!options.usedBlocks) {
        if (blocks > 0)
            used->append({0, blocks});
        return true;
    }
    if (options.usedBlockSize == 0) {
        *error = QStringLiteral("the used blocks' size is 0");
        return false;
    }
    QList<BlockRange> ranges;
    for (const BlockRange& r : *options.usedBlocks) {
        if (r.begin >= r.end)
            continue;
        const quint64 begin = r.begin * options.usedBlockSize / blockSize;
        const quint64 end =
            std::min<quint64>(blocks, (r.end * options.usedBlockSize + blockSize - 1) / blockSize);
        if (begin < end)
            ranges.append({begin, end});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const BlockRange& a, const BlockRange& b) { return a.begin < b.begin; });
    for (const BlockRange& r : ranges) {
        if (!used->isEmpty() && r.begin <= used->last().end)
            used->last().end = std::max(used->last().end, r.end);
        else
            used->append(r);
    }
    return true;
}

class MemberWriter {
public:
    MemberWriter(BlockImageMemberSink& sink, BlockImageEncoded* encoded)
        : m_sink(sink), m_encoded(encoded) {}
    bool begin(const QString& name, QString* error) {
        m_name = name;
        m_size = 0;
        return m_sink.begin(name, error);
    }
    bool write(const char* data, qint64 size, QString* error) {
        m_size += static_cast<quint64>(size);
        return m_sink.write(data, size, error);
    }
    bool end(QString* error) {
        if (!m_sink.end(error))
            return false;
        m_encoded->members.append({m_name, m_size});
        return true;
    }

private:
    BlockImageMemberSink& m_sink;
    BlockImageEncoded* m_encoded;
    QString m_name;
    quint64 m_size = 0;
};

bool encodeRaw(int fd, quint64 size, const BlockImageLayout& layout, MemberWriter& out,
               ProgressTracker& tracker, QString* error) {
    if (!out.begin(layout.partition.imageMember(), error))
        return false;
    QByteArray buffer(kBuffer, '\0');
    for (quint64 at = 0; at < size;) {
        const qint64 n = static_cast<qint64>(std::min<quint64>(size - at, kBuffer));
        if (!readAllAt(fd, at, buffer.data(), n, error) ||
            !out.write(buffer.constData(), n, error) ||
            !tracker.add(static_cast<quint64>(n), error))
            return false;
        at += static_cast<quint64>(n);
    }
    return out.end(error);
}

bool encodeDat(int fd, quint64 blocks, const QList<BlockRange>& used,
               const BlockImageLayout& layout, const BlockImageEncodeOptions& options,
               MemberWriter& out, BlockImageEncoded* encoded, ProgressTracker& tracker,
               QString* error) {
    const bool brotli = layout.partition.form == BlockImageForm::NewDatBrotli;
    if (!out.begin(layout.partition.imageMember(), error))
        return false;
    Sha256 written;
    Sha256 decoded;
    quint64 writtenBytes = 0, decodedBytes = 0;
    QString sinkError;
    // The compressed member is decoded again as it is written.
    BrotliStreamDecoder check([&](const char* data, qint64 size) {
        decoded.addData(QByteArrayView(data, size));
        decodedBytes += static_cast<quint64>(size);
        return true;
    });
    QString checkError;
    BrotliStreamEncoder encoder(options.brotliQuality, blocks * layout.blockSize,
                                [&](const char* data, qint64 size) {
                                    if (!check.feed(data, size, &checkError))
                                        return false;
                                    return out.write(data, size, &sinkError);
                                });
    QList<BlockRange> newRanges, zeroRanges;
    const bool scanned = scanBlocks(
        fd, layout.blockSize, blocks, used, tracker,
        [&](BlockKind kind, quint64 begin, quint64 end, const char* data) {
            if (kind == BlockKind::Zero)
                appendRange(&zeroRanges, begin, end);
            if (kind != BlockKind::Data)
                return true;
            appendRange(&newRanges, begin, end);
            const qint64 size = static_cast<qint64>((end - begin) * layout.blockSize);
            writtenBytes += static_cast<quint64>(size);
            if (!brotli)
                return out.write(data, size, &sinkError);
            written.addData(QByteArrayView(data, size));
            return encoder.feed(data, size, &sinkError);
        },
        error);
    if (scanned && brotli)
        encoder.finish(&sinkError);
    if (!checkError.isEmpty() || (scanned && brotli && !check.finish(&checkError))) {
        *error = QStringLiteral("the encoded %1 does not decode: %2")
                     .arg(layout.partition.imageMember(), checkError);
        return false;
    }
    if (!sinkError.isEmpty()) {
        *error = sinkError;
        return false;
    }
    if (!scanned)
        return false;
    if (brotli && (decodedBytes != writtenBytes || decoded.result() != written.result())) {
        *error = QStringLiteral("the encoded %1 does not decode to the image's blocks")
                     .arg(layout.partition.imageMember());
        return false;
    }
    if (!out.end(error))
        return false;

    const bool erase = layout.freeBlocksErased && !options.noErase;
    encoded->transferList =
        WriteTransferList(layout.transferListVersion, blocks, newRanges, zeroRanges, erase);
    TransferList reread;
    QString cause;
    if (!ParseTransferList(encoded->transferList, &reread, &cause) ||
        reread.newBlocks * layout.blockSize != writtenBytes || reread.imageBlocks != blocks) {
        *error = QStringLiteral("the written transfer list does not read back: %1").arg(cause);
        return false;
    }
    if (!out.begin(layout.partition.transferListMember(), error) ||
        !out.write(encoded->transferList.constData(), encoded->transferList.size(), error) ||
        !out.end(error))
        return false;
    return out.begin(layout.partition.patchMember(), error) && out.end(error);
}

struct SparseRun {
    BlockKind kind;
    quint64 begin, end;
};

bool encodeSparse(int fd, quint64 blocks, const QList<BlockRange>& used,
                  const BlockImageLayout& layout, MemberWriter& out, ProgressTracker& tracker,
                  QString* error) {
    const quint32 blockSize = layout.blockSize;
    // Raw chunks of at most 16 MiB, as the device's flasher takes them.
    const quint64 maxRawBlocks = std::max<quint64>(1, (16 * kBuffer) / blockSize);
    QList<SparseRun> runs;
    if (!scanBlocks(
            fd, blockSize, blocks, used, tracker,
            [&](BlockKind kind, quint64 begin, quint64 end, const char*) {
                if (!runs.isEmpty() && runs.last().kind == kind && runs.last().end == begin &&
                    (kind != BlockKind::Data || end - runs.last().begin <= maxRawBlocks))
                    runs.last().end = end;
                else
                    runs.append({kind, begin, end});
                return true;
            },
            error))
        return false;
    if (blocks > 0xFFFFFFFFu || static_cast<quint64>(runs.size()) > 0xFFFFFFFFu) {
        *error = QStringLiteral("the image has too many blocks for a sparse image");
        return false;
    }
    // Raw runs split at maxRawBlocks.
    QList<SparseRun> chunks;
    for (const SparseRun& run : runs) {
        for (quint64 b = run.begin; b < run.end;) {
            const quint64 e =
                run.kind == BlockKind::Data ? std::min(run.end, b + maxRawBlocks) : run.end;
            chunks.append({run.kind, b, e});
            b = e;
        }
    }
    Sha256 written;
    Sha256 decoded;
    QString sinkError;
    SparseImageReader check({[&](quint64, const char* data, qint64 size) {
                                 decoded.addData(QByteArrayView(data, size));
                                 return true;
                             },
                             {}});
    QString checkError;
    const auto putBytes = [&](const char* data, qint64 size) {
        if (!check.feed(data, size, &checkError))
            return false;
        return out.write(data, size, error);
    };
    if (!out.begin(layout.partition.imageMember(), error))
        return false;
    const QByteArray header =
        SparseHeader(blockSize, static_cast<quint32>(blocks), static_cast<quint32>(chunks.size()));
    bool ok = putBytes(header.constData(), header.size());
    QByteArray buffer(kBuffer, '\0');
    for (const SparseRun& chunk : chunks) {
        if (!ok)
            break;
        const quint32 count = static_cast<quint32>(chunk.end - chunk.begin);
        QByteArray head;
        if (chunk.kind == BlockKind::Free) {
            head = SparseChunkHeader(kSparseChunkDontCare, count, kSparseChunkHeaderSize);
            ok = putBytes(head.constData(), head.size());
        } else if (chunk.kind == BlockKind::Zero) {
            head = SparseChunkHeader(kSparseChunkFill, count, kSparseChunkHeaderSize + 4);
            head.append(4, '\0');
            ok = putBytes(head.constData(), head.size());
        } else {
            const quint64 bytes = quint64(count) * blockSize;
            head = SparseChunkHeader(kSparseChunkRaw, count,
                                     static_cast<quint32>(kSparseChunkHeaderSize + bytes));
            ok = putBytes(head.constData(), head.size());
            for (quint64 at = 0; ok && at < bytes;) {
                const qint64 n = static_cast<qint64>(std::min<quint64>(bytes - at, kBuffer));
                ok = readAllAt(fd, chunk.begin * blockSize + at, buffer.data(), n, error);
                if (ok) {
                    written.addData(QByteArrayView(buffer.constData(), n));
                    ok = putBytes(buffer.constData(), n) &&
                         tracker.add(static_cast<quint64>(n), error);
                }
                at += static_cast<quint64>(n);
            }
        }
    }
    if (!checkError.isEmpty() || (ok && !check.finish(&checkError))) {
        *error = QStringLiteral("the written sparse image does not read back: %1").arg(checkError);
        return false;
    }
    if (!ok)
        return false;
    if (decoded.result() != written.result()) {
        *error = QStringLiteral("the written sparse image does not decode to the image's blocks");
        return false;
    }
    return out.end(error);
}

class FolderSink : public BlockImageMemberSink {
public:
    explicit FolderSink(QString folder) : m_folder(std::move(folder)) {}
    ~FolderSink() override {
        if (!m_kept)
            for (const QString& path : m_written)
                ::unlink(QFile::encodeName(path).constData());
    }
    bool begin(const QString& member, QString* error) override {
        m_file = std::make_unique<FileHelpers::TemporaryFile>(m_folder + QLatin1Char('/') + member);
        return m_file->open(error);
    }
    bool write(const char* data, qint64 size, QString* error) override {
        return m_file->write(data, size, error);
    }
    bool end(QString* error) override {
        if (!m_file->commitScratch(error))
            return false;
        m_written.append(m_file->target());
        m_file.reset();
        return true;
    }
    void keep() { m_kept = true; }
    const QStringList& written() const { return m_written; }

private:
    QString m_folder;
    std::unique_ptr<FileHelpers::TemporaryFile> m_file;
    QStringList m_written;
    bool m_kept = false;
};

} // namespace

QString BlockImageFormWord(BlockImageForm form) {
    switch (form) {
    case BlockImageForm::Raw:
        return QStringLiteral("raw");
    case BlockImageForm::Sparse:
        return QStringLiteral("sparse");
    case BlockImageForm::NewDat:
        return QStringLiteral("dat");
    case BlockImageForm::NewDatBrotli:
        return QStringLiteral("dat.br");
    }
    return {};
}

QString BlockImagePartition::imageMember() const {
    switch (form) {
    case BlockImageForm::Raw:
    case BlockImageForm::Sparse:
        return name + QStringLiteral(".img");
    case BlockImageForm::NewDat:
        return name + QStringLiteral(".new.dat");
    case BlockImageForm::NewDatBrotli:
        return name + QStringLiteral(".new.dat.br");
    }
    return {};
}

QString BlockImagePartition::transferListMember() const {
    if (form == BlockImageForm::Raw || form == BlockImageForm::Sparse)
        return {};
    return name + QStringLiteral(".transfer.list");
}

QString BlockImagePartition::patchMember() const {
    if (form == BlockImageForm::Raw || form == BlockImageForm::Sparse)
        return {};
    return name + QStringLiteral(".patch.dat");
}

QStringList BlockImagePartition::memberNames() const {
    QStringList names{imageMember()};
    if (!transferListMember().isEmpty())
        names << transferListMember() << patchMember();
    return names;
}

int ZipPackageMembers::indexOf(const QString& name) const {
    const QByteArray raw = name.toUtf8();
    const QList<ZipCentralEntry>& entries = m_zip.directory().entries;
    for (qsizetype i = entries.size() - 1; i >= 0; --i)
        if (entries[i].rawName == raw)
            return static_cast<int>(i);
    return -1;
}

bool ZipPackageMembers::has(const QString& name) const {
    return indexOf(name) >= 0;
}

quint64 ZipPackageMembers::size(const QString& name) const {
    const int index = indexOf(name);
    return index < 0 ? 0 : m_zip.directory().entries[index].uncompressedSize;
}

bool ZipPackageMembers::read(const QString& name,
                             const std::function<bool(const char*, qint64)>& sink,
                             QString* error) const {
    const int index = indexOf(name);
    if (index < 0) {
        *error = QStringLiteral("the package has no %1").arg(name);
        return false;
    }
    return ReadZipMemberData(m_zip.fd(), m_zip.directory().entries[index], sink, error);
}

bool FolderPackageMembers::has(const QString& name) const {
    return QFileInfo(m_folder + QLatin1Char('/') + name).isFile();
}

quint64 FolderPackageMembers::size(const QString& name) const {
    const QFileInfo info(m_folder + QLatin1Char('/') + name);
    return info.isFile() ? static_cast<quint64>(info.size()) : 0;
}

bool FolderPackageMembers::read(const QString& name,
                                const std::function<bool(const char*, qint64)>& sink,
                                QString* error) const {
    const QString path = m_folder + QLatin1Char('/') + name;
    UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.isOpen()) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, systemError());
        return false;
    }
    QByteArray buffer(kBuffer, '\0');
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer.data(), static_cast<size_t>(buffer.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, systemError());
            return false;
        }
        if (n == 0)
            return true;
        if (!sink(buffer.constData(), n)) {
            *error = QStringLiteral("the reading of %1 was stopped").arg(path);
            return false;
        }
    }
}

bool DecodeBlockImage(const PackageMemberSource& members, const BlockImagePartition& partition,
                      const QString& rawPath, BlockImageLayout* layout, QString* error,
                      const BlockImageProgress& progress) {
    *layout = {};
    if (partition.form == BlockImageForm::NewDat || partition.form == BlockImageForm::NewDatBrotli)
        return decodeDat(members, partition, rawPath, layout, error, progress);
    return decodeImg(members, partition, rawPath, layout, error, progress);
}

bool EncodeBlockImage(const QString& rawPath, const BlockImageLayout& layout,
                      const BlockImageEncodeOptions& options, BlockImageMemberSink& sink,
                      BlockImageEncoded* encoded, QString* error,
                      const BlockImageProgress& progress) {
    *encoded = {};
    UniqueFd fd(::open(QFile::encodeName(rawPath).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0) {
        *error = QStringLiteral("cannot open the raw image %1: %2").arg(rawPath, systemError());
        return false;
    }
    const quint64 size = static_cast<quint64>(st.st_size);
    MemberWriter out(sink, encoded);
    const BlockImageForm form = layout.partition.form;
    if (form == BlockImageForm::Raw) {
        ProgressTracker tracker(progress, size);
        return encodeRaw(fd.get(), size, layout, out, tracker, error);
    }
    const quint32 blockSize =
        form == BlockImageForm::Sparse ? layout.blockSize : kTransferBlockSize;
    if (blockSize == 0 || size % blockSize != 0) {
        *error = QStringLiteral("the raw image's size (%1 bytes) is not a multiple of its block "
                                "size (%2)")
                     .arg(size)
                     .arg(blockSize);
        return false;
    }
    if (options.brotliQuality < 0 || options.brotliQuality > 11) {
        *error =
            QStringLiteral("the brotli quality %1 is not from 0 to 11").arg(options.brotliQuality);
        return false;
    }
    const quint64 blocks = size / blockSize;
    QList<BlockRange> used;
    if (!usedRangesOf(options, blockSize, blocks, &used, error))
        return false;
    BlockImageLayout effective = layout;
    effective.blockSize = blockSize;
    if (form == BlockImageForm::Sparse) {
        ProgressTracker tracker(progress, 2 * size);
        return encodeSparse(fd.get(), blocks, used, effective, out, tracker, error);
    }
    if (blocks > kMaxTransferBlocks) {
        *error = QStringLiteral("the image is larger than a transfer list describes");
        return false;
    }
    ProgressTracker tracker(progress, size);
    return encodeDat(fd.get(), blocks, used, effective, options, out, encoded, tracker, error);
}

bool EncodeBlockImageToFolder(const QString& rawPath, const BlockImageLayout& layout,
                              const BlockImageEncodeOptions& options, const QString& folder,
                              QStringList* files, BlockImageEncoded* encoded, QString* error,
                              const BlockImageProgress& progress) {
    FolderSink sink(folder);
    if (!EncodeBlockImage(rawPath, layout, options, sink, encoded, error, progress))
        return false;
    sink.keep();
    *files = sink.written();
    return true;
}

bool BlockRangesSha1(const QString& rawPath, quint32 blockSize, const QList<BlockRange>& ranges,
                     QByteArray* hexSha1, QString* error) {
    UniqueFd fd(::open(QFile::encodeName(rawPath).constData(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.isOpen() || ::fstat(fd.get(), &st) != 0) {
        *error = QStringLiteral("cannot open the raw image %1: %2").arg(rawPath, systemError());
        return false;
    }
    const quint64 size = static_cast<quint64>(st.st_size);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray buffer(kBuffer, '\0');
    for (const BlockRange& range : ranges) {
        if (range.begin > range.end || range.end > size / blockSize) {
            *error = QStringLiteral("the range %1-%2 lies outside the image")
                         .arg(range.begin)
                         .arg(range.end);
            return false;
        }
        const quint64 end = range.end * blockSize;
        for (quint64 at = range.begin * blockSize; at < end;) {
            const qint64 n = static_cast<qint64>(std::min<quint64>(end - at, kBuffer));
            if (!readAllAt(fd.get(), at, buffer.data(), n, error))
                return false;
            hash.addData(QByteArrayView(buffer.constData(), n));
            at += static_cast<quint64>(n);
        }
    }
    *hexSha1 = hash.result().toHex();
    return true;
}
