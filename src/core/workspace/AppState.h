#pragma once

#include "core/package/ApkRules.h"

#include "core/base/WorkspacePaths.h"

#include <QString>
#include <QStringList>

// What the program knows while it runs: where its workspace is, which working
// archive belongs to the extracted tree, the Android release of the open
// package and the change-log lines of this run. One per window or per
// command-line run; tests make their own.
class AppState {
public:
    explicit AppState(QString appDirectory = QString());

    // The directory of the workspace (the executable's, for the windows),
    // without a trailing separator.
    const QString& appDirectory() const { return m_appDirectory; }
    void setAppDirectory(const QString& directory) { m_appDirectory = directory; }
    WorkspacePaths paths() const { return WorkspacePaths(m_appDirectory); }

    // Empty until a package is open (or kept work is taken up again).
    const QString& workingArchivePath() const { return m_workingArchive; }
    void setWorkingArchivePath(const QString& path) { m_workingArchive = path; }
    bool hasPackage() const { return !m_workingArchive.isEmpty(); }

    // Major Android release of the open package (initially 4). 5, and only 5,
    // selects the layout in which every APK lies in a directory of its own.
    int androidMajorVersion() const { return m_androidMajorVersion; }
    void setAndroidMajorVersion(int version) { m_androidMajorVersion = version; }
    bool usesDirectoryLayout() const { return UsesDirectoryLayout(m_androidMajorVersion); }

    // The working archive or the tree was changed since the package was
    // opened or last saved (kept work that was taken up counts as changed).
    bool unsavedEdits() const { return m_unsavedEdits; }
    void setUnsavedEdits(bool edited) { m_unsavedEdits = edited; }

    // Change-log lines of this run, oldest first.
    const QStringList& changeLog() const { return m_changeLog; }
    QStringList& changeLog() { return m_changeLog; }
    void appendChangeLog(const QString& line) { m_changeLog.append(line); }

private:
    QString m_appDirectory;
    QString m_workingArchive;
    int m_androidMajorVersion = 4;
    bool m_unsavedEdits = false;
    QStringList m_changeLog;
};
