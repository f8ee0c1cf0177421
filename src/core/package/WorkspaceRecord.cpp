#include "core/package/WorkspaceRecord.h"

#include "core/io/FileHelpers.h"

#include <QFile>
#include <QSaveFile>

namespace {

const QByteArray kOpening = "opening";
const QByteArray kOpen = "open";

} // namespace

WorkspaceRecord WorkspaceRecord::read(const QString& recordPath) {
    WorkspaceRecord record;
    QFile file(recordPath);
    if (!file.open(QIODevice::ReadOnly))
        return record;
    // Two lines: the stage, then the package path (UTF-8).
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2)
        return record;
    if (lines[0] == kOpening)
        record.stage = Stage::Opening;
    else if (lines[0] == kOpen)
        record.stage = Stage::Open;
    record.package = QString::fromUtf8(lines[1]);
    return record;
}

bool WorkspaceRecord::write(const QString& recordPath, QString* error) const {
    QSaveFile file(recordPath);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QByteArray text = stage == Stage::Open ? kOpen : kOpening;
    text += '\n' + package.toUtf8() + '\n';
    if (!FileHelpers::WriteAll(file, text) || !file.commit()) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

bool WorkspaceRecord::remove(const QString& recordPath) {
    return !FileHelpers::PathExists(recordPath) || FileHelpers::RemoveFile(recordPath);
}
