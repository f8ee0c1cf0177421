#include "core/crypto/ApkSigner.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/UniqueFd.h"
#include "core/crypto/ApkMemberPool.h"
#include "core/crypto/ApkSigningBlock.h"
#include "core/crypto/JarSignature.h"
#include "core/crypto/SignerDigest.h"
#include "core/format/BinaryXml.h"
#include "core/format/SignedZipWriter.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QList>
#include <QMap>
#include <QSet>

#include <zlib.h>

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <thread>

// The signing itself, in steps: the plan (what the input gives and whether it
// can be signed), the members written, the v1 signature, the signing block
// with the central directory. The parts it uses live in files of their own:
// the key (SigningKey), the ZIP writer (format/SignedZipWriter), the member
// pool (ApkMemberPool), the v1 signature (JarSignature), the signing block
// (ApkSigningBlock).

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

namespace {
using namespace signer;
using FileHelpers::TemporaryFile;

// The binary manifest is read whole to find its minSdkVersion.
constexpr qint64 kMaxManifestBytes = 16 << 20;
// Extra field ids: the JAR marker of the first entry, the alignment padding.
constexpr quint16 kJarMagicId = 0xcafe;
constexpr quint16 kAlignmentExtraId = 0xd935;
constexpr int kMinSdkWithSha256 = 18;

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

struct Context {
    const SigningKey& key;
    Writer* out;
    const RandomAccessSource& in;
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

quint32 Crc32(const QByteArray& data) {
    return static_cast<quint32>(crc32_z(crc32(0, nullptr, 0),
                                        reinterpret_cast<const Bytef*>(data.constData()),
                                        static_cast<z_size_t>(data.size())));
}

// Writes a member the signer made, deflated in memory, the CRC-32 of its
// contents being crc.
bool WriteGenerated(Context* c, OutEntry e, quint32 crc, const GeneratedMember& m, QString* error) {
    if (!m.ok)
        return Fail(error, m.cause);
    e.offset = c->out->position();
    e.extra = FirstEntryExtra(c);
    e.crc = crc;
    e.size = m.size;
    e.compressedSize = static_cast<quint64>(m.bytes.size());
    if (!c->out->write(LocalHeader(e), error) || !c->out->write(m.bytes, error) ||
        !WriteDescriptor(c, &e, error))
        return false;
    c->entries.append(e);
    return true;
}

bool WriteGenerated(Context* c, const QByteArray& name, const QByteArray& bytes, QString* error) {
    OutEntry e;
    e.name = name;
    return WriteGenerated(c, e, Crc32(bytes), DeflateGenerated(bytes), error);
}

// Writes a member of the input: its local header (a stored one aligned), its
// data copied as it lies in the input (from the pool's pieces, or read here
// when there is no pool), a compressed one's data descriptor. The digest of
// its contents in *digest.
bool WriteInputMember(Context* c, MemberPool& pool, qsizetype index, const ZipCentralEntry& source,
                      OutEntry e, Digest v1, QByteArray* digest, QString* error) {
    if (source.uncompressedSize >= kZipMax32 || source.compressedSize >= kZipMax32)
        return Fail(error, QStringLiteral("member %1 is too large (4 GB or more)")
                               .arg(PrintableZipName(source.rawName)));
    e.offset = c->out->position();
    e.extra = FirstEntryExtra(c);
    e.crc = source.crc32;
    e.size = source.uncompressedSize;
    e.compressedSize = source.compressedSize;
    if (e.stored)
        AlignStored(&e);
    if (!c->out->write(LocalHeader(e), error))
        return false;
    MemberDigest read;
    if (pool.pooled()) {
        QByteArray piece;
        while (pool.nextPiece(index, &piece, &read))
            if (!c->out->write(piece, error))
                return false;
    } else {
        read = ReadMember(c->in, source, v1, [&](const char* data, qint64 size) {
            return c->out->write(data, size, error);
        });
        if (read.copyStopped)
            return false;
    }
    // The copy stands only once the contents have read back to their CRC-32
    // and size.
    if (!read.ok)
        return Fail(error, read.cause);
    if (!e.stored && !WriteDescriptor(c, &e, error))
        return false;
    *digest = read.digest;
    c->entries.append(e);
    return true;
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

// The kept members, written in order (read ahead by the pool); the v1
// digest of each member's contents by name, in name order.
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
        if (!WriteInputMember(c, pool, i, *e, o, v1, &digest, error)) {
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
    GeneratedMember mfDeflated;
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
    return WriteGenerated(c, mfEntry, Crc32(mf), mfDeflated, error);
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
    QByteArray signingBlock;
    if (!SigningBlock(
            c->key, algorithm, schemeDigest,
            ContentDigest(out.chunkDigests(), directory, endRecord(entriesEnd), schemeDigest),
            &signingBlock, error))
        return false;
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
    Writer out(file, [schemeDigest](const char* data, qint64 size) {
        return ChunkDigest(schemeDigest, data, size);
    });
    FdSource source(in, 0);
    if (!FdSource::open(in, &source, error))
        return false;
    Context c{key, &out, source, true, {}};
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
