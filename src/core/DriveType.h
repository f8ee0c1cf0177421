#pragma once

#include <QString>

#include <functional>

// True when the output should be staged before it is copied to path: a
// network path (two leading slashes or backslashes), a network file system, a
// removable block device, or a place whose kind cannot be determined. False
// for a fixed local disk.
bool IsOnNonFixedDrive(const QString& path);

// The pieces the answer is made of, exposed for tests.
bool IsNetworkFileSystemType(const QString& type);
// The mount point, file-system type and source of the mount holding path, read
// from mountinfo text (the format of /proc/self/mountinfo).
struct MountEntry {
    QString mountPoint;
    QString type;
    QString source;
    QString device; // "major:minor"
};
bool FindMountEntry(const QString& mountInfo, const QString& canonicalPath, MountEntry* entry);

// Test seam: replaces the answer of IsOnNonFixedDrive; nullptr restores it.
void SetDriveClassifierForTesting(std::function<bool(const QString&)> classifier);
