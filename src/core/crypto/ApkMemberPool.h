#pragma once

#include "core/base/MemoryBudget.h"
#include "core/base/RandomAccessSource.h"
#include "core/base/WorkerThreads.h"
#include "core/crypto/SignerDigest.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <zlib.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// The members of the APK being signed, read on worker threads ahead of the
// writer: each member's data as it lies in the input, to be copied as it is,
// and its contents inflated once for the v1 digest.

namespace signer {

// The members the signer makes (the v1 signature's files) are deflated at
// the best compression, as signapk deflates them.
constexpr int kDeflateLevel = Z_BEST_COMPRESSION;

// A member made by the signer, deflated into memory: its bytes as written,
// the size of its contents, or the cause when it could not be deflated.
struct GeneratedMember {
    QByteArray bytes;
    quint64 size = 0;
    QString cause;
    bool ok = false;
};
GeneratedMember DeflateGenerated(const QByteArray& data);

// What reading a member of the input gave: the v1 digest of its contents,
// or why it cannot be signed. copyStopped: the reading was stopped by the
// copy (the copy's cause is its own).
struct MemberDigest {
    QByteArray digest;
    QString cause;
    bool ok = false;
    bool copyStopped = false;
};

// Reads a member of the input once: its data as it lies there goes to copy,
// piece by piece; its contents, inflated, go to the v1 digest and are checked
// against the member's CRC-32 and size as the device checks them.
MemberDigest ReadMember(const RandomAccessSource& in, const ZipCentralEntry& source, Digest v1,
                        const ZipDataSink& copy);

// Reads the members of the input (ReadMember) on worker threads, in the
// order they are written, and hands each member's pieces to the writer in
// order. What is read and not yet written holds at most kAheadBytes, taken
// from the memory budget as it is held; the member the writer is at always
// has one piece on its way, so the writing never waits on a full budget.
class MemberPool {
public:
    static constexpr qint64 kAheadBytes = 16 << 20;

    MemberPool(const RandomAccessSource& in, const QList<const ZipCentralEntry*>& members,
               Digest v1, MemoryBudget& budget = ProcessMemoryBudget());
    ~MemberPool();
    MemberPool(const MemberPool&) = delete;
    MemberPool& operator=(const MemberPool&) = delete;

    // False when no worker could start: the writer then reads each member
    // itself (ReadMember).
    bool pooled() const { return !m_workers.empty(); }
    // The next piece of the member at index (taken in order): true with its
    // bytes; false once the member has no more, what its reading gave then in
    // *result. What *piece held before (written by then) is used again.
    bool nextPiece(qsizetype index, QByteArray* piece, MemberDigest* result);

private:
    struct Piece {
        QByteArray bytes;
        bool budgeted = false; // taken from the memory budget
    };
    struct Job {
        const ZipCentralEntry* source = nullptr;
        QList<Piece> pieces;
        bool finished = false;
        MemberDigest result;
    };

    void work();
    // Queues a piece of the member at index once there is room for it; false
    // when the pool stops.
    bool handOver(qsizetype index, const char* data, qint64 size);

    const RandomAccessSource& m_in;
    Digest m_v1;
    MemoryBudget& m_budget;
    std::vector<Job> m_jobs;
    std::vector<std::thread> m_workers;
    // Buffers of whole pieces written, for the next pieces of their size.
    QList<QByteArray> m_spare;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    qsizetype m_next = 0; // the next member a worker takes
    qsizetype m_head = 0; // the member the writer is at
    qint64 m_ahead = 0;   // bytes read and not yet taken by the writer
    bool m_stop = false;
};

} // namespace signer
