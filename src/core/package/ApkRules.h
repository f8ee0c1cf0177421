#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Where a package keeps its APKs, and how a name picks one. The same rules
// over member names ("system/app/Foo.apk") and over tree paths
// ("/…/srctemp/system/app/Foo.apk"): both end in the partition's folders.

// A path inside the package by its partition: the member
// "system/app/Foo.apk" is the path "app/Foo.apk" of the partition "system".
// Kept apart from tree paths (files of the extracted tree on this machine),
// so that the same rules can later address a file inside a partition image.
struct PartitionPath {
    QString partition; // "system", "userdata", "vendor"
    QString path;      // '/'-separated, relative to the partition's root

    // The member's partition path; none for a member at the package's root.
    static std::optional<PartitionPath> ofMember(const QString& member);
    QString member() const { return partition + QLatin1Char('/') + path; }
};

// The places a package keeps APKs in, one table for every reader of them.
enum class ApkPlace { App, PrivApp, Data, Framework, Vendor };
struct ApkFolder {
    ApkPlace place;
    const char* member; // the folder as a member name with a final '/'
    const char* name;   // the place as info names it
    bool listed;        // the pages list and the edits pick its APKs
};
inline constexpr ApkFolder kApkPlaces[] = {
    {ApkPlace::App, "system/app/", "app", true},
    {ApkPlace::PrivApp, "system/priv-app/", "priv-app", true},
    {ApkPlace::Data, "userdata/app/", "data", true},
    {ApkPlace::Framework, "system/framework/", "framework", false},
    {ApkPlace::Vendor, "vendor/app/", "vendor", false},
};

// "app", "priv-app", "data", "framework" (system/framework), "vendor"
// (vendor/app).
QString ApkPlaceName(ApkPlace place);

// Where an APK member lies: its place, and whether in a folder below the
// place's folder ("system/app/Foo/Foo.apk") rather than flat. None for a
// member that is no APK or lies in no APK place.
struct ApkLocation {
    ApkPlace place;
    bool inDirectory;
};
std::optional<ApkLocation> LocateApkMember(const QString& member);

// The folder layout: each APK in a folder of its own named after it. The
// version probe tells releases 1 to 5, and only 5 has this layout.
bool UsesDirectoryLayout(int androidMajor);

// The name of an APK's own folder: the file name before its first ".apk";
// the whole name when it holds no ".apk"; empty when it begins with ".apk"
// (such an APK stays flat).
QString ApkFolderName(const QString& fileName);

// Where an APK of that file name lies in an APK folder (a member name or a
// tree path, without a final '/'): flat, or in its own folder; the latter is
// empty when the name gives no folder name.
QString FlatApkPath(const QString& appDirectory, const QString& fileName);
QString OwnFolderApkPath(const QString& appDirectory, const QString& fileName);

// The APK's own folder when it lies in one (the folder layout, below an APK
// folder, in the folder its name gives); empty when it lies flat.
// appDirectories are the APK folders of its partition, without a final '/'.
QString OwnFolderOfApk(const QString& apkPath, const QStringList& appDirectories,
                       bool directoryLayout);

// The APK members the pages list: with the APK extension, directly in an APK
// folder or, in the folder layout, one folder below it.
QStringList ListedApkMembers(const QStringList& members, bool directoryLayout);

// The listed APK a name picks: its file name, or its member name when the
// name holds a '/'. False with the cause when none or more than one match.
bool PickApkMember(const QStringList& listedApks, const QString& name, QString* member,
                   QString* error);

// The member the APK's own folder or the APK itself: what a delete removes
// (isTree: a whole folder).
struct ApkRemoval {
    QString member;
    bool isTree = false;
};
ApkRemoval RemovalOfApkMember(const QString& member, bool directoryLayout);

// Whether path is a compiled companion of the APK at apkPath, which the
// device would run instead of the APK's code: NAME.odex beside it ("Music.apk"
// has "Music.odex") and, in the folder layout, oat/<isa>/NAME.odex beside it.
// A deleted or replaced APK takes its companions with it. Member names or
// tree paths alike.
bool IsOdexCompanion(const QString& apkPath, const QString& path, bool directoryLayout);
// The companions among paths, in their order.
QStringList OdexCompanions(const QString& apkPath, const QStringList& paths, bool directoryLayout);
