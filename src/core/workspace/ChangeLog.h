#pragma once

#include "core/base/Result.h"

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

// The bytes of the log as UTF-8 with LF line ends, each line's date and time
// written in ISO 8601 with the local offset ("2024-03-05T09:07:02+08:00: ADD
// ..."); a line without the stamp is kept as it is.
QByteArray EncodeChangeLogUtf8(const QStringList& lines);

// The file format of a written log: EncodeChangeLog (as log.txt) or
// EncodeChangeLogUtf8.
enum class ChangeLogFormat { Cp936Crlf, Utf8 };

// Replaces the file at path with the lines (written beside it and renamed
// over it, in the format given) and empties them when written. Fails with "Failed to write
// log.txt" when the new file could not be created or not all of the text
// reached it, with "Delete log.txt failed" when it could not replace the old
// file; either way the lines are kept and the old file stays.
Result WriteChangeLogFile(const QString& path, QStringList& lines,
                          ChangeLogFormat format = ChangeLogFormat::Cp936Crlf);

// The journal of the run's lines, kept in the workspace as they happen
// (UTF-8, one line each), so that a crash loses none of them.
bool AppendChangeLogJournal(const QString& journalPath, const QString& line);
QStringList ReadChangeLogJournal(const QString& journalPath);

struct Operation;

// Adds a line to the change log of the run and to its journal.
void RecordChange(const Operation& op, const QString& line);
// At start: takes up the lines of an earlier run that did not close.
void TakeUpChangeLogJournal(const Operation& op);
// At close: writes the run's lines to "log.txt" beside the executable and
// clears them and the journal. A failure keeps the lines and the journal (see
// WriteChangeLogFile); the closing goes on either way.
Result WriteChangeLog(const Operation& op);
