#pragma once

#include "core/base/Result.h"
#include "core/package/PackageLayout.h"

#include <QString>
#include <QStringList>

#include <optional>

struct Operation;
class AppState;

// Whether the open package's system partition can be edited: a failure with
// the window's message when the package carries it as an image
// (SystemImageFormOfTree), so that its APKs and files are out of reach; done
// otherwise. Adding and deleting a system APK check it first; the window
// checks it before opening a system configuration file.
Result CheckSystemPartitionEditable(const AppState& state);

// The APKs a page lists: below the partition's app directory (and priv-app on
// the system partition), depth first in directory order. Android 5 packages
// keep each APK in a directory of its own, so every directory is descended;
// other versions list the *.apk entries of the directories themselves.
QStringList ListPartitionApks(const QString& partitionRoot, Partition partition,
                              int androidMajorVersion);

// Adds one APK file to a partition: the name rule, then (system partition)
// unpacking for its native libraries and signing with the platform key; the
// overwrite questions are asked before anything changes; the APK and all its
// native libraries enter the working archive in one commit; then the tree
// follows and the change is logged. Declined when the user answers No to a
// question; each failure carries its message and cause.
Result AddApk(const Operation& op, Partition partition, const QString& sourcePath);

// What an add may do beyond the window's: another app folder, and the native
// libraries placed by the device's ABIs (LibraryPlacement) instead of all
// flattened into <partition>/lib.
struct AddApkOptions {
    QString appFolder = QStringLiteral("app"); // "priv-app" too, on the system partition only
    // The device's ABIs in preference order; none (or an empty list): the
    // window's flattening, with its question for a name met twice.
    std::optional<QStringList> deviceAbis;
    // Set to the APK's ABIs whose libraries were left out (when given).
    QStringList* leftOutAbis = nullptr;
    // A system APK is signed with this pair instead of the platform key
    // (both empty: the platform key); see SignArchive.
    QString platformCertificate;
    QString platformKey;
};
Result AddApk(const Operation& op, Partition partition, const QString& sourcePath,
              const AddApkOptions& options);

// The window's add: on the system partition, when the tree's
// system/build.prop names the device's ABIs, the native libraries are placed
// by them (AddApkOptions::deviceAbis) and the ABIs left out are told in the
// result's notice; with no ABI known, AddApk as it is (every library
// flattened into lib, a name met twice asked about).
Result AddApkForDevice(const Operation& op, Partition partition, const QString& sourcePath);

// Deletes one listed APK from the working archive and then the tree: in the
// directory layout (app/Name/Name.apk, priv-app/Name/Name.apk) the whole
// directory and every member below it, otherwise the file alone. Fails
// ("Delete "<path>" Failed!") when the archive has no such member or a step
// fails (the tree is untouched when the archive could not be changed). Logs
// nothing.
Result DeleteApk(const Operation& op, Partition partition, const QString& apkPath);

// The Delete command for several APKs: each in turn, logged; the first
// failure ends the pass and is the result. With the number deleted.
struct DeleteApksResult {
    Result result;
    int deleted = 0;
};
DeleteApksResult DeleteApks(const Operation& op, Partition partition, const QStringList& apkPaths);
