#include "cli/InfoCommand.h"

#include "cli/CliCommands.h"
#include "cli/CliReporter.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/PrintableText.h"

#include "core/base/WorkspacePaths.h"
#include "core/package/ApkRules.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString hex(const QByteArray& digest) {
    return QString::fromLatin1(digest.toHex());
}

QJsonValue stringOrNull(const QString& text) {
    return text.isNull() ? QJsonValue() : QJsonValue(text);
}

QString apkLayout(const PackageApk& apk) {
    return apk.inDirectory ? QStringLiteral("directory") : QStringLiteral("flat");
}

// The package is treated as laid out in directories when it is Android 5,
// as the windows treat it.
bool directoryLayout(const PackageFacts& facts) {
    return UsesDirectoryLayout(facts.majorVersion);
}

QString imageLayoutName(Ext4Layout layout) {
    return layout == Ext4Layout::SystemAsRoot ? QStringLiteral("system-as-root")
                                              : QStringLiteral("classic");
}

QJsonObject apkJson(const PackageApk& apk) {
    QJsonObject object;
    object.insert(QStringLiteral("path"), apk.member);
    object.insert(QStringLiteral("place"), ApkPlaceName(apk.place));
    object.insert(QStringLiteral("layout"), apkLayout(apk));
    object.insert(QStringLiteral("size"), apk.size);
    object.insert(QStringLiteral("stored"), apk.stored);
    if (!apk.image.isEmpty())
        object.insert(QStringLiteral("image"), apk.image);
    if (!apk.factsRead) {
        object.insert(QStringLiteral("error"), apk.factsError);
        return object;
    }
    const ApkFacts& facts = apk.facts;
    object.insert(QStringLiteral("packageName"), stringOrNull(facts.packageName));
    object.insert(QStringLiteral("versionCode"),
                  facts.versionCode < 0 ? QJsonValue() : QJsonValue(facts.versionCode));
    object.insert(QStringLiteral("versionName"), stringOrNull(facts.versionName));
    object.insert(QStringLiteral("minSdk"),
                  facts.minSdk < 0 ? QJsonValue() : QJsonValue(facts.minSdk));
    object.insert(QStringLiteral("targetSdk"),
                  facts.targetSdk < 0 ? QJsonValue() : QJsonValue(facts.targetSdk));
    object.insert(QStringLiteral("abis"), QJsonArray::fromStringList(facts.abis));
    object.insert(QStringLiteral("v1CertificateSha256"), HexOrNull(facts.v1CertificateSha256));
    object.insert(QStringLiteral("v2CertificateSha256"), HexOrNull(facts.v2CertificateSha256));
    object.insert(QStringLiteral("v3CertificateSha256"), HexOrNull(facts.v3CertificateSha256));
    QJsonArray schemes;
    for (const int scheme : facts.signatureSchemes)
        schemes.append(scheme);
    object.insert(QStringLiteral("signatureSchemes"), schemes);
    object.insert(QStringLiteral("platformSigned"), apk.platformSigned);
    return object;
}

// The certificate --verify checks against, as the output names it: "the test
// key", or the file given with --cert.
QString checkedWith(const CliOptions& options) {
    return options.verifyCertificate.isEmpty() ? QStringLiteral("the test key")
                                               : options.verifyCertificate;
}

// verifiedWith: the certificate file --verify checked against (empty without).
QString infoJson(const PackageFacts& facts, const QString& verifiedWith) {
    QJsonObject object;
    object.insert(QStringLiteral("schema"), kCliJsonSchema);
    object.insert(QStringLiteral("package"), facts.path);
    object.insert(QStringLiteral("size"), facts.size);
    object.insert(QStringLiteral("androidVersion"), stringOrNull(facts.release));
    object.insert(QStringLiteral("androidMajorVersion"), facts.majorVersion);
    object.insert(QStringLiteral("fingerprint"),
                  facts.fingerprint.isEmpty() ? QJsonValue() : QJsonValue(facts.fingerprint));
    object.insert(QStringLiteral("abis"), QJsonArray::fromStringList(facts.abis));
    object.insert(QStringLiteral("layout"),
                  directoryLayout(facts) ? QStringLiteral("directory") : QStringLiteral("flat"));

    const WholeFileSignatureFacts& signature = facts.signature;
    QJsonObject signatureObject;
    signatureObject.insert(QStringLiteral("present"), signature.present);
    signatureObject.insert(QStringLiteral("signerSha256"), HexOrNull(signature.signerSha256));
    signatureObject.insert(QStringLiteral("signerIsTestKey"), signature.signerIsTestKey);
    switch (signature.check) {
    case WholeFileSignatureFacts::Check::NotChecked:
        signatureObject.insert(QStringLiteral("verified"), QJsonValue());
        break;
    case WholeFileSignatureFacts::Check::Verified:
        signatureObject.insert(QStringLiteral("verified"), true);
        break;
    case WholeFileSignatureFacts::Check::Failed:
        signatureObject.insert(QStringLiteral("verified"), false);
        signatureObject.insert(QStringLiteral("verifyError"), signature.checkError);
        break;
    }
    if (!verifiedWith.isEmpty())
        signatureObject.insert(QStringLiteral("verifiedWith"),
                               QFileInfo(verifiedWith).absoluteFilePath());
    object.insert(QStringLiteral("wholeFileSignature"), signatureObject);

    const OtaCertsFacts& otaCerts = facts.otaCerts;
    QJsonObject otaObject;
    otaObject.insert(QStringLiteral("path"), QLatin1String(OtaCertsFacts::kMember));
    otaObject.insert(QStringLiteral("present"), otaCerts.present);
    QJsonArray digests;
    for (const QByteArray& digest : otaCerts.certificateSha256)
        digests.append(hex(digest));
    otaObject.insert(QStringLiteral("certificateSha256"), digests);
    otaObject.insert(QStringLiteral("includesTestKey"), otaCerts.includesTestKey);
    if (!otaCerts.error.isEmpty())
        otaObject.insert(QStringLiteral("error"), otaCerts.error);
    object.insert(QStringLiteral("otaCerts"), otaObject);

    QJsonArray apks;
    for (const PackageApk& apk : facts.apks)
        apks.append(apkJson(apk));
    object.insert(QStringLiteral("apks"), apks);

    QJsonArray images;
    for (const PackageImage& image : facts.images) {
        QJsonObject imageObject;
        imageObject.insert(QStringLiteral("slot"), image.slot);
        imageObject.insert(QStringLiteral("path"), image.member);
        imageObject.insert(QStringLiteral("present"), image.present);
        if (image.present)
            imageObject.insert(QStringLiteral("size"), image.size);
        images.append(imageObject);
    }
    object.insert(QStringLiteral("images"), images);

    QJsonArray partitions;
    for (const PackageImagePartition& image : facts.imagePartitions) {
        QJsonObject partition;
        partition.insert(QStringLiteral("partition"), image.partition);
        partition.insert(QStringLiteral("form"), image.form);
        partition.insert(QStringLiteral("path"), image.member);
        if (!image.read) {
            partition.insert(QStringLiteral("error"), image.error);
        } else {
            const Ext4Facts& fs = image.filesystem;
            partition.insert(QStringLiteral("filesystemSize"), static_cast<qint64>(fs.size()));
            partition.insert(QStringLiteral("blockSize"), static_cast<qint64>(fs.blockSize));
            partition.insert(QStringLiteral("freeBytes"), static_cast<qint64>(fs.freeBytes()));
            partition.insert(QStringLiteral("layout"), imageLayoutName(fs.layout));
            partition.insert(QStringLiteral("sharedBlocks"), fs.sharedBlocks);
            partition.insert(QStringLiteral("verityMetadata"), image.verityMetadata);
            partition.insert(QStringLiteral("avbFooter"), image.avbFooter);
            partition.insert(QStringLiteral("verified"), image.verified);
        }
        partitions.append(partition);
    }
    object.insert(QStringLiteral("imagePartitions"), partitions);
    object.insert(QStringLiteral("uneditedImages"),
                  QJsonArray::fromStringList(facts.uneditedImages));
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QString orUnknown(const QString& text) {
    return text.isEmpty() ? QStringLiteral("unknown") : text;
}

QString apkText(const PackageApk& apk) {
    QString text = QStringLiteral("  %1\n").arg(apk.member);
    text += QStringLiteral("    place: %1, %2; %3 bytes, %4\n")
                .arg(ApkPlaceName(apk.place), apkLayout(apk))
                .arg(apk.size)
                .arg(!apk.image.isEmpty() ? QStringLiteral("in the %1 image").arg(apk.image)
                     : apk.stored         ? QStringLiteral("stored")
                                          : QStringLiteral("deflated"));
    if (!apk.factsRead)
        return text + QStringLiteral("    not readable: %1\n").arg(apk.factsError);
    const ApkFacts& facts = apk.facts;
    text += QStringLiteral("    package: %1, version %2 (%3)\n")
                .arg(orUnknown(facts.packageName),
                     facts.versionCode < 0 ? QStringLiteral("unknown")
                                           : QString::number(facts.versionCode),
                     orUnknown(facts.versionName));
    const auto sdk = [](int level) {
        return level < 0 ? QStringLiteral("unknown") : QString::number(level);
    };
    text +=
        QStringLiteral("    sdk: min %1, target %2\n").arg(sdk(facts.minSdk), sdk(facts.targetSdk));
    text += QStringLiteral("    native ABIs: %1\n")
                .arg(facts.abis.isEmpty() ? QStringLiteral("none")
                                          : facts.abis.join(QStringLiteral(", ")));
    QStringList signers;
    const struct {
        const char* scheme;
        const QByteArray* digest;
    } schemes[] = {{"v1", &facts.v1CertificateSha256},
                   {"v2", &facts.v2CertificateSha256},
                   {"v3", &facts.v3CertificateSha256}};
    for (const auto& scheme : schemes) {
        if (!scheme.digest->isEmpty())
            signers << QStringLiteral("    %1 certificate SHA-256: %2\n")
                           .arg(QLatin1String(scheme.scheme), hex(*scheme.digest));
    }
    text += signers.isEmpty() ? QStringLiteral("    unsigned\n") : signers.join(QString());
    text += QStringLiteral("    platform key: %1\n")
                .arg(apk.platformSigned ? QStringLiteral("yes") : QStringLiteral("no"));
    return text;
}

QString signatureText(const WholeFileSignatureFacts& signature, const QString& with) {
    if (!signature.present)
        return signature.check == WholeFileSignatureFacts::Check::Failed
                   ? QStringLiteral("none, so nothing verifies")
                   : QStringLiteral("none");
    QString text = QStringLiteral("present");
    if (signature.signerSha256.isEmpty())
        text += QStringLiteral(", its signer unreadable");
    else
        text += QStringLiteral(", signer SHA-256 %1 (%2)")
                    .arg(hex(signature.signerSha256), signature.signerIsTestKey
                                                          ? QStringLiteral("the test key")
                                                          : QStringLiteral("not the test key"));
    switch (signature.check) {
    case WholeFileSignatureFacts::Check::NotChecked:
        return text + QStringLiteral(", not verified (--verify checks it)");
    case WholeFileSignatureFacts::Check::Verified:
        return text + QStringLiteral(", verifies with %1").arg(with);
    case WholeFileSignatureFacts::Check::Failed:
        return text +
               QStringLiteral(", does not verify with %1: %2").arg(with, signature.checkError);
    }
    return text;
}

QString otaCertsText(const OtaCertsFacts& otaCerts) {
    if (!otaCerts.present)
        return QStringLiteral("absent");
    QString text = QStringLiteral("%1 certificate(s), %2")
                       .arg(otaCerts.certificateSha256.size())
                       .arg(otaCerts.includesTestKey ? QStringLiteral("the test key among them")
                                                     : QStringLiteral("not the test key"));
    if (!otaCerts.error.isEmpty())
        text += QStringLiteral(" (unreadable: %1)").arg(otaCerts.error);
    return text;
}

QString infoText(const PackageFacts& facts, const CliOptions& options) {
    QString text = QStringLiteral("Package: %1 (%2 bytes)\n").arg(facts.path).arg(facts.size);
    text +=
        QStringLiteral("Android: %1\n")
            .arg(facts.release.isNull()
                     ? QStringLiteral("unknown")
                     : QStringLiteral("%1 (major %2)").arg(facts.release).arg(facts.majorVersion));
    text += QStringLiteral("Fingerprint: %1\n").arg(orUnknown(facts.fingerprint));
    text += QStringLiteral("ABIs: %1\n")
                .arg(facts.abis.isEmpty() ? QStringLiteral("unknown")
                                          : facts.abis.join(QStringLiteral(", ")));
    text += QStringLiteral("Layout: %1\n")
                .arg(directoryLayout(facts)
                         ? QStringLiteral("directory (each APK in a directory of its own)")
                         : QStringLiteral("flat"));
    text += QStringLiteral("Whole-file signature: %1\n")
                .arg(signatureText(facts.signature, checkedWith(options)));
    text += QStringLiteral("OTA certificates: %1\n").arg(otaCertsText(facts.otaCerts));
    text += QStringLiteral("APKs (%1):\n").arg(facts.apks.size());
    for (const PackageApk& apk : facts.apks)
        text += apkText(apk);
    if (!facts.imagePartitions.isEmpty())
        text += QStringLiteral("Partition images:\n");
    for (const PackageImagePartition& image : facts.imagePartitions) {
        text += QStringLiteral("  %1: %2 (%3)\n").arg(image.partition, image.form, image.member);
        if (!image.read) {
            text += QStringLiteral("    not readable: %1\n").arg(image.error);
            continue;
        }
        const Ext4Facts& fs = image.filesystem;
        text += QStringLiteral("    ext4, %1 bytes in blocks of %2, %3 bytes free\n")
                    .arg(fs.size())
                    .arg(fs.blockSize)
                    .arg(fs.freeBytes());
        text += QStringLiteral("    layout: %1; shared_blocks: %2\n")
                    .arg(imageLayoutName(fs.layout),
                         fs.sharedBlocks ? QStringLiteral("yes") : QStringLiteral("no"));
        QStringList verity;
        if (image.verityMetadata)
            verity << QStringLiteral("dm-verity metadata");
        if (image.avbFooter)
            verity << QStringLiteral("AVB footer");
        if (image.verified && verity.isEmpty())
            verity << QStringLiteral("vbmeta.img in the package");
        text +=
            QStringLiteral("    verity: %1\n")
                .arg(verity.isEmpty() ? QStringLiteral("none") : verity.join(QStringLiteral(", ")));
    }
    for (const QString& unedited : facts.uneditedImages)
        text += QStringLiteral("Not edited: %1\n").arg(unedited);
    text += QStringLiteral("Images:\n");
    for (const PackageImage& image : facts.images) {
        // The place of an image below a directory is shown beside it.
        const QString place =
            image.member == image.slot ? QString() : QStringLiteral("  (%1)").arg(image.member);
        text += QStringLiteral("  %1 %2%3\n")
                    .arg(image.slot, -18)
                    .arg(image.present ? QStringLiteral("%1 bytes").arg(image.size)
                                       : QStringLiteral("absent"),
                         place);
    }
    return text;
}

} // namespace

PackageFacts FactsForText(PackageFacts facts) {
    const auto escape = [](QString& text) {
        if (!text.isNull())
            text = EscapeUnprintable(text);
    };
    const auto escapeAll = [&](QStringList& texts) {
        for (QString& text : texts)
            escape(text);
    };
    escape(facts.path);
    escape(facts.release);
    escape(facts.fingerprint);
    escapeAll(facts.abis);
    QMap<QString, QString> properties;
    for (auto it = facts.buildProperties.cbegin(); it != facts.buildProperties.cend(); ++it)
        properties.insert(EscapeUnprintable(it.key()), EscapeUnprintable(it.value()));
    facts.buildProperties = properties;
    for (PackageApk& apk : facts.apks) {
        escape(apk.member);
        escape(apk.factsError);
        escape(apk.facts.packageName);
        escape(apk.facts.versionName);
        escapeAll(apk.facts.abis);
    }
    for (PackageImage& image : facts.images)
        escape(image.member);
    for (PackageImagePartition& image : facts.imagePartitions)
        escape(image.error);
    for (PackageMember& member : facts.members)
        escape(member.name);
    escape(facts.signature.checkError);
    escape(facts.otaCerts.error);
    return facts;
}

QJsonValue HexOrNull(const QByteArray& digest) {
    return digest.isEmpty() ? QJsonValue() : QJsonValue(hex(digest));
}

PackageInsightKeys LoadBundleKeys(const QString& bundleDirectory) {
    const WorkspacePaths paths(bundleDirectory);
    const QString testKey = paths.keyFile(QStringLiteral("testkey.x509.pem"));
    PackageInsightKeys keys;
    QString cause;
    PrintStep(QStringLiteral("reading the keys in %1").arg(QFileInfo(testKey).path()));
    if (!CertificateFileDer(testKey, &keys.testKey, &cause))
        PrintWarning(QStringLiteral("the test key cannot be read: %1").arg(cause));
    if (!CertificateFileDer(paths.keyFile(QStringLiteral("platform.x509.pem")), &keys.platformKey,
                            &cause))
        PrintWarning(QStringLiteral("the platform key cannot be read: %1").arg(cause));
    return keys;
}

void PrintCommandFailure(bool json, const QString& cause) {
    PrintError(cause);
    if (!json)
        return;
    QJsonObject object;
    object.insert(QStringLiteral("schema"), kCliJsonSchema);
    object.insert(QStringLiteral("error"), cause);
    PrintStandardOutput(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
                        QLatin1Char('\n'));
}

QString InfoCommand::usage() const {
    return QStringLiteral(
        "Usage: corvane-cli info PACKAGE [--json] [--verify] [--cert CERT]\n"
        "\n"
        "Shows what a firmware update package holds, reading its central directory\n"
        "and the few members that tell it (the package is not unpacked):\n"
        "- the Android version, ro.build.fingerprint and the ABIs of\n"
        "  system/build.prop;\n"
        "- each APK of system/app, system/priv-app, system/framework, userdata/app\n"
        "  and vendor/app (places app, priv-app, framework, data, vendor): its place and\n"
        "  layout (flat, or in a directory of its own), size, package name,\n"
        "  versionCode and versionName, minSdk and targetSdk, the ABIs of its native\n"
        "  libraries, the SHA-256 of its signing certificates (v1, v2, v3) and\n"
        "  whether it is signed with the bundle's platform key;\n"
        "- the images present;\n"
        "- the whole-file signature: whether there is one and whether its signer is\n"
        "  the bundle's test key (with --verify: whether it verifies);\n"
        "- whether system/etc/security/otacerts.zip holds the test key (if not, the\n"
        "  device will refuse every later update signed with it).\n"
        "\n"
        "Options:\n"
        "  --json        print the same as one JSON object (\"schema\": 1); an error\n"
        "                is a JSON object too ({\"schema\": 1, \"error\": ...})\n"
        "  --verify      check the whole-file signature's digest against the test key\n"
        "                (reads every byte of the package); exit status 1 when the\n"
        "                package is not signed or its signature does not verify\n"
        "  --cert CERT   check it against this certificate (PEM or DER) instead of the\n"
        "                test key, e.g. a customer's for --package-key (implies --verify)\n"
        "  -q, --quiet   no warnings\n"
        "  -v, --verbose the steps on standard error\n"
        "  -h, --help    show this help\n");
}

int InfoCommand::run(const CliOptions& options, const CommandContext& context) const {
    const QString& bundleDirectory = context.bundleDirectory;
    const PackageInsightKeys keys = LoadBundleKeys(bundleDirectory);
    PackageInsightOptions insight;
    insight.verifySignature = options.verify;
    insight.testKeyCertificatePath =
        options.verifyCertificate.isEmpty()
            ? WorkspacePaths(bundleDirectory).keyFile(QStringLiteral("testkey.x509.pem"))
            : options.verifyCertificate;
    PrintStep(QStringLiteral("reading %1").arg(options.package));
    PackageFacts facts;
    QString cause;
    // A FIFO would block the open, a device might never end.
    if (!FileHelpers::IsRegularOrMissing(options.package)) {
        PrintCommandFailure(options.json,
                            QStringLiteral("\"%1\" is not a regular file").arg(options.package));
        return kExitFailed;
    }
    if (!ReadPackageFacts(options.package, keys, insight, &facts, &cause)) {
        PrintCommandFailure(options.json, cause);
        return kExitFailed;
    }
    for (const PackageApk& apk : facts.apks) {
        if (!apk.factsRead)
            PrintWarning(
                QStringLiteral("%1 cannot be read as an APK: %2").arg(apk.member, apk.factsError));
    }
    if (!facts.buildPropPresent)
        PrintWarning(QStringLiteral("the package has no readable system/build.prop"));
    for (const PackageImagePartition& image : facts.imagePartitions)
        if (image.verified)
            PrintWarning(Msg::VerifiedPartitionWarning(image.partition));
    if (facts.otaCerts.present && !facts.otaCerts.includesTestKey)
        PrintWarning(QStringLiteral("%1 does not hold the test key: the device will refuse "
                                    "every later update signed with it")
                         .arg(QLatin1String(OtaCertsFacts::kMember)));
    PrintStandardOutput(
        options.json ? infoJson(facts, options.verify ? insight.testKeyCertificatePath : QString())
                     : infoText(FactsForText(facts), options));
    // --verify is a gate: a signature that does not verify fails the run.
    if (facts.signature.check == WholeFileSignatureFacts::Check::Failed) {
        PrintError(QStringLiteral("the whole-file signature does not verify with %1: %2")
                       .arg(checkedWith(options), facts.signature.checkError));
        return kExitFailed;
    }
    return kExitSuccess;
}
