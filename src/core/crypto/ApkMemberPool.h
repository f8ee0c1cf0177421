#pragma once

#include "core/base/WorkerThreads.h"
#include "core/crypto/SignerDigest.h"
#include "core/format/Deflate.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <zlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// The members of the APK being signed, read and deflated again on worker
// threads ahead of the writer.

namespace signer {

// Members are deflated at the best compression, as the files a signer makes
// usually are.
constexpr int kDeflateLevel = Z_BEST_COMPRESSION;

// A member prepared ahead of its turn: its bytes as they are written (a
// compressed one deflated again), the digest and size of its uncompressed
// bytes, or the cause when it could not be read.
struct PreparedMember {
    QByteArray bytes;
    QByteArray digest;
    quint64 size = 0;
    QString cause;
    bool ok = false;
};

// The most bytes a member's prepared form can take.
inline quint64 PreparedBytesBound(const ZipCentralEntry& source) {
    return source.method == 0 ? source.uncompressedSize
                              : compressBound(static_cast<uLong>(source.uncompressedSize));
}

// Reads a member of the input into memory (with its v1 digest), a
// compressed one deflated again whole. A stop answering true ends the work
// early.
inline PreparedMember PrepareMember(int in, const ZipCentralEntry& source, Digest v1,
                                    Deflater* deflater, const std::atomic<bool>& stop) {
    PreparedMember m;
    const bool stored = source.method == 0;
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), Md(v1), nullptr) != 1 ||
        (!stored && !deflater->reset())) {
        m.cause = QStringLiteral("the compressor cannot start");
        return m;
    }
    m.bytes.reserve(static_cast<qsizetype>(PreparedBytesBound(source)));
    const auto append = [&](const char* data, qint64 size) {
        m.bytes.append(data, size);
        return true;
    };
    bool failed = false;
    QString cause;
    const bool read = ReadZipMemberData(
        in, source,
        [&](const char* data, qint64 n) {
            EVP_DigestUpdate(md.get(), data, static_cast<size_t>(n));
            m.size += static_cast<quint64>(n);
            failed =
                stop.load(std::memory_order_relaxed) ||
                (stored ? !append(data, n) : !deflater->feed(data, n, false, append, &m.cause));
            return !failed;
        },
        &cause);
    if (!read) {
        if (!failed)
            m.cause = cause;
        return m;
    }
    if (!stored && !deflater->feed(nullptr, 0, true, append, &m.cause))
        return m;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(md.get(), out, &n);
    m.digest = QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
    m.ok = true;
    return m;
}

// Reads the members of the input (and deflates the compressed ones again)
// on worker threads, in the order they are written, a bounded amount ahead
// of the writer: the members prepared and not yet taken hold at most
// kAheadBytes (at least one member always goes ahead). A member too large
// for that is left to the writer, which streams it (pooled() says which).
// Each member is deflated whole by one deflater, so its bytes are those of a
// single deflater.
class MemberPool {
public:
    static constexpr quint64 kAheadBytes = 24 << 20;
    static constexpr quint64 kMemberBytes = 8 << 20;

    MemberPool(int in, const QList<const ZipCentralEntry*>& members, Digest v1)
        : m_in(in), m_v1(v1) {
        qsizetype pooledCount = 0;
        for (const ZipCentralEntry* e : members) {
            Job job;
            job.source = e;
            job.cost = PreparedBytesBound(*e);
            job.pooled = job.cost <= kMemberBytes;
            job.state = job.pooled ? State::Waiting : State::Writer;
            pooledCount += job.pooled ? 1 : 0;
            m_jobs.push_back(std::move(job));
        }
        const qsizetype workers = std::min<qsizetype>(pooledCount, WorkerThreadCount());
        try {
            for (qsizetype i = 0; i < workers; ++i)
                m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Fewer workers; with none the writer streams every member.
            if (m_workers.empty())
                for (Job& job : m_jobs) {
                    job.pooled = false;
                    job.state = State::Writer;
                }
        }
    }
    ~MemberPool() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_stopNow = true;
        m_changed.notify_all();
        for (std::thread& t : m_workers)
            t.join();
    }
    MemberPool(const MemberPool&) = delete;
    MemberPool& operator=(const MemberPool&) = delete;

    bool pooled(qsizetype index) const { return m_jobs[static_cast<size_t>(index)].pooled; }
    // Waits for the pooled member at index and hands it over.
    PreparedMember take(qsizetype index) {
        std::unique_lock lock(m_mutex);
        Job& job = m_jobs[static_cast<size_t>(index)];
        m_changed.wait(lock, [&] { return job.state == State::Done; });
        PreparedMember m = std::move(job.result);
        job.result = {};
        job.state = State::Taken;
        m_ahead -= job.cost;
        lock.unlock();
        m_changed.notify_all();
        return m;
    }

private:
    enum class State { Waiting, Running, Done, Taken, Writer };
    struct Job {
        const ZipCentralEntry* source = nullptr;
        quint64 cost = 0;
        bool pooled = true; // set before the workers start, then never changed
        State state = State::Waiting;
        PreparedMember result;
    };

    void work() {
        Deflater deflater(kDeflateLevel);
        std::unique_lock lock(m_mutex);
        for (;;) {
            qsizetype index = -1;
            m_changed.wait(lock, [&] {
                if (m_stop)
                    return true;
                while (m_next < static_cast<qsizetype>(m_jobs.size()) &&
                       m_jobs[static_cast<size_t>(m_next)].state != State::Waiting)
                    ++m_next;
                if (m_next == static_cast<qsizetype>(m_jobs.size()))
                    return true;
                const quint64 cost = m_jobs[static_cast<size_t>(m_next)].cost;
                if (m_ahead != 0 && m_ahead + cost > kAheadBytes)
                    return false;
                index = m_next;
                return true;
            });
            if (index < 0)
                return;
            Job& job = m_jobs[static_cast<size_t>(index)];
            job.state = State::Running;
            m_ahead += job.cost;
            lock.unlock();
            PreparedMember m = PrepareMember(m_in, *job.source, m_v1, &deflater, m_stopNow);
            lock.lock();
            job.result = std::move(m);
            job.state = State::Done;
            m_changed.notify_all();
        }
    }

    int m_in;
    Digest m_v1;
    std::vector<Job> m_jobs;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qsizetype m_next = 0;
    quint64 m_ahead = 0;
    bool m_stop = false;
    std::atomic<bool> m_stopNow{false};
};

// Generated bytes deflated into memory as a member's data, as a member's
// bytes are deflated.
PreparedMember DeflateGenerated(const QByteArray& data);

} // namespace signer
