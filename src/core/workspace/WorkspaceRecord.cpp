#include "core/workspace/WorkspaceRecord.h"

#include "core/base/FileHelpers.h"

#include <QDateTime>
#include <QFile>
#include <QStringDecoder>

namespace {

const QByteArray kOpening = "opening";
const QByteArray kOpen = "open";
// A stage and a path; anything larger is not a record.
constexpr qint64 kMaxRecordBytes = 64 * 1024;

} // namespace

WorkspaceRecord WorkspaceRecord::parse(const QByteArray& bytes) {
    WorkspaceRecord record;
    record.damaged = true;
    // Two lines, each ended by a line feed: the stage, then the package path
    // (UTF-8).
    const QList<QByteArray> lines = bytes.split('\n');
    if (bytes.size() > kMaxRecordBytes || lines.size() != 3 || !lines[2].isEmpty())
        return record;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString package = decoder(lines[1]);
    if (decoder.hasError() || package.contains(QChar(0)))
        return record;
    if (lines[0] == kOpening)
        record.stage = Stage::Opening;
    else if (lines[0] == kOpen)
        record.stage = Stage::Open;
    else
        return record;
    record.package = package;
    record.damaged = false;
    return record;
}

WorkspaceRecord WorkspaceRecord::read(const QString& recordPath) {
    QFile file(recordPath);
    if (!file.exists())
        return WorkspaceRecord();
    if (!file.open(QIODevice::ReadOnly)) {
        WorkspaceRecord unreadable;
        unreadable.damaged = true;
        return unreadable;
    }
    return parse(file.read(kMaxRecordBytes + 1));
}

bool WorkspaceRecord::write(const QString& recordPath, QString* error) const {
    FileHelpers::TemporaryFile file(recordPath);
    QByteArray text = stage == Stage::Open ? kOpen : kOpening;
    text += '\n' + package.toUtf8() + '\n';
    return file.open(error) && file.write(text, error) && file.commit(error);
}

bool WorkspaceRecord::remove(const QString& recordPath) {
    return !FileHelpers::PathExists(recordPath) || FileHelpers::RemoveFile(recordPath);
}

QString SetAsideDamagedFile(const QString& path) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    for (int n = 0; n < 100; ++n) {
        QString target = path + QStringLiteral(".damaged-") + stamp;
        if (n > 0)
            target += QLatin1Char('-') + QString::number(n);
        if (FileHelpers::PathExists(target))
            continue;
        if (FileHelpers::MoveFileTo(path, target))
            return target;
        break;
    }
    FileHelpers::RemoveFile(path);
    return QString();
}
