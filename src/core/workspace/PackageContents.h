#pragma once

#include "core/base/Result.h"
#include "core/package/PackageLayout.h"

#include <QString>
#include <QStringList>

class AppState;

// The APKs the pages list, as member names grouped by their directory.
struct PackageApks {
    QStringList systemApp;     // "system/app/..."
    QStringList systemPrivApp; // "system/priv-app/..."
    QStringList dataApp;       // "userdata/app/..."
    QStringList treePaths;     // every one, as a path of the tree, in listing order
};

// The open package's APKs as the system and data pages list them (the
// Android version decides the scan).
PackageApks ListPackageApks(const AppState& state);

// The listed APK a name picks: by file name, or by its member name below the
// package root when the name holds a '/'. Exactly one must match: otherwise
// the result fails ("Delete "<name>" Failed!") with the cause, naming the
// candidates when there are several.
struct ApkMatch {
    Result result;
    QString treePath;
    Partition partition = Partition::System;
};
ApkMatch FindListedApk(const AppState& state, const QString& name);
