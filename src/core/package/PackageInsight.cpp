#include "core/package/PackageInsight.h"

#include "core/base/ErrorText.h"
#include "core/base/RandomAccessSource.h"
#include "core/base/ToolRunner.h"
#include "core/base/UniqueFd.h"
#include "core/base/WorkerThreads.h"
#include "core/crypto/WholeFileSignature.h"
#include "core/format/DeflatedView.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberDevice.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/ApkNameRule.h"
#include "core/package/PackageLayout.h"
#include "core/package/PartitionImage.h"
#include "core/package/SystemImage.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kBuildPropRawName[] = "system/build.prop";

// Members read whole into memory are small by nature; larger ones are
// refused rather than read.
constexpr qint64 kBuildPropLimit = 4 * 1024 * 1024;
constexpr qint64 kOtaCertsLimit = 4 * 1024 * 1024;
constexpr qint64 kCertificateLimit = 256 * 1024;
// The threads that read APKs at most (the machine's cores, up to this).
constexpr unsigned kMaxReaders = 4;

struct CmsFree {
    void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};

QByteArray derOf(X509* cert) {
    unsigned char* out = nullptr;
    const int length = i2d_X509(cert, &out);
    if (length <= 0)
        return {};
    QByteArray der(reinterpret_cast<const char*>(out), length);
    OPENSSL_free(out);
    return der;
}

QByteArray sha256(const QByteArray& data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

// The uncompressed bytes of an entry, when it holds at most limit bytes.
bool readEntry(const RandomAccessSource& archive, const ZipCentralEntry& entry, qint64 limit,
               QByteArray* bytes, QString* error) {
    if (entry.uncompressedSize > static_cast<quint64>(limit))
        return Fail(error, QStringLiteral("it holds more than %1 bytes").arg(limit));
    QByteArray data;
    data.reserve(static_cast<qsizetype>(entry.uncompressedSize));
    const bool read = ReadZipMemberData(
        archive, entry,
        [&data](const char* chunk, qint64 size) {
            data.append(chunk, size);
            return true;
        },
        error);
    if (read)
        *bytes = data;
    return read;
}

// The leading number of a release ("5.1.1" -> 5), as atoi reads it.
int majorOf(const QString& release) {
    qsizetype digits = 0;
    const QString trimmed = release.trimmed();
    while (digits < trimmed.size() && digits < 9 && trimmed.at(digits).isDigit())
        ++digits;
    return digits == 0 ? 0 : trimmed.left(digits).toInt();
}

void applyBuildProp(const QByteArray& data, PackageFacts* facts) {
    facts->buildPropPresent = true;
    facts->buildProperties = ParseBuildProp(data);
    const QMap<QString, QString>& properties = facts->buildProperties;
    const auto release = properties.constFind(QStringLiteral("ro.build.version.release"));
    if (release != properties.cend()) {
        facts->release = release.value();
        facts->majorVersion = majorOf(release.value());
    }
    facts->fingerprint = properties.value(QStringLiteral("ro.build.fingerprint"));
    facts->abis = DeviceAbisOfBuildProp(properties);
}

void readBuildProp(const RandomAccessSource& archive, const ZipCentralEntry& entry,
                   PackageFacts* facts) {
    QByteArray data;
    QString cause;
    // An unreadable build.prop leaves the facts it gives unknown.
    if (!readEntry(archive, entry, kBuildPropLimit, &data, &cause))
        return;
    applyBuildProp(data, facts);
}

// The footer of a whole-file signature at the end of the comment, and the
// certificate of the block it points at.
void readSignature(const QByteArray& comment, const PackageInsightKeys& keys,
                   WholeFileSignatureFacts* signature) {
    const qsizetype size = comment.size();
    WholeFileFooter footer;
    if (!ReadWholeFileFooter(comment, &footer) || footer.commentSize != size)
        return;
    signature->present = true;
    const qsizetype start = footer.signatureStart;
    if (start <= 6 || start > size)
        return;
    const QByteArray block = comment.mid(size - start, start - 6);
    const auto* p = reinterpret_cast<const unsigned char*>(block.constData());
    std::unique_ptr<CMS_ContentInfo, CmsFree> cms(
        d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(block.size())));
    if (!cms) {
        ERR_clear_error();
        return;
    }
    STACK_OF(X509)* certificates = CMS_get1_certs(cms.get());
    if (certificates && sk_X509_num(certificates) > 0) {
        const QByteArray der = derOf(sk_X509_value(certificates, 0));
        if (!der.isEmpty()) {
            signature->signerSha256 = sha256(der);
            signature->signerIsTestKey = !keys.testKey.isEmpty() && der == keys.testKey;
        }
    }
    sk_X509_pop_free(certificates, X509_free);
    ERR_clear_error();
}

// otacerts.zip read through the shared ZIP reader from memory.
void readOtaCerts(const RandomAccessSource& archive, const ZipCentralEntry& entry,
                  const PackageInsightKeys& keys, OtaCertsFacts* otaCerts) {
    otaCerts->present = true;
    QByteArray data;
    QString cause;
    if (!readEntry(archive, entry, kOtaCertsLimit, &data, &cause)) {
        otaCerts->error = cause;
        return;
    }
    const MemorySource memory(data);
    ZipDirectory directory;
    if (!ReadZipDirectory(memory, &directory, &cause)) {
        otaCerts->error = QStringLiteral("it is not a readable ZIP: %1").arg(cause);
        return;
    }
    for (const ZipCentralEntry& certificate : directory.entries) {
        if (certificate.rawName.endsWith('/'))
            continue;
        const QString name = PrintableZipName(certificate.rawName);
        QByteArray bytes;
        QByteArray der;
        if (!readEntry(memory, certificate, kCertificateLimit, &bytes, &cause) ||
            !CertificateDer(bytes, &der, &cause)) {
            otaCerts->error = QStringLiteral("%1: %2").arg(name, cause);
            continue;
        }
        otaCerts->certificateSha256 << sha256(der);
        if (!keys.testKey.isEmpty() && der == keys.testKey)
            otaCerts->includesTestKey = true;
    }
}

// An APK member as a device read in place: a window onto a stored one, a
// view of a deflated one (its stored blocks read in place, only the others
// inflated). A deflated one the view cannot take (damaged, or too much to
// inflate in memory) is inflated whole by the shared reader, which tells why
// when it cannot.
std::unique_ptr<QIODevice> openApk(int fd, const ZipCentralEntry& entry, qint64 memoryLimit,
                                   QString* error) {
    quint64 offset = 0;
    if (entry.method == 0 || entry.method == 8) {
        if (!ZipMemberDataOffset(fd, entry, &offset, error))
            return nullptr;
        if (entry.method == 0) {
            // Unbuffered: the APK's reader asks for the ranges it needs, no more.
            auto window = std::make_unique<FileRangeDevice>(
                fd, offset, static_cast<qint64>(entry.compressedSize));
            window->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
            return window;
        }
        bool overLimit = false;
        QString ignored;
        if (auto view = OpenDeflatedView(fd, offset, entry.compressedSize, entry.uncompressedSize,
                                         memoryLimit, &overLimit, &ignored))
            return view;
    }
    return OpenZipMemberDevice(fd, entry, memoryLimit, error);
}

void readApk(int fd, const ZipCentralEntry& entry, const PackageInsightKeys& keys,
             qint64 memoryLimit, PackageApk* apk) {
    QString cause;
    const std::unique_ptr<QIODevice> device = openApk(fd, entry, memoryLimit, &cause);
    if (!device) {
        apk->factsError = cause;
        return;
    }
    ApkFacts facts;
    if (!ReadApkFacts(*device, &facts, &cause)) {
        apk->factsError = cause.isEmpty() ? QStringLiteral("not readable as an APK") : cause;
        return;
    }
    apk->facts = facts;
    apk->factsRead = true;
    apk->platformSigned = !keys.platformKey.isEmpty() && SignedWith(facts, keys.platformKey);
}

// The partitions the package carries as images: decoded into a scratch image,
// their filesystem's facts, their APKs (appended to the facts' list) and, for
// a system image without a system/build.prop member beside it, its build.prop.
void readImagePartitions(const QString& package, const PackageInsightKeys& keys,
                         const PackageInsightOptions& options, PackageFacts* facts) {
    OpenedZip zip;
    QString cause;
    if (!zip.open(package, &cause))
        return;
    const ZipPackageMembers members(zip);
    const auto hasMember = [&](const QString& name) { return members.has(name); };
    facts->uneditedImages = UneditedImagesOf(hasMember);
    const bool vbmeta = HasVbmetaImage(hasMember);
    ToolRunner runner;
    for (const char* name : kImagePartitions) {
        const QString partitionName = QLatin1String(name);
        const std::optional<BlockImagePartition> partition =
            PartitionImageIn(members, partitionName);
        if (!partition)
            continue;
        PackageImagePartition image;
        image.partition = partitionName;
        image.form = BlockImageFormWord(partition->form);
        image.member = partition->imageMember();
        PartitionImageWork work;
        if (!work.open(members, *partition, Ext4Image::Mode::ReadOnly, runner, &cause)) {
            image.error = cause;
            facts->imagePartitions.append(image);
            continue;
        }
        image.read = true;
        image.filesystem = work.image().facts();
        RawImageFacts raw;
        if (InspectRawImage(work.rawPath(), &raw, &cause)) {
            image.verityMetadata = raw.verityMetadata;
            image.avbFooter = raw.avbFooter;
        }
        image.verified = PartitionIsVerified(raw, vbmeta);
        facts->imagePartitions.append(image);
        if (partitionName == QLatin1String("system") && !facts->buildPropPresent) {
            QByteArray data;
            if (work.image().readFile(QStringLiteral("build.prop"), kBuildPropLimit, &data, &cause))
                applyBuildProp(data, facts);
        }
        for (const QString& member : ApkMembersInImage(work.image(), partitionName)) {
            PackageApk apk;
            apk.member = member;
            apk.image = partitionName;
            const ApkLocation location = *LocateApkMember(member);
            apk.place = location.place;
            apk.inDirectory = location.inDirectory;
            const QString path = member.mid(partitionName.size() + 1);
            Ext4Stat stat;
            if (work.image().stat(path, &stat, nullptr))
                apk.size = static_cast<qint64>(stat.size);
            if (options.readApks) {
                const std::unique_ptr<QIODevice> device =
                    OpenImageFileDevice(work.image(), path, &cause);
                ApkFacts apkFacts;
                if (!device) {
                    apk.factsError = cause;
                } else if (!ReadApkFacts(*device, &apkFacts, &cause)) {
                    apk.factsError =
                        cause.isEmpty() ? QStringLiteral("not readable as an APK") : cause;
                } else {
                    apk.facts = apkFacts;
                    apk.factsRead = true;
                    apk.platformSigned =
                        !keys.platformKey.isEmpty() && SignedWith(apkFacts, keys.platformKey);
                }
            }
            facts->apks.append(apk);
        }
    }
}

} // namespace

bool ReadPackageFacts(const QString& package, const PackageInsightKeys& keys,
                      const PackageInsightOptions& options, PackageFacts* facts, QString* error) {
    PackageFacts result;
    result.path = QFileInfo(package).absoluteFilePath();
    const UniqueFd file = OpenUniqueFd(package, O_RDONLY);
    if (!file.isOpen())
        return Fail(error, QStringLiteral("cannot open \"%1\": %2")
                               .arg(package, QString::fromLocal8Bit(std::strerror(errno))));
    FdSource archive(file.get(), 0);
    ZipDirectory directory;
    QString cause;
    if (!FdSource::open(file.get(), &archive, &cause) ||
        !ReadZipDirectory(archive, &directory, &cause))
        return Fail(error, QStringLiteral("\"%1\" is not a readable ZIP: %2").arg(package, cause));
    result.size = static_cast<qint64>(directory.fileSize);

    // The last entry of a name is the one every reader takes.
    QHash<QString, qsizetype> byName;
    QStringList order;
    for (qsizetype i = 0; i < directory.entries.size(); ++i) {
        const ZipCentralEntry& entry = directory.entries.at(i);
        if (entry.rawName.endsWith('/') || entry.rawName.endsWith('\\'))
            continue;
        const QString name = DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8);
        if (name.isEmpty())
            continue;
        if (!byName.contains(name))
            order << name;
        byName.insert(name, i);
    }
    const auto entryOf = [&](const QString& name) -> const ZipCentralEntry* {
        const auto found = byName.constFind(name);
        return found == byName.cend() ? nullptr : &directory.entries.at(found.value());
    };
    // The member list keeps a name and its backslash twin apart: the device
    // looks names up exactly, so they are two files. The last entry of a name
    // is the one listed.
    {
        QHash<QString, qsizetype> byListedName;
        QStringList listedOrder;
        for (qsizetype i = 0; i < directory.entries.size(); ++i) {
            const ZipCentralEntry& entry = directory.entries.at(i);
            if (entry.rawName.endsWith('/') || entry.rawName.endsWith('\\'))
                continue;
            const QString name = ListedMemberName(entry.rawName, entry.flags & kZipFlagUtf8);
            if (name.isEmpty())
                continue;
            if (!byListedName.contains(name))
                listedOrder << name;
            byListedName.insert(name, i);
        }
        for (const QString& name : listedOrder) {
            const ZipCentralEntry& entry = directory.entries.at(byListedName.value(name));
            result.members.append({name, entry.crc32, static_cast<qint64>(entry.uncompressedSize)});
        }
    }

    // The device looks build.prop up by its exact name: a twin spelt with a
    // backslash is another file.
    const ZipCentralEntry* buildProp = nullptr;
    for (const ZipCentralEntry& entry : directory.entries) {
        if (entry.rawName == kBuildPropRawName)
            buildProp = &entry;
    }
    if (buildProp)
        readBuildProp(archive, *buildProp, &result);

    QStringList apkNames;
    for (const QString& name : order) {
        if (LocateApkMember(name))
            apkNames << name;
    }
    std::sort(apkNames.begin(), apkNames.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    QList<const ZipCentralEntry*> apkEntries;
    for (const QString& name : apkNames) {
        const ZipCentralEntry& entry = *entryOf(name);
        PackageApk apk;
        apk.member = name;
        const ApkLocation location = *LocateApkMember(name);
        apk.place = location.place;
        apk.inDirectory = location.inDirectory;
        apk.size = static_cast<qint64>(entry.uncompressedSize);
        apk.stored = entry.method == 0;
        apk.crc32 = entry.crc32;
        result.apks.append(apk);
        apkEntries.append(&entry);
    }
    if (options.readApks) {
        // Inflating the deflated APKs is most of the work: the APKs are shared
        // out among a few threads (each reads with pread, at its own offsets;
        // each keeps at most one inflated APK in memory).
        PackageApk* apks = result.apks.data(); // detached once, before the threads
        const unsigned cores = WorkerThreadCount();
        const qsizetype helpers =
            qMin<qsizetype>(apkEntries.size() - 1, qBound(1u, cores, kMaxReaders) - 1);
        // The memory limit holds for all readers together.
        const qint64 memoryLimit = options.memoryLimit / (qMax<qsizetype>(helpers, 0) + 1);
        std::atomic<qsizetype> next{0};
        const auto work = [&] {
            for (qsizetype i = next++; i < apkEntries.size(); i = next++)
                readApk(file.get(), *apkEntries.at(i), keys, memoryLimit, &apks[i]);
        };
        std::vector<std::thread> threads;
        for (qsizetype i = 0; i < helpers; ++i)
            threads.emplace_back(work);
        work();
        for (std::thread& thread : threads)
            thread.join();
    }

    readImagePartitions(package, keys, options, &result);

    for (const ImageSlot& slot : kImageSlots) {
        PackageImage image;
        image.slot = QLatin1String(slot.name);
        image.member = QLatin1String(slot.treeSuffix).mid(1);
        if (const ZipCentralEntry* entry = entryOf(image.member)) {
            image.present = true;
            image.size = static_cast<qint64>(entry->uncompressedSize);
        }
        result.images.append(image);
    }

    readSignature(directory.comment, keys, &result.signature);
    if (!result.signature.present && options.verifySignature) {
        // Nothing to verify: the device's recovery refuses such a package.
        result.signature.check = WholeFileSignatureFacts::Check::Failed;
        result.signature.checkError = QStringLiteral("the package has no whole-file signature");
    } else if (options.verifySignature) {
        QString verifyError;
        const bool verified =
            VerifyWholeFileSignature(package, options.testKeyCertificatePath, &verifyError);
        result.signature.check = verified ? WholeFileSignatureFacts::Check::Verified
                                          : WholeFileSignatureFacts::Check::Failed;
        result.signature.checkError = verifyError;
    }
    if (const ZipCentralEntry* otaCerts = entryOf(QLatin1String(OtaCertsFacts::kMember)))
        readOtaCerts(archive, *otaCerts, keys, &result.otaCerts);

    *facts = result;
    return true;
}
