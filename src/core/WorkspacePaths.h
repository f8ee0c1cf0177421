#pragma once

#include <QString>

// The fixed working paths beside the executable. Every path is AppDirectory
// followed by a suffix that begins with a separator; nothing is configurable.
class WorkspacePaths {
public:
    explicit WorkspacePaths(QString appDirectory) : m_app(std::move(appDirectory)) {}

    const QString& appDirectory() const { return m_app; }
    QString extractedTree() const { return m_app + QStringLiteral("/srctemp"); }
    QString zipTempDir() const { return m_app + QStringLiteral("/zipTemp"); }
    QString workingArchive() const { return m_app + QStringLiteral("/zipTemp/temp.zip"); }
    QString apkTempDir() const { return m_app + QStringLiteral("/Apktemp"); }
    QString unpackDir() const { return m_app + QStringLiteral("/UzApk"); }
    // What the tree and the working archive belong to (see WorkspaceRecord).
    QString workspaceRecord() const { return m_app + QStringLiteral("/zipTemp/workspace.state"); }
    // Change-log lines of the run so far, kept as they happen.
    QString changeLogJournal() const { return m_app + QStringLiteral("/zipTemp/log.journal"); }
    QString changeLogFile() const { return m_app + QStringLiteral("/log.txt"); }
    // The causes of failures, dated, for a user to send.
    QString diagnosticsLog() const { return m_app + QStringLiteral("/diagnostics.log"); }
    QString configDir() const { return m_app + QStringLiteral("/Config"); }
    QString extractorTool() const { return m_app + QStringLiteral("/Config/7za"); }
    QString signTool() const { return m_app + QStringLiteral("/Config/signapk.jar"); }
    QString javaTool() const { return m_app + QStringLiteral("/jre/bin/java"); }

    // The directory of an executable path: everything before its last
    // separator, after trimming white space. Empty for "/Corvane" (root).
    static QString directoryOfExecutable(const QString& executablePath);

private:
    QString m_app;
};
