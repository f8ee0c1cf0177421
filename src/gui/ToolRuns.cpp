// The external programs that run behind the busy dialog: the busy run itself,
// extraction with 7-Zip and signing with the signing tool.
#include "gui/CCorvaneApp.h"

#include "gui/UiDialogs.h"
#include "gui/DialogBuilder.h"
#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QWidget>

void CCorvaneApp::setMainControlsEnabled(bool enabled) {
    if (!MainWindow)
        return;
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL}) {
        if (QWidget* control = FindControl(MainWindow, id))
            control->setEnabled(enabled);
    }
}

bool CCorvaneApp::RunToolWithBusyDialog(const QString& toolPath, const QStringList& arguments,
                                        const QString& workingDirectory, const QString& baseText,
                                        bool centre) {
    LastToolRun = ToolRunResult{};
    CreateBusyDialog();

    QProcess process;
    process.setProgram(toolPath);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingDirectory.isEmpty() ? QDir::currentPath()
                                                           : workingDirectory);
    // The tool talks to no one: no input, its progress output is dropped and
    // its error output goes where ours goes.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(-1)) {
        LastToolRun.outcome = ToolRunResult::Outcome::FailedToStart;
        LastToolRun.errorText = process.errorString();
        return false;
    }

    m_toolRunning = true;
    // The main window runs modally and blocks the input of every other
    // window, close box included: the busy dialog is shown as its own.
    if (MainWindow && BusyDialog->parentWidget() != MainWindow->window())
        BusyDialog->setParent(MainWindow->window(), BusyDialog->windowFlags());
    if (centre) {
        QScreen* screen = MainWindow ? MainWindow->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame = BusyDialog->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            BusyDialog->move(frame.topLeft());
        }
    }
    BusyDialog->show();
    BusyDialog->ToolProcess = &process;
    setMainControlsEnabled(false);

    BusyStep = 0;
    BusyDialog->setBusyText(baseText + BusyDotSuffix(BusyStep));
    ++BusyStep;

    // Each pass blocks until events arrive, handles that batch and advances
    // the dots; the process's end arrives as one of those events.
    while (process.state() != QProcess::NotRunning) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (process.state() == QProcess::NotRunning)
            break;
        BusyDialog->setBusyText(baseText + BusyDotSuffix(BusyStep));
        ++BusyStep;
    }

    BusyDialog->hide();
    BusyDialog->ToolProcess = nullptr;
    bool result = true;
    if (BusyDialog->NotStopped == 0) {
        BusyDialog->NotStopped = 1;
        LastToolRun.outcome = ToolRunResult::Outcome::Stopped;
        result = false;
    } else if (process.exitStatus() == QProcess::CrashExit) {
        LastToolRun.outcome = ToolRunResult::Outcome::Crashed;
        LastToolRun.errorText = process.errorString();
        result = false;
    } else {
        LastToolRun.outcome = ToolRunResult::Outcome::Exited;
        LastToolRun.exitCode = process.exitCode();
    }
    setMainControlsEnabled(true);
    m_toolRunning = false;
    return result;
}

bool CCorvaneApp::ExtractArchive(const QString& archivePath, const QString& outputDirectory) {
    if (archivePath.isEmpty() || outputDirectory.isEmpty())
        return false;
    const QStringList arguments{QStringLiteral("x"), archivePath,
                                QStringLiteral("-o") + outputDirectory, QStringLiteral("-y")};
    if (!RunToolWithBusyDialog(Paths().extractorTool(), arguments, QString(),
                               QStringLiteral("Decompressing files"), true))
        return false;
    // 7-Zip: 0 success, 1 warnings only; anything else is an error.
    return LastToolRun.exitCode == 0 || LastToolRun.exitCode == 1;
}

bool CCorvaneApp::SignArchive(const QString& inputPath, const QString& outputPath,
                              bool platformKey) {
    if (inputPath.isEmpty() || outputPath.isEmpty())
        return false;
    // Deleting the output first must never destroy the input.
    if (IsSameFile(inputPath, outputPath))
        return false;

    if (PathExists(outputPath) && !RemoveFile(outputPath))
        ShowAppMessage(QStringLiteral("Delete file \"%1\" failed").arg(outputPath));

    const WorkspacePaths paths = Paths();
    QStringList arguments{QStringLiteral("-jar"), paths.signTool()};
    if (platformKey) {
        arguments << QStringLiteral("platform.x509.pem") << QStringLiteral("platform.pk8");
    } else {
        arguments << QStringLiteral("-w") << QStringLiteral("testkey.x509.pem")
                  << QStringLiteral("testkey.pk8");
    }
    arguments << inputPath << outputPath;

    const bool ran = RunToolWithBusyDialog(paths.javaTool(), arguments, paths.configDir(),
                                           QStringLiteral("Signing files"), false);
    const QFileInfo written(outputPath);
    if (ran && LastToolRun.exitCode == 0 && written.isFile() && written.size() > 0)
        return true;
    // The tool may leave an empty or partial output when it fails or is stopped.
    if (PathExists(outputPath) && !IsDirectory(outputPath))
        RemoveFile(outputPath);
    return false;
}
