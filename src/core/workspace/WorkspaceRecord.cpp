#include "core/workspace/WorkspaceRecord.h"

#include "core/base/FileHelpers.h"

#include <QDateTime>
#include <QFile>
#include <QStringDecoder>

#include <algorithm>

namespace {

const QByteArray kOpening = "opening";
const QByteArray kOpen = "open";
// The first line of a record that names its fields. Earlier versions wrote
// two bare lines (stage, path), which a path with a line break made
// unreadable; those are still read.
const QByteArray kHeader = "corvane-workspace 2";
// A stage, a path and a time; anything larger is not a record.
constexpr qint64 kMaxRecordBytes = 64 * 1024;

bool isUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/';
}

// Every byte outside a safe set as %XX: the path stays one line whatever it
// holds.
QByteArray escapePath(const QByteArray& bytes) {
    QByteArray out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        if (isUnreserved(c)) {
            out += c;
        } else {
            out += '%';
            out += QByteArray::number(static_cast<unsigned char>(c), 16)
                       .rightJustified(2, '0')
                       .toUpper();
        }
    }
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The inverse of escapePath; false for anything it would not have written.
bool unescapePath(const QByteArray& text, QByteArray* bytes) {
    bytes->clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '%') {
            if (!isUnreserved(c))
                return false;
            *bytes += c;
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        *bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// A path's bytes as text: UTF-8 without NUL, else nothing.
bool decodePath(const QByteArray& bytes, QString* path) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    *path = decoder(bytes);
    return !decoder.hasError() && !path->contains(QChar(0));
}

bool parseStage(const QByteArray& text, WorkspaceRecord::Stage* stage) {
    if (text == kOpening)
        *stage = WorkspaceRecord::Stage::Opening;
    else if (text == kOpen)
        *stage = WorkspaceRecord::Stage::Open;
    else
        return false;
    return true;
}

// "corvane-workspace 2", then "stage S", "package P" (escaped) and
// "opened T" (seconds since 1970, UTC), each line ended by a line feed.
bool parseNamed(const QList<QByteArray>& lines, WorkspaceRecord* record) {
    if (lines.size() != 5 || lines[0] != kHeader || !lines[4].isEmpty())
        return false;
    const auto field = [&](int index, const char* name, QByteArray* value) {
        const QByteArray prefix = QByteArray(name) + ' ';
        if (!lines[index].startsWith(prefix))
            return false;
        *value = lines[index].mid(prefix.size());
        return true;
    };
    QByteArray stage, escaped, opened, bytes;
    if (!field(1, "stage", &stage) || !field(2, "package", &escaped) ||
        !field(3, "opened", &opened) || !parseStage(stage, &record->stage) ||
        !unescapePath(escaped, &bytes) || !decodePath(bytes, &record->package))
        return false;
    if (opened.isEmpty() || opened.size() > 12 ||
        !std::all_of(opened.begin(), opened.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    // 0: not known.
    const qint64 seconds = opened.toLongLong();
    if (seconds > 0)
        record->opened = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
    return true;
}

// Two lines: the stage, then the package path (UTF-8).
bool parseBare(const QList<QByteArray>& lines, WorkspaceRecord* record) {
    return lines.size() == 3 && lines[2].isEmpty() && parseStage(lines[0], &record->stage) &&
           decodePath(lines[1], &record->package);
}

} // namespace

WorkspaceRecord WorkspaceRecord::parse(const QByteArray& bytes) {
    WorkspaceRecord record;
    if (bytes.size() > kMaxRecordBytes) {
        record.damaged = true;
        return record;
    }
    const QList<QByteArray> lines = bytes.split('\n');
    if (!(lines.constFirst() == kHeader ? parseNamed(lines, &record) : parseBare(lines, &record)))
        return WorkspaceRecord{Stage::None, QString(), QDateTime(), true};
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

bool WorkspaceRecord::write(const QString& recordPath, QString* error, bool flush) const {
    FileHelpers::TemporaryFile file(recordPath);
    const qint64 seconds = opened.isValid() ? std::max<qint64>(1, opened.toSecsSinceEpoch()) : 0;
    const QByteArray text = kHeader + "\nstage " + (stage == Stage::Open ? kOpen : kOpening) +
                            "\npackage " + escapePath(package.toUtf8()) + "\nopened " +
                            QByteArray::number(seconds) + '\n';
    return file.open(error) && file.write(text, error) &&
           (flush ? file.commit(error) : file.commitScratch(error));
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
