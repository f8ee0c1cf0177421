#pragma once

#include <QString>

// Appends a line to the change log of this run, stamped with the local time.
// The three helpers word the line.
void LogApkAdded(const QString& sourcePath, const QString& appDirectory);
void LogApkDeleted(const QString& apkPath);
void LogFileReplaced(const QString& targetPath, const QString& sourcePath);

// Writes the change log of this run to "log.txt" beside the executable and
// empties it. False only when an old log file could not be deleted (the user
// is told).
bool WriteChangeLog();
