#pragma once

#include "core/base/TestHooks.h"

#include <QString>

#include <functional>

// True when the output should be staged before it is copied to path: a
// network path (two leading slashes or backslashes), a network file system, a
// removable block device, or a place whose kind cannot be determined. False
// for a fixed local disk.
bool IsOnNonFixedDrive(const QString& path);

// The pieces the answer is made of, exposed for tests.
bool IsNetworkFileSystemType(const QString& type);
// A file system that lives on a local disk (ext4, xfs, btrfs, zfs, ...): such
// a mount is fixed unless its device says it is removable.
bool IsLocalDiskFileSystemType(const QString& type);
// The decision for a mount of that type whose backing device's removable flag
// is removable (1 removable, 0 fixed, -1 unknown).
bool IsNonFixedMount(const QString& type, int removable);
// The mount point, file-system type and source of the mount holding path, read
// from mountinfo text (the format of /proc/self/mountinfo).
struct MountEntry {
    QString mountPoint;
    QString type;
    QString source;
    QString device; // "major:minor"
};
bool FindMountEntry(const QString& mountInfo, const QString& canonicalPath, MountEntry* entry);

// (Its test seam is in core/base/TestHooks.h.)
