#include "core/package/PackageDiff.h"

#include "core/base/ErrorText.h"
#include "core/base/UniqueFd.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"
#include "core/package/PackageLayout.h"

#include <QCryptographicHash>

#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace {

bool alike(quint32 crcA, qint64 sizeA, quint32 crcB, qint64 sizeB) {
    return crcA == crcB && sizeA == sizeB;
}

// Alike in the directories, and (where digests were read) in content.
bool sameContents(const QString& name, const MemberDigests& a, const MemberDigests& b) {
    const auto foundA = a.constFind(name);
    const auto foundB = b.constFind(name);
    if (foundA == a.cend() || foundB == b.cend())
        return true;
    return foundA.value() == foundB.value();
}

// The items of a list by their names (the last of a name wins).
template <typename T, typename Name> QHash<QString, T> byName(const QList<T>& items, Name name) {
    QHash<QString, T> named;
    for (const T& item : items)
        named.insert(name(item), item);
    return named;
}

// The names of both in one sorted list, each once.
template <typename T>
QStringList unionOfNames(const QHash<QString, T>& a, const QHash<QString, T>& b) {
    QSet<QString> names(a.keyBegin(), a.keyEnd());
    for (auto it = b.keyBegin(); it != b.keyEnd(); ++it)
        names.insert(*it);
    QStringList sorted(names.cbegin(), names.cend());
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

} // namespace

QByteArray ApkSignerSha256(const PackageApk& apk) {
    for (const QByteArray* digest : {&apk.facts.v3CertificateSha256, &apk.facts.v2CertificateSha256,
                                     &apk.facts.v1CertificateSha256}) {
        if (!digest->isEmpty())
            return *digest;
    }
    return {};
}

QString ChangeKindName(ChangeKind kind) {
    switch (kind) {
    case ChangeKind::Added:
        return QStringLiteral("added");
    case ChangeKind::Removed:
        return QStringLiteral("removed");
    case ChangeKind::Changed:
        return QStringLiteral("changed");
    }
    return {};
}

PackageDifference DiffPackages(const PackageFacts& first, const PackageFacts& second,
                               const MemberDigests& digestsOfFirst,
                               const MemberDigests& digestsOfSecond) {
    PackageDifference difference;

    const auto apkName = [](const PackageApk& apk) { return apk.member; };
    const QHash<QString, PackageApk> apksA = byName(first.apks, apkName);
    const QHash<QString, PackageApk> apksB = byName(second.apks, apkName);
    for (const QString& name : unionOfNames(apksA, apksB)) {
        const bool inA = apksA.contains(name);
        const bool inB = apksB.contains(name);
        ApkChange change;
        change.member = name;
        change.before = apksA.value(name);
        change.after = apksB.value(name);
        if (inA && inB) {
            if (alike(change.before.crc32, change.before.size, change.after.crc32,
                      change.after.size) &&
                sameContents(name, digestsOfFirst, digestsOfSecond))
                continue;
            change.kind = ChangeKind::Changed;
        } else {
            change.kind = inA ? ChangeKind::Removed : ChangeKind::Added;
        }
        difference.apks.append(change);
    }

    const QStringList keys = [&] {
        QStringList all = first.buildProperties.keys() + second.buildProperties.keys();
        std::sort(all.begin(), all.end());
        all.erase(std::unique(all.begin(), all.end()), all.end());
        return all;
    }();
    for (const QString& key : keys) {
        const bool inA = first.buildProperties.contains(key);
        const bool inB = second.buildProperties.contains(key);
        PropertyChange change;
        change.key = key;
        if (inA)
            change.before = first.buildProperties.value(key);
        if (inB)
            change.after = second.buildProperties.value(key);
        if (inA && inB && change.before == change.after)
            continue;
        change.kind = inA && inB ? ChangeKind::Changed
                      : inA      ? ChangeKind::Removed
                                 : ChangeKind::Added;
        difference.properties.append(change);
    }

    QSet<QString> imageMembers;
    for (const ImageSlot& slot : kImageSlots)
        imageMembers.insert(QLatin1String(slot.treeSuffix).mid(1));
    const auto memberName = [](const PackageMember& member) { return member.name; };
    const QHash<QString, PackageMember> membersA = byName(first.members, memberName);
    const QHash<QString, PackageMember> membersB = byName(second.members, memberName);
    for (const QString& name : unionOfNames(membersA, membersB)) {
        if (apksA.contains(name) || apksB.contains(name))
            continue;
        const bool inA = membersA.contains(name);
        const bool inB = membersB.contains(name);
        MemberChange change;
        change.name = name;
        change.before = membersA.value(name);
        change.after = membersB.value(name);
        if (inA && inB &&
            alike(change.before.crc32, change.before.size, change.after.crc32, change.after.size) &&
            sameContents(name, digestsOfFirst, digestsOfSecond))
            continue;
        change.kind = inA && inB ? ChangeKind::Changed
                      : inA      ? ChangeKind::Removed
                                 : ChangeKind::Added;
        (imageMembers.contains(name) ? difference.images : difference.files).append(change);
    }
    return difference;
}

QStringList MembersAlikeInDirectory(const PackageFacts& first, const PackageFacts& second) {
    QHash<QString, const PackageMember*> inFirst;
    for (const PackageMember& member : first.members)
        inFirst.insert(member.name, &member);
    QStringList names;
    for (const PackageMember& member : second.members) {
        const PackageMember* other = inFirst.value(member.name);
        if (other && alike(other->crc32, other->size, member.crc32, member.size))
            names << member.name;
    }
    names.removeDuplicates();
    return names;
}

bool ReadMemberDigests(const QString& package, const QStringList& names, MemberDigests* digests,
                       QString* error) {
    digests->clear();
    const UniqueFd file = OpenUniqueFd(package, O_RDONLY);
    if (!file.isOpen())
        return Fail(error, QStringLiteral("cannot open \"%1\": %2")
                               .arg(package, QString::fromLocal8Bit(std::strerror(errno))));
    ZipDirectory directory;
    QString cause;
    if (!ReadZipDirectory(file.get(), &directory, &cause))
        return Fail(error, QStringLiteral("\"%1\" is not a readable ZIP: %2").arg(package, cause));
    // The last entry of a name, as the facts take it.
    const QSet<QString> wanted(names.cbegin(), names.cend());
    QHash<QString, const ZipCentralEntry*> entries;
    for (const ZipCentralEntry& entry : directory.entries) {
        if (entry.rawName.endsWith('/') || entry.rawName.endsWith('\\'))
            continue;
        const QString name = ListedMemberName(entry.rawName, entry.flags & kZipFlagUtf8);
        if (wanted.contains(name))
            entries.insert(name, &entry);
    }
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (!ReadZipMemberData(
                file.get(), *it.value(),
                [&hash](const char* data, qint64 size) {
                    hash.addData(QByteArrayView(data, size));
                    return true;
                },
                &cause))
            return Fail(error, QStringLiteral("\"%1\": its member %2 is damaged: %3")
                                   .arg(package, it.key(), cause));
        digests->insert(it.key(), hash.result());
    }
    return true;
}

bool DiffPackageFiles(const PackageFacts& first, const PackageFacts& second,
                      PackageDifference* difference, QString* error) {
    const QStringList alikeNames = MembersAlikeInDirectory(first, second);
    MemberDigests digestsOfFirst;
    MemberDigests digestsOfSecond;
    if (!ReadMemberDigests(first.path, alikeNames, &digestsOfFirst, error) ||
        !ReadMemberDigests(second.path, alikeNames, &digestsOfSecond, error))
        return false;
    *difference = DiffPackages(first, second, digestsOfFirst, digestsOfSecond);
    return true;
}
