#pragma once

#include <QString>
#include <QStringList>

// The fixed working paths of the workspace (AppDirectory). Every path is
// AppDirectory followed by a suffix that begins with a separator.
//
// Where AppDirectory is: the portable bundle is the executable's directory
// holding Config/ (its tools and keys), and works there. An installed program
// cannot write beside its executable: its workspace is the user's data folder
// (workspaceForProgram), 7-Zip is the system's and the keys are looked up
// (keyFile). A workspace without Config/ is an installed program's.
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
    // A package whose system partition is an image: the image decoded to a
    // raw ext4 file (sparse on disk) that the edits change in place, and what
    // its form needs to be written back (see WorkingImage).
    QString workingSystemImage() const { return m_app + QStringLiteral("/zipTemp/system.raw"); }
    QString workingSystemImageState() const {
        return m_app + QStringLiteral("/zipTemp/system.raw.state");
    }
    // Change-log lines of the run so far, kept as they happen.
    QString changeLogJournal() const { return m_app + QStringLiteral("/zipTemp/log.journal"); }
    QString changeLogFile() const { return m_app + QStringLiteral("/log.txt"); }
    // The causes of failures, dated, for a user to send.
    QString diagnosticsLog() const { return m_app + QStringLiteral("/diagnostics.log"); }
    QString configDir() const { return m_app + QStringLiteral("/Config"); }
    // Config/7za in a bundle; else 7za, 7z or 7zz, found on PATH (Config/7za,
    // to be named as missing, when neither is).
    QString extractorTool() const;

    // The directory of an executable path: everything before its last
    // separator, after trimming white space. Empty for "/Corvane" (root).
    static QString directoryOfExecutable(const QString& executablePath);

    // True when the directory holds Config/: a portable bundle (or a
    // command-line run's workspace that links the bundle's Config/).
    static bool isBundle(const QString& directory);
    // True for the directory of an installed program: no Config/ in it, and
    // the data installed with it in <prefix>/share/corvane. Anything else
    // works as a bundle does.
    static bool isInstalled(const QString& programDirectory);
    // The workspace of the program whose executable lies in
    // programDirectory: the user's data folder ($XDG_DATA_HOME/corvane, not
    // made here) for an installed program, else that directory.
    static QString workspaceForProgram(const QString& programDirectory);
    // That workspace, made when missing. An installed program's holds the
    // user's unreleased firmware: it is private to the user (0700), an
    // existing one tightened. False when it cannot be made (so).
    static bool makeWorkspaceForProgram(const QString& programDirectory, QString* workspace);
    // Where keys are looked for by an installed program, first to last: the
    // user's configuration folder ($XDG_CONFIG_HOME/corvane/keys),
    // /etc/corvane, then the development keys shipped beside the program
    // (<prefix>/share/corvane/keys for <prefix>/bin/<program>).
    static QStringList installedKeyDirectories(const QString& programDirectory);

    // A key file by name ("platform.x509.pem", "testkey.pk8"). In a bundle
    // Config/<name>. Else the file of the first key directory that holds the
    // pair's certificate (<pair>.x509.pem), so that a pair's two files always
    // come from one place; when none does, the shipped one (to be named as
    // missing).
    QString keyFile(const QString& name) const;

private:
    // The directory of the running program (the keys shipped with it).
    static QString programDirectory();

    QString m_app;
};
