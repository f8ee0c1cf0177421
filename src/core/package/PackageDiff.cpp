#include "core/package/PackageDiff.h"

#include "core/PackageLayout.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

bool sameBytes(const PackageMember& a, const PackageMember& b) {
    return a.crc32 == b.crc32 && a.size == b.size;
}

// The names of both lists in one sorted list, each once.
template <typename T, typename Name>
QStringList unionOfNames(const QList<T>& a, const QList<T>& b, Name name) {
    QSet<QString> seen;
    QStringList names;
    for (const QList<T>* list : {&a, &b}) {
        for (const T& item : *list) {
            const QString n = name(item);
            if (!seen.contains(n)) {
                seen.insert(n);
                names << n;
            }
        }
    }
    std::sort(names.begin(), names.end());
    return names;
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

    QHash<QString, PackageApk> apksA;
    QHash<QString, PackageApk> apksB;
    for (const PackageApk& apk : first.apks)
        apksA.insert(apk.member, apk);
    for (const PackageApk& apk : second.apks)
        apksB.insert(apk.member, apk);
    const auto apkName = [](const PackageApk& apk) { return apk.member; };
    for (const QString& name : unionOfNames(first.apks, second.apks, apkName)) {
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
    QHash<QString, PackageMember> membersA;
    QHash<QString, PackageMember> membersB;
    for (const PackageMember& member : first.members)
        membersA.insert(member.name, member);
    for (const PackageMember& member : second.members)
        membersB.insert(member.name, member);
    const auto memberName = [](const PackageMember& member) { return member.name; };
    for (const QString& name : unionOfNames(first.members, second.members, memberName)) {
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
