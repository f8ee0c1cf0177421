#pragma once

#include "core/package/PackageInsight.h"

#include <QList>
#include <QString>

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

PackageDifference DiffPackages(const PackageFacts& first, const PackageFacts& second);

// The SHA-256 of the certificate an APK is signed with, of its newest scheme
// (v3, then v2, then v1); empty when unsigned or unread.
QByteArray ApkSignerSha256(const PackageApk& apk);

// "added", "removed", "changed".
QString ChangeKindName(ChangeKind kind);
