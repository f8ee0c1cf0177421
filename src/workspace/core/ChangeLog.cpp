// Placeholder until the encoder lands.
#include "workspace/core/ChangeLog.h"

QString ChangeLogDate(const QDateTime&) { return {}; }
QString ChangeLogTime(const QDateTime&) { return {}; }
QString ChangeLogAddLine(const QDateTime&, const QString&, const QString&) { return {}; }
QString ChangeLogDeleteLine(const QDateTime&, const QString&) { return {}; }
QString ChangeLogReplaceLine(const QDateTime&, const QString&, const QString&) { return {}; }
QByteArray EncodeChangeLog(const QStringList&) { return {}; }
ChangeLogWriteResult WriteChangeLogFile(const QString&, QStringList&) {
    return ChangeLogWriteResult::CreateFailed;
}
