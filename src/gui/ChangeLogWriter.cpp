#include "gui/ChangeLogWriter.h"

#include "gui/CCorvaneApp.h"
#include "gui/UiDialogs.h"
#include "core/ChangeLog.h"

void LogApkAdded(const QString& sourcePath, const QString& appDirectory) {
    theApp().ChangeLog.append(
        ChangeLogAddLine(QDateTime::currentDateTime(), sourcePath, appDirectory));
}

void LogApkDeleted(const QString& apkPath) {
    theApp().ChangeLog.append(ChangeLogDeleteLine(QDateTime::currentDateTime(), apkPath));
}

void LogFileReplaced(const QString& targetPath, const QString& sourcePath) {
    theApp().ChangeLog.append(
        ChangeLogReplaceLine(QDateTime::currentDateTime(), targetPath, sourcePath));
}

bool WriteChangeLog() {
    CCorvaneApp& app = theApp();
    const ChangeLogWriteResult result =
        WriteChangeLogFile(app.Paths().changeLogFile(), app.ChangeLog);
    if (result == ChangeLogWriteResult::DeleteFailed) {
        ShowAppMessage(QStringLiteral("Delete log.txt failed"));
        return false;
    }
    // The closing goes on; the user learns that the log is incomplete.
    if (result == ChangeLogWriteResult::WriteFailed)
        ShowAppMessage(QStringLiteral("Failed to write log.txt"));
    return true;
}
