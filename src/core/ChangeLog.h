#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// Date and time of a change-log line, padded with blanks:
// "%4d-%2d-%2d" and "%2d:%2d:%2d".
QString ChangeLogDate(const QDateTime& when);
QString ChangeLogTime(const QDateTime& when);

// The three kinds of line ("<date> <time>: ...").
QString ChangeLogAddLine(const QDateTime& when, const QString& sourcePath,
                         const QString& appDirectory);
QString ChangeLogDeleteLine(const QDateTime& when, const QString& apkPath);
QString ChangeLogReplaceLine(const QDateTime& when, const QString& targetPath,
                             const QString& sourcePath);

// The bytes of the log file: each line in code page 936 followed by CR LF, no
// byte-order mark. A character code page 936 cannot represent becomes "?".
QByteArray EncodeChangeLog(const QStringList& lines);

enum class ChangeLogWriteResult { Written, DeleteFailed, CreateFailed, WriteFailed };

// Replaces the file at path with the lines and empties them when written.
// DeleteFailed: the old file could not be deleted (nothing written, lines
// kept). CreateFailed: the new file could not be created (lines kept).
// WriteFailed: not all of the text reached the file (lines kept).
ChangeLogWriteResult WriteChangeLogFile(const QString& path, QStringList& lines);
