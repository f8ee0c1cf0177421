#include "core/crypto/ApkSigner.h"

#include "core/base/ByteOrder.h"
#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/UniqueFd.h"
#include "core/format/BinaryXml.h"
#include "core/format/Deflate.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QFile>
#include <QList>
#include <QMap>
#include <QSet>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace {
using FileHelpers::TemporaryFile;

struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// The binary manifest is read whole to find its minSdkVersion.
constexpr qint64 kMaxManifestBytes = 16 << 20;
// signapk's entry time: 2009-01-01 00:00 as MS-DOS date and time.
constexpr quint16 kEntryDosDate = 0x3a21;
constexpr quint16 kEntryDosTime = 0;
// Extra field ids: the JAR marker of the first entry, the alignment padding.
constexpr quint16 kJarMagicId = 0xcafe;
constexpr quint16 kAlignmentExtraId = 0xd935;
constexpr quint32 kV2BlockId = 0x7109871a;
constexpr quint32 kV3BlockId = 0xf05368c0;
constexpr quint32 kPaddingBlockId = 0x42726577;
constexpr quint32 kStrippingProtectionId = 0xbeeff00d;
constexpr qint64 kPage = 4096;
constexpr qint64 kChunk = 1 << 20;
// The lowest platform the v3 signer names, whatever the APK's minSdkVersion
// (what signapk writes).
constexpr int kV3MinSdk = 24;
constexpr int kMinSdkWithSha256 = 18;

void PutLe16(QByteArray* out, quint32 v) {
    AppendLe16(out, static_cast<quint16>(v & 0xffff));
}
void PutLe32(QByteArray* out, quint32 v) {
    AppendLe32(out, v);
}
void PutLe64(QByteArray* out, quint64 v) {
    AppendLe64(out, v);
}
QByteArray LengthPrefixed(const QByteArray& data) {
    QByteArray out;
    PutLe32(&out, static_cast<quint32>(data.size()));
    return out + data;
}
// DER: a tag and its content.
QByteArray Der(unsigned char tag, const QByteArray& content) {
    QByteArray out(1, static_cast<char>(tag));
    const qsizetype n = content.size();
    if (n < 0x80) {
        out.append(static_cast<char>(n));
    } else {
        QByteArray len;
        for (qsizetype v = n; v > 0; v >>= 8)
            len.prepend(static_cast<char>(v & 0xff));
        out.append(static_cast<char>(0x80 | len.size()));
        out.append(len);
    }
    return out + content;
}
QByteArray DerOid(const char* hex) {
    return Der(0x06, QByteArray::fromHex(hex));
}
const QByteArray kDerNull = QByteArray::fromHex("0500");

} // namespace

bool ApkMinSdkVersion(const QByteArray& xml, int* minSdk, QString* error) {
    *minSdk = 1;
    ManifestFacts facts;
    QString cause;
    if (!ReadBinaryManifest(xml, &facts, &cause))
        return Fail(error, QStringLiteral("AndroidManifest.xml: %1").arg(cause));
    if (facts.minSdk.type != ResValue::Null && !SdkLevelOf(facts.minSdk, minSdk))
        return Fail(error, QStringLiteral("AndroidManifest.xml: minSdkVersion has an unexpected "
                                          "value type %1")
                               .arg(facts.minSdk.type));
    return true;
}

// --- Signing ---------------------------------------------------------------

namespace {
using FileHelpers::TemporaryFile;

enum class Digest { Sha1, Sha256, Sha512 };

const EVP_MD* Md(Digest d) {
    switch (d) {
    case Digest::Sha1:
        return EVP_sha1();
    case Digest::Sha256:
        return EVP_sha256();
    case Digest::Sha512:
        return EVP_sha512();
    }
    return EVP_sha256();
}

QByteArray Hash(Digest d, const QByteArray& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.constData(), static_cast<size_t>(data.size()), out, &n, Md(d), nullptr);
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
}

bool Sign(const SigningKey& key, Digest d, const QByteArray& data, QByteArray* signature,
          QString* error) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t n = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, Md(d), nullptr, key.privateKey()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &n,
                       reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<size_t>(data.size())) != 1)
        return Fail(error, QStringLiteral("the signature cannot be made"));
    signature->resize(static_cast<qsizetype>(n));
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature->data()), &n,
                       reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<size_t>(data.size())) != 1)
        return Fail(error, QStringLiteral("the signature cannot be made"));
    signature->resize(static_cast<qsizetype>(n));
    return true;
}

// A manifest line as the signers write it: 70 bytes, then continuation lines
// of a space and 69 bytes.
void ManifestLine(QByteArray* out, const QByteArray& line) {
    qsizetype offset = 0;
    bool first = true;
    while (offset < line.size()) {
        qsizetype n;
        if (first) {
            n = std::min<qsizetype>(line.size() - offset, 70);
        } else {
            out->append("\r\n ");
            n = std::min<qsizetype>(line.size() - offset, 69);
        }
        out->append(line.constData() + offset, n);
        offset += n;
        first = false;
    }
    out->append("\r\n");
}

// The main section of a JAR manifest: its attributes by name (continuation
// lines joined). False with the cause for a line that is not "Name: value".
bool ReadMainAttributes(const QByteArray& manifest, QMap<QByteArray, QByteArray>* attributes,
                        QString* error) {
    QList<QByteArray> lines;
    qsizetype pos = 0;
    while (pos < manifest.size()) {
        qsizetype end = pos;
        while (end < manifest.size() && manifest[end] != '\r' && manifest[end] != '\n')
            ++end;
        const QByteArray line = manifest.mid(pos, end - pos);
        if (end < manifest.size() && manifest[end] == '\r' && end + 1 < manifest.size() &&
            manifest[end + 1] == '\n')
            ++end;
        pos = end + 1;
        if (line.isEmpty())
            break; // the end of the main section
        if (line.startsWith(' ') && !lines.isEmpty())
            lines.last().append(line.mid(1));
        else
            lines.append(line);
    }
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(": ");
        if (colon <= 0)
            return Fail(error, QStringLiteral("META-INF/MANIFEST.MF: line %1 of the main section "
                                              "is not an attribute")
                                   .arg(i + 1));
        attributes->insert(lines[i].left(colon), lines[i].mid(colon + 2));
    }
    return true;
}

bool IsSignatureFile(const QByteArray& name) {
    if (!name.startsWith("META-INF/"))
        return false;
    const QByteArray rest = name.mid(9);
    if (rest.contains('/'))
        return false;
    if (rest == "MANIFEST.MF")
        return true;
    const QByteArray upper = rest.toUpper();
    return upper.endsWith(".SF") || upper.endsWith(".RSA") || upper.endsWith(".DSA") ||
           upper.endsWith(".EC");
}

// Name order as signapk sorts (UTF-16 code units); byte order when both are
// ASCII, which is the same and much cheaper.
bool NameLess(const QByteArray& a, const QByteArray& b) {
    // Where the first difference is between two ASCII bytes, the names decode
    // alike before it (no character spans it) and those bytes decide.
    const qsizetype common = std::min(a.size(), b.size());
    qsizetype i = 0;
    while (i < common && a[i] == b[i])
        ++i;
    if (i < common && (a[i] & 0x80) == 0 && (b[i] & 0x80) == 0)
        return a[i] < b[i];
    auto ascii = [](const QByteArray& n) {
        return std::all_of(n.begin(), n.end(), [](char ch) { return (ch & 0x80) == 0; });
    };
    if (ascii(a) && ascii(b))
        return a < b;
    return QString::fromUtf8(a) < QString::fromUtf8(b);
}

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

// The digest of one chunk of the signed sections as the v2 and v3 schemes
// define it: a marker, the chunk's size, its bytes.
QByteArray ChunkDigest(Digest d, const char* data, qint64 size) {
    QByteArray prefix(1, static_cast<char>(0xa5));
    PutLe32(&prefix, static_cast<quint32>(size));
    MdCtxPtr md(EVP_MD_CTX_new());
    EVP_DigestInit_ex(md.get(), Md(d), nullptr);
    EVP_DigestUpdate(md.get(), prefix.constData(), 5);
    EVP_DigestUpdate(md.get(), data, static_cast<size_t>(size));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(md.get(), out, &n);
    return QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
}

// The output archive while it is written: its file and where it has got to.
// The entries pass through buffers of one digest chunk each, so that each
// chunk of the v2 and v3 content digest is hashed as it goes to the file (on
// a thread of its own), not read back afterwards.
class Writer {
public:
    Writer(TemporaryFile* file, Digest chunkDigest) : m_file(file), m_digest(chunkDigest) {
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
            m_chunkDigests.append(ChunkDigest(m_digest, data, size));
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
            QByteArray digest = ChunkDigest(m_digest, m_slots[chunk.slot].constData(), chunk.size);
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

    TemporaryFile* m_file;
    Digest m_digest;
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

QByteArray LocalHeader(const OutEntry& e) {
    QByteArray h;
    PutLe32(&h, 0x04034b50);
    PutLe16(&h, e.stored ? 10 : 20);
    PutLe16(&h, e.stored ? 0x0800 : 0x0808);
    PutLe16(&h, e.stored ? 0 : 8);
    PutLe16(&h, kEntryDosTime);
    PutLe16(&h, kEntryDosDate);
    PutLe32(&h, e.stored ? e.crc : 0);
    PutLe32(&h, e.stored ? static_cast<quint32>(e.compressedSize) : 0);
    PutLe32(&h, e.stored ? static_cast<quint32>(e.size) : 0);
    PutLe16(&h, static_cast<quint32>(e.name.size()));
    PutLe16(&h, static_cast<quint32>(e.extra.size()));
    return h + e.name + e.extra;
}

QByteArray CentralRecord(const OutEntry& e) {
    QByteArray h;
    PutLe32(&h, 0x02014b50);
    PutLe16(&h, e.versionMadeBy);
    PutLe16(&h, e.stored ? 10 : 20);
    PutLe16(&h, e.stored ? 0x0800 : 0x0808);
    PutLe16(&h, e.stored ? 0 : 8);
    PutLe16(&h, kEntryDosTime);
    PutLe16(&h, kEntryDosDate);
    PutLe32(&h, e.crc);
    PutLe32(&h, static_cast<quint32>(e.compressedSize));
    PutLe32(&h, static_cast<quint32>(e.size));
    PutLe16(&h, static_cast<quint32>(e.name.size()));
    PutLe16(&h, static_cast<quint32>(e.extra.size()));
    PutLe16(&h, 0);
    PutLe16(&h, 0);
    PutLe16(&h, 0);
    PutLe32(&h, e.externalAttributes);
    PutLe32(&h, static_cast<quint32>(e.offset));
    return h + e.name + e.extra;
}

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
quint64 PreparedBytesBound(const ZipCentralEntry& source) {
    return source.method == 0 ? source.uncompressedSize
                              : compressBound(static_cast<uLong>(source.uncompressedSize));
}

// Reads a member of the input into memory (with its v1 digest), a
// compressed one deflated again whole. A stop answering true ends the work
// early.
PreparedMember PrepareMember(int in, const ZipCentralEntry& source, Digest v1, Deflater* deflater,
                             const std::atomic<bool>& stop) {
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
        const qsizetype workers =
            std::min<qsizetype>(pooledCount, std::max(1u, std::thread::hardware_concurrency()));
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

struct Context {
    const SigningKey& key;
    Writer* out;
    int in = -1;
    bool first = true;
    QList<OutEntry> entries;
};

// Alignment of a stored member's data: native libraries by pages, the rest
// by 4 bytes.
quint64 Alignment(const QByteArray& name) {
    return name.endsWith(".so") ? 4096 : 4;
}

QByteArray FirstEntryExtra(Context* c) {
    QByteArray extra;
    if (c->first) {
        PutLe16(&extra, kJarMagicId);
        PutLe16(&extra, 0);
        c->first = false;
    }
    return extra;
}

// Ends a compressed member: its data descriptor. e holds its CRC-32 and sizes.
bool WriteDescriptor(Context* c, OutEntry* e, QString* error) {
    if (e->size >= kZipMax32 || e->compressedSize >= kZipMax32)
        return Fail(
            error,
            QStringLiteral("member %1 is too large (4 GB or more)").arg(PrintableZipName(e->name)));
    QByteArray descriptor;
    PutLe32(&descriptor, 0x08074b50);
    PutLe32(&descriptor, e->crc);
    PutLe32(&descriptor, static_cast<quint32>(e->compressedSize));
    PutLe32(&descriptor, static_cast<quint32>(e->size));
    return c->out->write(descriptor, error);
}

// The alignment padding of a stored member (its offset and extra field so
// far set) in its extra field.
void AlignStored(OutEntry* e) {
    const quint64 align = Alignment(e->name);
    const quint64 base = e->offset + 30 + quint64(e->name.size()) + quint64(e->extra.size()) + 6;
    const quint64 padding = (align - base % align) % align;
    PutLe16(&e->extra, kAlignmentExtraId);
    PutLe16(&e->extra, static_cast<quint32>(2 + padding));
    PutLe16(&e->extra, static_cast<quint32>(align));
    e->extra.append(QByteArray(static_cast<qsizetype>(padding), '\0'));
}

// Writes a member prepared ahead (a compressed one deflated again), the
// CRC-32 of its uncompressed bytes being crc.
bool WritePrepared(Context* c, OutEntry e, quint32 crc, const PreparedMember& m, QString* error) {
    e.offset = c->out->position();
    e.extra = FirstEntryExtra(c);
    e.crc = crc;
    e.size = m.size;
    e.compressedSize = static_cast<quint64>(m.bytes.size());
    if (e.stored)
        AlignStored(&e);
    if (!c->out->write(LocalHeader(e), error) || !c->out->write(m.bytes, error) ||
        (!e.stored && !WriteDescriptor(c, &e, error)))
        return false;
    c->entries.append(e);
    return true;
}

// Writes a member, its uncompressed bytes given by produce (which calls its
// sink with every piece). Digest of the bytes in *digest.
using Producer = std::function<bool(const ZipDataSink& sink, QString* cause)>;

bool WriteMember(Context* c, OutEntry e, const Producer& produce, const ZipCentralEntry* source,
                 Digest v1, QByteArray* digest, QString* error) {
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), Md(v1), nullptr) != 1)
        return Fail(error, QStringLiteral("the digest cannot start"));
    e.offset = c->out->position();
    e.extra = FirstEntryExtra(c);
    if (e.stored) {
        e.crc = source->crc32;
        e.size = e.compressedSize = source->uncompressedSize;
        AlignStored(&e);
        if (!c->out->write(LocalHeader(e), error))
            return false;
        QString cause;
        bool writeFailed = false;
        const bool ok = produce(
            [&](const char* data, qint64 size) {
                EVP_DigestUpdate(md.get(), data, static_cast<size_t>(size));
                if (!c->out->write(data, size, error)) {
                    writeFailed = true;
                    return false;
                }
                return true;
            },
            &cause);
        if (writeFailed)
            return false;
        if (!ok)
            return Fail(error, cause);
    } else {
        // A compressed member is deflated again, as signapk does: its bytes
        // then match signapk's whatever deflater made the input.
        if (!c->out->write(LocalHeader(e), error))
            return false;
        Deflater deflater(kDeflateLevel);
        const auto write = [&](const char* data, qint64 n) {
            return c->out->write(data, n, error);
        };
        // The reader checks a member's bytes against its CRC-32, which then
        // holds for the copy; only generated members need one computed.
        quint32 crc = source ? source->crc32 : static_cast<quint32>(crc32(0, nullptr, 0));
        quint64 size = 0;
        QString cause;
        bool writeFailed = false;
        const bool ok = produce(
            [&](const char* data, qint64 n) {
                EVP_DigestUpdate(md.get(), data, static_cast<size_t>(n));
                if (!source)
                    crc = static_cast<quint32>(crc32_z(crc, reinterpret_cast<const Bytef*>(data),
                                                       static_cast<z_size_t>(n)));
                size += static_cast<quint64>(n);
                if (!deflater.feed(data, n, false, write, error)) {
                    writeFailed = true;
                    return false;
                }
                return true;
            },
            &cause);
        if (writeFailed)
            return false;
        if (!ok)
            return Fail(error, cause);
        if (!deflater.feed(nullptr, 0, true, write, error))
            return false;
        e.crc = crc;
        e.size = size;
        e.compressedSize = deflater.written();
        if (!WriteDescriptor(c, &e, error))
            return false;
    }
    if (digest) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_DigestFinal_ex(md.get(), out, &n);
        *digest = QByteArray(reinterpret_cast<const char*>(out), static_cast<qsizetype>(n));
    }
    c->entries.append(e);
    return true;
}

bool WriteGenerated(Context* c, const QByteArray& name, const QByteArray& bytes, QString* error) {
    OutEntry e;
    e.name = name;
    return WriteMember(
        c, e,
        [&](const ZipDataSink& sink, QString*) { return sink(bytes.constData(), bytes.size()); },
        nullptr, Digest::Sha256, nullptr, error);
}

// Generated bytes deflated into memory as a member's data, fed as
// WriteMember feeds them.
PreparedMember DeflateGenerated(const QByteArray& data) {
    PreparedMember m;
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

quint32 Crc32(const QByteArray& data) {
    return static_cast<quint32>(crc32_z(crc32(0, nullptr, 0),
                                        reinterpret_cast<const Bytef*>(data.constData()),
                                        static_cast<z_size_t>(data.size())));
}

// The PKCS#7 SignedData of the v1 signature: the certificate and one signer
// that signs the .SF file directly.
QByteArray SignatureBlock(const SigningKey& key, Digest digest, const QByteArray& signature) {
    const QByteArray digestAlgorithm =
        Der(0x30, (digest == Digest::Sha1 ? DerOid("2b0e03021a") : DerOid("608648016503040201")) +
                      kDerNull);
    // The key's algorithm (EC public key or RSA encryption), with NULL
    // parameters for both, as signapk writes it.
    const QByteArray signatureAlgorithm = Der(
        0x30, (key.isEc() ? DerOid("2a8648ce3d0201") : DerOid("2a864886f70d010101")) + kDerNull);
    unsigned char* der = nullptr;
    int n = i2d_X509_NAME(X509_get_issuer_name(key.certificate()), &der);
    const QByteArray issuer(reinterpret_cast<const char*>(der), std::max(n, 0));
    OPENSSL_free(der);
    der = nullptr;
    n = i2d_ASN1_INTEGER(X509_get0_serialNumber(key.certificate()), &der);
    const QByteArray serial(reinterpret_cast<const char*>(der), std::max(n, 0));
    OPENSSL_free(der);
    const QByteArray one = QByteArray::fromHex("020101");
    const QByteArray signerInfo = Der(0x30, one + Der(0x30, issuer + serial) + digestAlgorithm +
                                                signatureAlgorithm + Der(0x04, signature));
    const QByteArray signedData =
        Der(0x30, one + Der(0x31, digestAlgorithm) + Der(0x30, DerOid("2a864886f70d010701")) +
                      Der(0xa0, key.certificateDer()) + Der(0x31, signerInfo));
    return Der(0x30, DerOid("2a864886f70d010702") + Der(0xa0, signedData));
}

// The chunked digest of the signed sections as the v2 and v3 schemes define
// it: the entries' chunk digests (made as they were written), then those of
// the central directory and the end record.
QByteArray ContentDigest(QList<QByteArray> chunkDigests, const QByteArray& directory,
                         const QByteArray& endRecord, Digest d) {
    for (const QByteArray* section : {&directory, &endRecord})
        for (qsizetype pos = 0; pos < section->size(); pos += kChunk)
            chunkDigests.append(ChunkDigest(d, section->constData() + pos,
                                            std::min<qsizetype>(section->size() - pos, kChunk)));
    QByteArray top(1, static_cast<char>(0x5a));
    PutLe32(&top, static_cast<quint32>(chunkDigests.size()));
    for (const QByteArray& c : chunkDigests)
        top.append(c);
    return Hash(d, top);
}

// One signer of a v2 (v3 when v3) block.
bool SchemeSigner(const SigningKey& key, quint32 algorithm, Digest signDigest,
                  const QByteArray& contentDigest, bool v3, int minSdk, bool alsoV3,
                  QByteArray* block, QString* error) {
    QByteArray digest;
    PutLe32(&digest, algorithm);
    digest += LengthPrefixed(contentDigest);
    QByteArray signedData = LengthPrefixed(LengthPrefixed(digest)) +
                            LengthPrefixed(LengthPrefixed(key.certificateDer()));
    if (v3) {
        PutLe32(&signedData, static_cast<quint32>(minSdk));
        PutLe32(&signedData, 0x7fffffff);
        signedData += LengthPrefixed({});
    } else {
        QByteArray attributes;
        if (alsoV3) {
            QByteArray attribute;
            PutLe32(&attribute, kStrippingProtectionId);
            PutLe32(&attribute, 3);
            attributes = LengthPrefixed(attribute);
        }
        signedData += LengthPrefixed(attributes) + LengthPrefixed({});
    }
    QByteArray signature;
    if (!Sign(key, signDigest, signedData, &signature, error))
        return false;
    QByteArray signatureRecord;
    PutLe32(&signatureRecord, algorithm);
    signatureRecord += LengthPrefixed(signature);
    QByteArray signer = LengthPrefixed(signedData);
    if (v3) {
        PutLe32(&signer, static_cast<quint32>(minSdk));
        PutLe32(&signer, 0x7fffffff);
    }
    signer += LengthPrefixed(LengthPrefixed(signatureRecord)) + LengthPrefixed(key.publicKeyDer());
    *block = LengthPrefixed(LengthPrefixed(signer));
    return true;
}

QByteArray Pair(quint32 id, const QByteArray& value) {
    QByteArray pair;
    PutLe64(&pair, static_cast<quint64>(value.size()) + 4);
    PutLe32(&pair, id);
    return pair + value;
}

// What signing takes from the APK, found before anything is written: the
// members kept in their output order, the platform it names, the main
// attributes of an earlier manifest.
struct SigningPlan {
    QList<const ZipCentralEntry*> kept;
    int minSdk = 1;
    QByteArray manifestVersion = "1.0";
    QMap<QByteArray, QByteArray> mainAttributes;
};

// The bytes of a small member of the input, named in the cause.
bool ReadSmallMember(int in, const ZipCentralEntry& e, QByteArray* bytes, QString* error) {
    const QString name = PrintableZipName(e.rawName);
    if (e.uncompressedSize > quint64(kMaxManifestBytes))
        return Fail(error, QStringLiteral("%1 is too large").arg(name));
    bytes->clear();
    QString cause;
    if (!ReadZipMemberData(
            in, e,
            [&](const char* data, qint64 size) {
                bytes->append(data, size);
                return bytes->size() <= kMaxManifestBytes;
            },
            &cause))
        return Fail(error, QStringLiteral("%1: %2").arg(name, cause));
    return true;
}

// A name the v1 manifest can carry: a line break in it would end its "Name:"
// line and let the rest pass for attributes or a section of its own.
bool CheckManifestName(const QByteArray& name, QString* error) {
    if (name.contains('\r') || name.contains('\n') || name.contains('\0'))
        return Fail(error, QStringLiteral("member %1: a name holding a line break or NUL cannot "
                                          "be signed")
                               .arg(PrintableZipName(name)));
    return true;
}

bool PlanSigning(int in, const ZipDirectory& dir, SigningPlan* plan, QString* error) {
    // The members kept: earlier signatures go; the manifest must be there.
    QSet<QByteArray> names;
    const ZipCentralEntry* manifest = nullptr;
    const ZipCentralEntry* jarManifest = nullptr;
    for (const ZipCentralEntry& e : dir.entries) {
        if (e.rawName == "META-INF/MANIFEST.MF")
            jarManifest = &e;
        if (e.method != 0 && e.method != 8)
            return Fail(error, QStringLiteral("member %1: unsupported compression method %2")
                                   .arg(PrintableZipName(e.rawName))
                                   .arg(e.method));
        // signapk leaves out folders and earlier signatures.
        if (IsSignatureFile(e.rawName) || e.rawName.endsWith('/'))
            continue;
        if (names.contains(e.rawName))
            return Fail(error, QStringLiteral("member %1 is in the archive twice")
                                   .arg(PrintableZipName(e.rawName)));
        if (!CheckManifestName(e.rawName, error))
            return false;
        names.insert(e.rawName);
        plan->kept.append(&e);
        if (e.rawName == "AndroidManifest.xml")
            manifest = &e;
    }
    if (!manifest)
        return Fail(error, QStringLiteral("AndroidManifest.xml is missing"));
    QByteArray bytes;
    if (!ReadSmallMember(in, *manifest, &bytes, error) ||
        !ApkMinSdkVersion(bytes, &plan->minSdk, error))
        return false;

    // The main attributes of an earlier manifest stay.
    if (jarManifest && (!ReadSmallMember(in, *jarManifest, &bytes, error) ||
                        !ReadMainAttributes(bytes, &plan->mainAttributes, error)))
        return false;
    for (auto it = plan->mainAttributes.begin(); it != plan->mainAttributes.end();) {
        if (it.key().compare("Manifest-Version", Qt::CaseInsensitive) == 0) {
            plan->manifestVersion = it.value();
            it = plan->mainAttributes.erase(it);
        } else {
            ++it;
        }
    }

    // Stored members first, then the others, each group in name order.
    std::stable_sort(plan->kept.begin(), plan->kept.end(),
                     [](const ZipCentralEntry* a, const ZipCentralEntry* b) {
                         if ((a->method == 0) != (b->method == 0))
                             return a->method == 0;
                         return NameLess(a->rawName, b->rawName);
                     });
    return true;
}

// The kept members, written in order (read and deflated ahead by the pool);
// the v1 digest of each member's bytes by name, in name order.
bool WriteMembers(Context* c, const SigningPlan& plan, Digest v1,
                  QList<QPair<QByteArray, QByteArray>>* digests, QString* error) {
    MemberPool pool(c->in, plan.kept, v1);
    for (qsizetype i = 0; i < plan.kept.size(); ++i) {
        const ZipCentralEntry* e = plan.kept[i];
        OutEntry o;
        o.name = e->rawName;
        o.stored = e->method == 0;
        const bool unix = (e->versionMadeBy >> 8) == 3;
        if (o.stored) {
            o.versionMadeBy = unix ? 0x030a : 10;
            o.externalAttributes = unix ? (e->externalAttributes & 0xffff0000u) : 0;
        }
        QByteArray digest;
        bool ok = false;
        if (pool.pooled(i)) {
            const PreparedMember m = pool.take(i);
            if (!m.ok)
                SetError(error, m.cause);
            ok = m.ok && WritePrepared(c, o, e->crc32, m, error);
            digest = m.digest;
        } else {
            ok = WriteMember(
                c, o,
                [&](const ZipDataSink& sink, QString* why) {
                    return ReadZipMemberData(c->in, *e, sink, why);
                },
                e, v1, &digest, error);
        }
        if (!ok) {
            if (error && !error->startsWith(QLatin1String("member ")))
                *error = QStringLiteral("member %1: %2").arg(PrintableZipName(e->rawName), *error);
            return false;
        }
        digests->append({e->rawName, digest});
    }
    std::sort(digests->begin(), digests->end(),
              [](const auto& a, const auto& b) { return NameLess(a.first, b.first); });
    return true;
}

// The v1 signature: the manifest, the signature file, the signature block,
// after the members.
bool WriteV1Signature(Context* c, const SigningPlan& plan, Digest v1,
                      const QList<QPair<QByteArray, QByteArray>>& digests, QString* error) {
    const QByteArray v1Name = v1 == Digest::Sha1 ? "SHA1-Digest" : "SHA-256-Digest";
    QByteArray mf;
    ManifestLine(&mf, "Manifest-Version: " + plan.manifestVersion);
    for (auto it = plan.mainAttributes.cbegin(); it != plan.mainAttributes.cend(); ++it)
        ManifestLine(&mf, it.key() + ": " + it.value());
    mf.append("\r\n");
    QByteArray sfEntries;
    for (const auto& [name, digest] : digests) {
        QByteArray section;
        ManifestLine(&section, "Name: " + name);
        ManifestLine(&section, v1Name + ": " + digest.toBase64());
        section.append("\r\n");
        mf += section;
        ManifestLine(&sfEntries, "Name: " + name);
        ManifestLine(&sfEntries, v1Name + ": " + Hash(v1, section).toBase64());
        sfEntries.append("\r\n");
    }
    // The manifest (as large as the signature file) is deflated on a thread
    // of its own while the signature file is made and written.
    PreparedMember mfDeflated;
    std::thread mfDeflater;
    try {
        mfDeflater = std::thread([&] { mfDeflated = DeflateGenerated(mf); });
    } catch (const std::system_error&) {
        mfDeflated = DeflateGenerated(mf);
    }
    const struct Joiner {
        std::thread& thread;
        ~Joiner() {
            if (thread.joinable())
                thread.join();
        }
    } joiner{mfDeflater};
    QByteArray sf;
    ManifestLine(&sf, "Signature-Version: 1.0");
    ManifestLine(&sf, "Created-By: 1.0 (Android SignApk)");
    ManifestLine(&sf, v1Name + "-Manifest: " + Hash(v1, mf).toBase64());
    ManifestLine(&sf, "X-Android-APK-Signed: 2, 3");
    sf.append("\r\n");
    sf += sfEntries;
    QByteArray sfSignature;
    if (!Sign(c->key, v1, sf, &sfSignature, error))
        return false;
    if (!WriteGenerated(c, "META-INF/CERT.SF", sf, error) ||
        !WriteGenerated(c, c->key.isEc() ? "META-INF/CERT.EC" : "META-INF/CERT.RSA",
                        SignatureBlock(c->key, v1, sfSignature), error))
        return false;
    if (mfDeflater.joinable())
        mfDeflater.join();
    OutEntry mfEntry;
    mfEntry.name = "META-INF/MANIFEST.MF";
    if (!mfDeflated.ok)
        return Fail(error, mfDeflated.cause);
    return WritePrepared(c, mfEntry, Crc32(mf), mfDeflated, error);
}

// The end of the APK: padding to a page, the signing block with its v2 and
// v3 signers over the entries, the central directory and the end record.
bool WriteSigningBlockAndDirectory(Context* c, quint32 algorithm, Digest schemeDigest,
                                   QString* error) {
    Writer& out = *c->out;
    // The entries end on a page; the signing block follows.
    const quint64 padding = (kPage - out.position() % kPage) % kPage;
    if (!out.write(QByteArray(static_cast<qsizetype>(padding), '\0'), error))
        return false;
    const quint64 entriesEnd = out.position();
    QByteArray directory;
    for (const OutEntry& e : c->entries) {
        if (e.offset >= kZipMax32)
            return Fail(error, QStringLiteral("the signed APK would need ZIP64"));
        directory += CentralRecord(e);
    }
    auto endRecord = [&](quint64 directoryOffset) {
        QByteArray end;
        PutLe32(&end, 0x06054b50);
        PutLe32(&end, 0);
        PutLe16(&end, static_cast<quint32>(c->entries.size()));
        PutLe16(&end, static_cast<quint32>(c->entries.size()));
        PutLe32(&end, static_cast<quint32>(directory.size()));
        PutLe32(&end, static_cast<quint32>(directoryOffset));
        PutLe16(&end, 0);
        return end;
    };
    if (c->entries.size() >= kZipMax16)
        return Fail(error, QStringLiteral("the signed APK would need ZIP64"));
    if (!out.endDigestedSections(error))
        return false;
    const QByteArray contentDigest =
        ContentDigest(out.chunkDigests(), directory, endRecord(entriesEnd), schemeDigest);
    QByteArray v2Block, v3Block;
    if (!SchemeSigner(c->key, algorithm, schemeDigest, contentDigest, false, 0, true, &v2Block,
                      error) ||
        !SchemeSigner(c->key, algorithm, schemeDigest, contentDigest, true, kV3MinSdk, true,
                      &v3Block, error))
        return false;
    QByteArray pairs = Pair(kV2BlockId, v2Block) + Pair(kV3BlockId, v3Block);
    qint64 total = 8 + pairs.size() + 8 + 16;
    if (total % kPage != 0) {
        qint64 pad = kPage - total % kPage;
        if (pad < 12)
            pad += kPage;
        pairs += Pair(kPaddingBlockId, QByteArray(static_cast<qsizetype>(pad - 12), '\0'));
        total += pad;
    }
    QByteArray signingBlock;
    PutLe64(&signingBlock, static_cast<quint64>(total - 8));
    signingBlock += pairs;
    PutLe64(&signingBlock, static_cast<quint64>(total - 8));
    signingBlock += "APK Sig Block 42";
    const quint64 directoryOffset = entriesEnd + static_cast<quint64>(signingBlock.size());
    if (directoryOffset >= kZipMax32)
        return Fail(error, QStringLiteral("the signed APK would need ZIP64"));
    return out.write(signingBlock, error) && out.write(directory, error) &&
           out.write(endRecord(directoryOffset), error) && out.flush(error);
}

bool SignInto(int in, const SigningPlan& plan, const SigningKey& key, TemporaryFile* file,
              QString* error) {
    const Digest v1 = plan.minSdk < kMinSdkWithSha256 ? Digest::Sha1 : Digest::Sha256;
    const quint32 algorithm = key.isEc() ? (key.bits() <= 256 ? 0x0201u : 0x0202u)
                                         : (key.bits() <= 3072 ? 0x0103u : 0x0104u);
    const Digest schemeDigest =
        (algorithm == 0x0104u || algorithm == 0x0202u) ? Digest::Sha512 : Digest::Sha256;
    Writer out(file, schemeDigest);
    Context c{key, &out, in, true, {}};
    QList<QPair<QByteArray, QByteArray>> digests; // name, digest of the data
    return WriteMembers(&c, plan, v1, &digests, error) &&
           WriteV1Signature(&c, plan, v1, digests, error) &&
           WriteSigningBlockAndDirectory(&c, algorithm, schemeDigest, error);
}

// The input opened and its directory read, named in the cause.
class InputApk {
public:
    bool open(const QString& path, QString* error) {
        file = OpenUniqueFd(path, O_RDONLY);
        fd = file.get();
        if (!file.isOpen())
            return Fail(error, QStringLiteral("cannot open %1: %2")
                                   .arg(path, QString::fromLocal8Bit(strerror(errno))));
        QString cause;
        if (!ReadZipDirectory(fd, &dir, &cause))
            return Fail(error, QStringLiteral("not a ZIP archive: %1").arg(cause));
        return true;
    }
    UniqueFd file;
    int fd = -1;
    ZipDirectory dir;
};

} // namespace

bool SignApk(const QString& inputPath, const QString& outputPath, const SigningKey& key,
             QString* error) {
    TemporaryFile file(outputPath);
    if (!file.open(error))
        return false;
    if (!SignApkInto(inputPath, file, key, error)) {
        file.discard();
        return false;
    }
    return file.commit(error);
}

bool SignApkInto(const QString& inputPath, FileHelpers::TemporaryFile& output,
                 const SigningKey& key, QString* error) {
    if (!key.isLoaded())
        return Fail(error, QStringLiteral("no signing key is loaded"));
    InputApk input;
    SigningPlan plan;
    return input.open(inputPath, error) && PlanSigning(input.fd, input.dir, &plan, error) &&
           SignInto(input.fd, plan, key, &output, error);
}

bool CheckSignable(const QString& apkPath, QString* error) {
    InputApk input;
    SigningPlan plan;
    if (!input.open(apkPath, error) || !PlanSigning(input.fd, input.dir, &plan, error))
        return false;
    for (const ZipCentralEntry* e : plan.kept) {
        QString cause;
        if (!ReadZipMemberData(
                input.fd, *e, [](const char*, qint64) { return true; }, &cause))
            return Fail(error,
                        QStringLiteral("member %1: %2").arg(PrintableZipName(e->rawName), cause));
    }
    return true;
}
