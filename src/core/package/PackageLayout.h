#pragma once

#include <QString>

// The places of a firmware package the program knows: the two partitions
// with pre-installed APKs, the nine image slots and the three configuration
// files. Paths below the tree's root begin with '/'; member names in the
// archive have no leading separator.

enum class Partition { System, Data };

// "system" or "userdata": the partition's directory below the tree's root and
// in the archive.
QString PartitionDirectoryName(Partition partition);

// A replaceable image: the file below the tree's root (its member name is the
// same path) and the message of a failed archive update.
struct ImageSlot {
    const char* name;       // "logo.img", ..., "bootanimation.zip"
    const char* treeSuffix; // "/logo.img"
    const char* failure;    // shown when the package cannot be updated
    bool zipFilter;         // the file dialog offers *.zip, not images
};
extern const ImageSlot kImageSlots[9];
// The slot of that name ("logo.img"); nullptr when there is none.
const ImageSlot* FindImageSlot(const QString& name);

// A configuration file edited in the tree and put back into the archive on
// save: its place below the tree's root (its member name is the same path).
struct ConfigFile {
    const char* treeSuffix;
};
extern const ConfigFile kConfigFiles[3];

// The member name of a file of the tree ("system/app/Foo.apk"); empty when
// the path does not lie below the root.
QString MemberNameOfTreePath(const QString& treeRoot, const QString& path);
