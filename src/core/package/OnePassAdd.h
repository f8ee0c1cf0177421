#pragma once

#include "core/base/Result.h"
#include "core/crypto/ApkSigner.h"
#include "core/format/ArchiveEditor.h"
#include "core/package/PackageLayout.h"

#include <QList>
#include <QString>
#include <QStringList>

class Reporter;

// An APK added by a one-pass edit (OnePassEdit): planned as the window's add
// places it, its files made only when the copy writes them.
struct OnePassApkAdd {
    Partition partition = Partition::System;
    QString appFolder = QStringLiteral("app"); // "priv-app" too, on the system partition
    QString source;                            // the APK file
    // The device's ABIs in preference order (LibraryPlacement); empty: every
    // file below the APK's lib/ flattened into system/lib, as the window does.
    QStringList deviceAbis;
};

struct OnePassAddContext {
    // The package being written: the signed APK and each library are made
    // as temporaries of it, one at a time, and go with its leftovers.
    QString output;
    // The folder layout (UsesDirectoryLayout): an APK in a folder of its own.
    bool directoryLayout = false;
    // The key a system APK is signed with (loaded).
    SigningKey platformKey;
};

// Plans one add against members (the package's canonical member names as the
// edit has left them so far; updated): the name rule and its question, where
// the APK goes (asking before it replaces one), and on the system partition
// its native libraries (asking before one replaces a library there or one
// planned). Appends the Puts in the order the window commits them: the APK,
// signed with the platform key when it is written, then its libraries, read
// out of it when they are written. Declined when a question is answered No;
// otherwise failed with the window's message and the cause. leftOutAbis gets
// the APK's ABIs that were not placed.
Result PlanOnePassAdd(const OnePassApkAdd& add, const OnePassAddContext& context,
                      Reporter& reporter, QStringList* members, QList<ArchiveChange>* changes,
                      QStringList* leftOutAbis = nullptr);

// The member names after a change, as ApplyArchiveChanges leaves them.
void ApplyChangeToMembers(const ArchiveChange& change, QStringList* members);
