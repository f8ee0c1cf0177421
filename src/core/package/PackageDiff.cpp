#include "core/package/PackageDiff.h"

#include "core/package/PackageLayout.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

bool sameBytes(const PackageMember& a, const PackageMember& b) {
    return a.crc32 == b.crc32 && a.size == b.size;
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

PackageDifference DiffPackages(const PackageFacts& first, const PackageFacts& second) {
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
            if (change.before.crc32 == change.after.crc32 &&
                change.before.size == change.after.size)
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
        if (inA && inB && sameBytes(change.before, change.after))
            continue;
        change.kind = inA && inB ? ChangeKind::Changed
                      : inA      ? ChangeKind::Removed
                                 : ChangeKind::Added;
        (imageMembers.contains(name) ? difference.images : difference.files).append(change);
    }
    return difference;
}
