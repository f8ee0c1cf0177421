#include "core/crypto/ApkMemberPool.h"

#include "core/format/Deflate.h"

#include <cstring>
#include <system_error>

namespace signer {

GeneratedMember DeflateGenerated(const QByteArray& data) {
    GeneratedMember m;
    Deflater deflater(kDeflateLevel);
    const auto append = [&](const char* p, qint64 n) {
        m.bytes.append(p, n);
        return true;
    };
    m.size = static_cast<quint64>(data.size());
    m.ok = deflater.feed(data.constData(), data.size(), false, append, &m.cause) &&
           deflater.feed(nullptr, 0, true, append, &m.cause);
    return m;
}

MemberDigest ReadMember(const RandomAccessSource& in, const ZipCentralEntry& source, Digest v1,
                        const ZipDataSink& copy) {
    MemberDigest m;
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), Md(v1), nullptr) != 1) {
        m.cause = QStringLiteral("the digest cannot start");
        return m;
    }
    QString cause;
    const bool read = ReadZipMemberData(
        in, source,
        [&](const char* data, qint64 n) {
            EVP_DigestUpdate(md.get(), data, static_cast<size_t>(n));
            return true;
        },
        &cause,
        [&](const char* data, qint64 n) {
            m.copyStopped = !copy(data, n);
            return !m.copyStopped;
        });
    if (!read) {
        m.cause = cause;
        return m;
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(md.get(), out, &n);
    m.digest = QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
    m.ok = true;
    return m;
}

MemberPool::MemberPool(const RandomAccessSource& in, const QList<const ZipCentralEntry*>& members,
                       Digest v1, MemoryBudget& budget)
    : m_in(in), m_v1(v1), m_budget(budget) {
    for (const ZipCentralEntry* e : members) {
        Job job;
        job.source = e;
        m_jobs.push_back(std::move(job));
    }
    const qsizetype workers =
        std::min<qsizetype>(static_cast<qsizetype>(m_jobs.size()), WorkerThreadCount());
    try {
        for (qsizetype i = 0; i < workers; ++i)
            m_workers.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
        // Fewer workers; with none the writer reads every member itself.
    }
}

MemberPool::~MemberPool() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    for (std::thread& t : m_workers)
        t.join();
    for (Job& job : m_jobs)
        for (const Piece& piece : job.pieces)
            if (piece.budgeted)
                m_budget.giveBack(piece.bytes.size());
}

namespace {

// The read's whole pieces: their buffers are used again rather than given
// back, which would cost a fresh mapping and its page faults each time.
constexpr qsizetype kWholePiece = 1 << 20;
constexpr qsizetype kSpareBuffers = 4;

} // namespace

bool MemberPool::nextPiece(qsizetype index, QByteArray* piece, MemberDigest* result) {
    std::unique_lock lock(m_mutex);
    if (piece->capacity() >= kWholePiece && m_spare.size() < kSpareBuffers)
        m_spare.append(std::move(*piece));
    piece->clear();
    if (m_head != index) {
        m_head = index;
        m_changed.notify_all();
    }
    Job& job = m_jobs[static_cast<size_t>(index)];
    m_changed.wait(lock, [&] { return !job.pieces.empty() || job.finished; });
    if (job.pieces.empty()) {
        *result = std::move(job.result);
        return false;
    }
    Piece next = job.pieces.takeFirst();
    m_ahead -= next.bytes.size();
    if (next.budgeted)
        m_budget.giveBack(next.bytes.size());
    lock.unlock();
    m_changed.notify_all();
    *piece = std::move(next.bytes);
    return true;
}

bool MemberPool::handOver(qsizetype index, const char* data, qint64 size) {
    Piece piece;
    {
        std::unique_lock lock(m_mutex);
        const Job& job = m_jobs[static_cast<size_t>(index)];
        m_changed.wait(lock, [&] {
            if (m_stop)
                return true;
            if (m_ahead + size <= kAheadBytes && m_budget.take(size)) {
                piece.budgeted = true;
                return true;
            }
            return index == m_head && job.pieces.empty();
        });
        if (m_stop) {
            if (piece.budgeted)
                m_budget.giveBack(size);
            return false;
        }
        m_ahead += size;
        if (size > kWholePiece / 2 && !m_spare.isEmpty())
            piece.bytes = m_spare.takeLast();
    }
    piece.bytes.resize(size);
    std::memcpy(piece.bytes.data(), data, static_cast<size_t>(size));
    {
        std::lock_guard lock(m_mutex);
        m_jobs[static_cast<size_t>(index)].pieces.push_back(std::move(piece));
    }
    m_changed.notify_all();
    return true;
}

void MemberPool::work() {
    std::unique_lock lock(m_mutex);
    while (!m_stop && m_next < static_cast<qsizetype>(m_jobs.size())) {
        const qsizetype index = m_next++;
        const ZipCentralEntry& source = *m_jobs[static_cast<size_t>(index)].source;
        lock.unlock();
        MemberDigest result =
            ReadMember(m_in, source, m_v1, [this, index](const char* data, qint64 size) {
                return handOver(index, data, size);
            });
        lock.lock();
        Job& job = m_jobs[static_cast<size_t>(index)];
        job.result = std::move(result);
        job.finished = true;
        m_changed.notify_all();
    }
}

} // namespace signer
