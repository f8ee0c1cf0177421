#include "cli/DiffCommand.h"

#include "cli/CliCommands.h"
#include "cli/CliReporter.h"
#include "cli/InfoCommand.h"

#include "core/base/FileHelpers.h"
#include "core/base/PrintableText.h"

#include "core/package/PackageDiff.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int kExitDifferent = 1;
constexpr int kExitTrouble = 2;

QString version(const PackageApk& apk) {
    if (!apk.factsRead)
        return QStringLiteral("unknown");
    const QString code = apk.facts.versionCode < 0 ? QStringLiteral("unknown")
                                                   : QString::number(apk.facts.versionCode);
    return apk.facts.versionName.isEmpty()
               ? code
               : QStringLiteral("%1 (%2)").arg(code, apk.facts.versionName);
}

QString signer(const PackageApk& apk) {
    const QByteArray digest = ApkSignerSha256(apk);
    return digest.isEmpty() ? QStringLiteral("none") : QString::fromLatin1(digest.toHex());
}

QString crc(quint32 value) {
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}

QString apkLine(const ApkChange& change) {
    if (change.kind != ChangeKind::Changed) {
        const PackageApk& apk = change.kind == ChangeKind::Added ? change.after : change.before;
        return QStringLiteral("  %1 %2 (%3, version %4, %5 bytes)\n")
            .arg(ChangeKindName(change.kind), -8)
            .arg(change.member,
                 apk.factsRead && !apk.facts.packageName.isEmpty() ? apk.facts.packageName
                                                                   : QStringLiteral("unknown"),
                 version(apk))
            .arg(apk.size);
    }
    QStringList what;
    if (version(change.before) != version(change.after))
        what << QStringLiteral("version %1 -> %2")
                    .arg(version(change.before), version(change.after));
    if (signer(change.before) != signer(change.after))
        what << QStringLiteral("signer %1 -> %2").arg(signer(change.before), signer(change.after));
    if (change.before.size != change.after.size)
        what << QStringLiteral("size %1 -> %2").arg(change.before.size).arg(change.after.size);
    if (what.isEmpty() && change.before.crc32 == change.after.crc32)
        what << QStringLiteral("content (the same CRC-32 %1)").arg(crc(change.before.crc32));
    else if (what.isEmpty())
        what << QStringLiteral("content (CRC-32 %1 -> %2)")
                    .arg(crc(change.before.crc32), crc(change.after.crc32));
    return QStringLiteral("  %1 %2: %3\n")
        .arg(ChangeKindName(change.kind), -8)
        .arg(change.member, what.join(QStringLiteral("; ")));
}

QString memberLine(const MemberChange& change) {
    switch (change.kind) {
    case ChangeKind::Added:
        return QStringLiteral("  added    %1 (%2 bytes)\n").arg(change.name).arg(change.after.size);
    case ChangeKind::Removed:
        return QStringLiteral("  removed  %1 (%2 bytes)\n")
            .arg(change.name)
            .arg(change.before.size);
    case ChangeKind::Changed:
        break;
    }
    if (change.before.size == change.after.size && change.before.crc32 == change.after.crc32)
        return QStringLiteral("  changed  %1: content (the same %2 bytes and CRC-32 %3)\n")
            .arg(change.name)
            .arg(change.after.size)
            .arg(crc(change.after.crc32));
    return QStringLiteral("  changed  %1: %2 -> %3 bytes, CRC-32 %4 -> %5\n")
        .arg(change.name)
        .arg(change.before.size)
        .arg(change.after.size)
        .arg(crc(change.before.crc32), crc(change.after.crc32));
}

QString propertyLine(const PropertyChange& change) {
    switch (change.kind) {
    case ChangeKind::Added:
        return QStringLiteral("  added    %1=%2\n").arg(change.key, change.after);
    case ChangeKind::Removed:
        return QStringLiteral("  removed  %1=%2\n").arg(change.key, change.before);
    case ChangeKind::Changed:
        break;
    }
    return QStringLiteral("  changed  %1: %2 -> %3\n").arg(change.key, change.before, change.after);
}

// The difference with every text read from the packages escaped where it is
// not printable: a name cannot forge a line or steer a terminal.
PackageDifference escapedForText(PackageDifference difference) {
    const auto escapeApk = [](PackageApk& apk) {
        apk.member = EscapeUnprintable(apk.member);
        apk.facts.packageName = EscapeUnprintable(apk.facts.packageName);
        apk.facts.versionName = EscapeUnprintable(apk.facts.versionName);
    };
    for (ApkChange& change : difference.apks) {
        change.member = EscapeUnprintable(change.member);
        escapeApk(change.before);
        escapeApk(change.after);
    }
    for (PropertyChange& change : difference.properties) {
        change.key = EscapeUnprintable(change.key);
        if (!change.before.isNull())
            change.before = EscapeUnprintable(change.before);
        if (!change.after.isNull())
            change.after = EscapeUnprintable(change.after);
    }
    for (QList<MemberChange>* changes : {&difference.images, &difference.files}) {
        for (MemberChange& change : *changes)
            change.name = EscapeUnprintable(change.name);
    }
    return difference;
}

QString diffText(const PackageDifference& difference) {
    QString text;
    const auto section = [&](const QString& title, qsizetype count) {
        if (count > 0)
            text += QStringLiteral("%1 (%2):\n").arg(title).arg(count);
    };
    section(QStringLiteral("APKs"), difference.apks.size());
    for (const ApkChange& change : difference.apks)
        text += apkLine(change);
    section(QStringLiteral("build.prop"), difference.properties.size());
    for (const PropertyChange& change : difference.properties)
        text += propertyLine(change);
    section(QStringLiteral("Images"), difference.images.size());
    for (const MemberChange& change : difference.images)
        text += memberLine(change);
    section(QStringLiteral("Other files"), difference.files.size());
    for (const MemberChange& change : difference.files)
        text += memberLine(change);
    return text;
}

QJsonObject apkSide(const PackageApk& apk) {
    QJsonObject object;
    object.insert(QStringLiteral("size"), apk.size);
    object.insert(QStringLiteral("crc32"), crc(apk.crc32));
    if (apk.factsRead) {
        object.insert(QStringLiteral("packageName"), apk.facts.packageName);
        object.insert(QStringLiteral("versionCode"),
                      apk.facts.versionCode < 0 ? QJsonValue() : QJsonValue(apk.facts.versionCode));
        object.insert(QStringLiteral("versionName"), apk.facts.versionName.isNull()
                                                         ? QJsonValue()
                                                         : QJsonValue(apk.facts.versionName));
        object.insert(QStringLiteral("signerSha256"), HexOrNull(ApkSignerSha256(apk)));
    }
    return object;
}

QJsonObject memberSide(const PackageMember& member) {
    QJsonObject object;
    object.insert(QStringLiteral("size"), member.size);
    object.insert(QStringLiteral("crc32"), crc(member.crc32));
    return object;
}

// One change: its kind, its name, and the sides it has.
template <typename Side>
QJsonObject changeJson(ChangeKind kind, const QString& nameKey, const QString& name,
                       const Side& before, const Side& after) {
    QJsonObject object;
    object.insert(QStringLiteral("change"), ChangeKindName(kind));
    object.insert(nameKey, name);
    if (kind != ChangeKind::Added)
        object.insert(QStringLiteral("before"), before);
    if (kind != ChangeKind::Removed)
        object.insert(QStringLiteral("after"), after);
    return object;
}

QString diffJson(const CliOptions& options, const PackageDifference& difference) {
    QJsonObject object;
    object.insert(QStringLiteral("schema"), kCliJsonSchema);
    object.insert(QStringLiteral("packages"), QJsonArray{options.package, options.secondPackage});
    object.insert(QStringLiteral("same"), difference.isEmpty());
    QJsonArray apks;
    for (const ApkChange& change : difference.apks)
        apks.append(changeJson(change.kind, QStringLiteral("path"), change.member,
                               apkSide(change.before), apkSide(change.after)));
    object.insert(QStringLiteral("apks"), apks);
    QJsonArray properties;
    for (const PropertyChange& change : difference.properties)
        properties.append(changeJson(change.kind, QStringLiteral("key"), change.key,
                                     QJsonValue(change.before), QJsonValue(change.after)));
    object.insert(QStringLiteral("buildProperties"), properties);
    const auto members = [](const QList<MemberChange>& changes) {
        QJsonArray array;
        for (const MemberChange& change : changes)
            array.append(changeJson(change.kind, QStringLiteral("path"), change.name,
                                    memberSide(change.before), memberSide(change.after)));
        return array;
    };
    object.insert(QStringLiteral("images"), members(difference.images));
    object.insert(QStringLiteral("files"), members(difference.files));
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

} // namespace

QString DiffCommand::usage() const {
    return QStringLiteral(
        "Usage: corvane-cli diff PACKAGE1 PACKAGE2 [--json]\n"
        "\n"
        "Compares two firmware update packages, from their central directories and\n"
        "the members that tell it (neither is unpacked): the APKs added, removed and\n"
        "changed (version, signer, size), the build.prop properties changed, and the\n"
        "images and other files changed (by CRC-32 and size).\n"
        "\n"
        "Options:\n"
        "  --json        print the same as one JSON object (\"schema\": 1)\n"
        "  -q, --quiet   no warnings\n"
        "  -v, --verbose the steps on standard error\n"
        "  -h, --help    show this help\n"
        "\n"
        "Exit status: 0 the packages are the same, 1 they differ, 2 an error.\n");
}

int DiffCommand::run(const CliOptions& options, const CommandContext& context) const {
    const PackageInsightKeys keys = LoadBundleKeys(context.bundleDirectory);
    const PackageInsightOptions insight;
    PackageFacts facts[2];
    const QString packages[2] = {options.package, options.secondPackage};
    for (int i = 0; i < 2; ++i) {
        PrintStep(QStringLiteral("reading %1").arg(packages[i]));
        QString cause;
        // A FIFO would block the open, a device might never end.
        if (!FileHelpers::IsRegularOrMissing(packages[i])) {
            PrintCommandFailure(options.json,
                                QStringLiteral("\"%1\" is not a regular file").arg(packages[i]));
            return kExitTrouble;
        }
        if (!ReadPackageFacts(packages[i], keys, insight, &facts[i], &cause)) {
            PrintCommandFailure(options.json, cause);
            return kExitTrouble;
        }
    }
    PrintStep(QStringLiteral("comparing"));
    // Members alike in both directories are compared by their contents too.
    PackageDifference difference;
    QString cause;
    if (!DiffPackageFiles(facts[0], facts[1], &difference, &cause)) {
        PrintCommandFailure(options.json, cause);
        return kExitTrouble;
    }
    if (options.json) {
        PrintStandardOutput(diffJson(options, difference));
    } else {
        PrintStandardOutput(diffText(escapedForText(difference)));
    }
    return difference.isEmpty() ? kExitSuccess : kExitDifferent;
}
