#pragma once

#include "core/ToolRunResult.h"
#include "core/WorkspacePaths.h"

#include <QPointer>
#include <QString>
#include <QStringList>

class ProgressDialog;
class QWidget;

// The application object: owns the process-wide values and runs the external
// tools behind the busy dialog. One instance, reached through theApp().
class CCorvaneApp {
public:
    CCorvaneApp();

    // Cleared by itself if its window owner deletes it first.
    QPointer<ProgressDialog> BusyDialog;
    // Directory of the executable, without a trailing separator.
    QString AppDirectory;
    // Empty until a package is open (or a kept one is taken up again).
    QString WorkingArchivePath;
    // Change-log lines of this run.
    QStringList ChangeLog;
    // The main window as the busy run sees it.
    QPointer<QWidget> MainWindow;
    // Selects the busy text's dot suffix.
    int BusyStep = 0;
    // Major Android release of the open package; 5 selects the directory layout.
    int AndroidMajorVersion = 4;
    // How the last busy run ended.
    ToolRunResult LastToolRun;

    WorkspacePaths Paths() const { return WorkspacePaths(AppDirectory); }

    // True while an external program runs behind the busy dialog.
    bool IsToolRunning() const { return m_toolRunning; }

    bool DeleteDirectoryTree(const QString& path);

    // Starts the program (argument list, no shell) with the working directory
    // given and waits for it while the user interface keeps processing
    // events. True when it ran to its end by itself; LastToolRun tells the
    // exit code. False when it could not start, crashed or was stopped.
    bool RunToolWithBusyDialog(const QString& toolPath, const QStringList& arguments,
                               const QString& workingDirectory, const QString& baseText,
                               bool centre);

    // Unpacks the archive into the directory with 7-Zip. True only when 7-Zip
    // ran to its end and reported success (exit code 0, or 1 for warnings).
    bool ExtractArchive(const QString& archivePath, const QString& outputDirectory);

    // Signs the input into the output: with the platform key pair, or with the
    // test key pair and a whole-file signature. True only when the signing
    // tool exited with 0 and left a non-empty output; otherwise any output it
    // left is removed. An output that names the input is refused.
    bool SignArchive(const QString& inputPath, const QString& outputPath, bool platformKey);

    // Creates the busy dialog, hidden (start-up).
    void CreateBusyDialog();
    void DestroyBusyDialog();

private:
    void setMainControlsEnabled(bool enabled);

    bool m_toolRunning = false;
};

CCorvaneApp& theApp();

// The dot suffixes of the busy text: zero to six full stops.
QString BusyDotSuffix(int index);
