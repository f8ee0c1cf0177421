#pragma once

#include "core/crypto/SigningKey.h" // CertificateDer, CertificateFileDer
#include "core/format/BuildProp.h"
#include "core/format/Ext4Image.h"
#include "core/package/ApkInsight.h"
#include "core/package/ApkRules.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

// What a firmware package holds, read from its central directory and the few
// members that tell it (system/build.prop, the APKs,
// system/etc/security/otacerts.zip, the whole-file signature in the archive
// comment), without unpacking it.

// build.prop is read by the one model of it (ParseBuildProp, DeviceAbisOfBuildProp).

struct PackageApk {
    QString member; // "system/app/Foo/Foo.apk"
    ApkPlace place = ApkPlace::App;
    // In a directory of its own below its partition's folder
    // ("system/app/Foo/Foo.apk"), not flat ("system/app/Foo.apk").
    bool inDirectory = false;
    qint64 size = 0;     // uncompressed
    bool stored = false; // stored in the package (read in place), not deflated
    quint32 crc32 = 0;   // from the central directory
    bool factsRead = false;
    QString factsError; // why the facts could not be read
    ApkFacts facts;
    bool platformSigned = false; // SignedWith the bundle's platform certificate
    // The partition whose image holds it ("system"); empty for a member of
    // the package. member is then its path in the partition, as a member.
    QString image;
};

// A partition the package carries as an ext4 image.
struct PackageImagePartition {
    QString partition; // "system", "vendor"
    QString form;      // "raw", "sparse", "dat", "dat.br"
    QString member;    // "system.new.dat.br"
    bool read = false; // decoded and opened; else error says why
    QString error;
    Ext4Facts filesystem;
    // dm-verity metadata after the filesystem, an AVB footer at the image's
    // end; verified also when the package holds vbmeta.img: the device
    // refuses the partition once edited (Msg::VerifiedPartitionWarning).
    bool verityMetadata = false;
    bool avbFooter = false;
    bool verified = false;
};

struct PackageImage {
    QString slot;   // "logo.img"
    QString member; // "system/media/bootanimation.zip"
    bool present = false;
    qint64 size = 0;
};

// A member as the central directory gives it (the last entry of its name).
struct PackageMember {
    QString name;
    quint32 crc32 = 0;
    qint64 size = 0;
};

struct WholeFileSignatureFacts {
    bool present = false;         // a signature footer ends the archive comment
    QByteArray signerSha256;      // of the certificate in the block (empty when unreadable)
    bool signerIsTestKey = false; // that certificate is the bundle's test key
    enum class Check { NotChecked, Verified, Failed };
    // The digest over the whole file (when asked); an absent signature fails.
    Check check = Check::NotChecked;
    QString checkError;
};

struct OtaCertsFacts {
    static constexpr const char* kMember = "system/etc/security/otacerts.zip";
    bool present = false;
    QList<QByteArray> certificateSha256; // of each certificate file it holds
    bool includesTestKey = false;
    QString error; // present but unreadable (or one of its files is no certificate)
};

struct PackageFacts {
    QString path; // absolute
    qint64 size = 0;
    bool buildPropPresent = false;
    QString release;      // ro.build.version.release; null when absent
    int majorVersion = 0; // the release's leading number, 0 when unknown
    QString fingerprint;  // ro.build.fingerprint
    QStringList abis;     // ro.product.cpu.abilist, else ro.product.cpu.abi and abi2
    QMap<QString, QString> buildProperties;
    QList<PackageApk> apks;       // in case-insensitive order of their member names
    QList<PackageImage> images;   // every slot, in slot order
    QList<PackageMember> members; // every file member, in directory order
    QList<PackageImagePartition> imagePartitions;
    // Images named but never edited: "super.img (dynamic partitions)", ...
    QStringList uneditedImages;
    WholeFileSignatureFacts signature;
    OtaCertsFacts otaCerts;
};

// The certificates the facts are judged against (DER; either may be empty).
struct PackageInsightKeys {
    QByteArray testKey;
    QByteArray platformKey;
};

struct PackageInsightOptions {
    // Check the whole-file signature's digest over the whole file (reads
    // every byte; otherwise only its signer is read).
    bool verifySignature = false;
    QString testKeyCertificatePath; // the certificate the check uses
    // Read each APK's facts (in place: a stored APK through a window onto
    // the package, a deflated one with its stored blocks read where they lie
    // and only its compressed blocks inflated).
    bool readApks = true;
    // The APKs are read by a few threads at once (one per core, up to 4),
    // each holding one APK at a time. A deflated APK whose compressed blocks
    // fit in this limit shared out among them is read in place; else it is
    // inflated whole, in memory when it fits, or into a temporary file.
    qint64 memoryLimit = 32 * 1024 * 1024; // the process stays under 64 MB
};

// Reads the facts of the package. False with the cause only when the file
// cannot be read as a ZIP; a member that cannot be read (an APK, otacerts.zip)
// is told in its own facts.
bool ReadPackageFacts(const QString& package, const PackageInsightKeys& keys,
                      const PackageInsightOptions& options, PackageFacts* facts, QString* error);
