#pragma once

#include "core/package/PackageInsight.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

// What differs between two packages, from their facts (PackageInsight):
// the APKs, the build.prop properties, the images and every other file.
// Members are matched by name; a member changed when its CRC-32 or size
// differs in the central directories.

enum class ChangeKind { Added, Removed, Changed };

struct ApkChange {
    ChangeKind kind = ChangeKind::Changed;
    QString member;
    // The APK in the first package (Removed, Changed) and in the second
    // (Added, Changed).
    PackageApk before;
    PackageApk after;
};

struct PropertyChange {
    ChangeKind kind = ChangeKind::Changed;
    QString key;
    QString before; // null when Added
    QString after;  // null when Removed
};

struct MemberChange {
    ChangeKind kind = ChangeKind::Changed;
    QString name;
    PackageMember before;
    PackageMember after;
};

struct PackageDifference {
    QList<ApkChange> apks;
    QList<PropertyChange> properties;
    QList<MemberChange> images; // the image slots' members
    QList<MemberChange> files;  // every other member (build.prop among them)
    bool isEmpty() const {
        return apks.isEmpty() && properties.isEmpty() && images.isEmpty() && files.isEmpty();
    }
};

// The contents' digests (SHA-256 of the uncompressed bytes) by member name,
// for members whose CRC-32 and size agree: CRC-32 is no digest, so two
// members alike in the directories may still differ.
using MemberDigests = QHash<QString, QByteArray>;

PackageDifference DiffPackages(const PackageFacts& first, const PackageFacts& second,
                               const MemberDigests& digestsOfFirst = {},
                               const MemberDigests& digestsOfSecond = {});

// The names of the members both packages hold with the same CRC-32 and size.
QStringList MembersAlikeInDirectory(const PackageFacts& first, const PackageFacts& second);

// The digests of the named members of the package (the last entry of each
// name, as the facts take it), reading each member once. False with the
// cause.
bool ReadMemberDigests(const QString& package, const QStringList& names, MemberDigests* digests,
                       QString* error);

// The difference of two packages as read from their files: their facts, and
// the contents of the members alike in their directories. False with the
// cause when one cannot be read.
bool DiffPackageFiles(const PackageFacts& first, const PackageFacts& second,
                      PackageDifference* difference, QString* error);

// The SHA-256 of the certificate an APK is signed with, of its newest scheme
// (v3, then v2, then v1); empty when unsigned or unread.
QByteArray ApkSignerSha256(const PackageApk& apk);

// "added", "removed", "changed".
QString ChangeKindName(ChangeKind kind);
