#include "core/workspace/ChangeLog.h"

#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Operation.h"
#include "core/workspace/AppState.h"

#include <QFile>
#include <QSysInfo>

#include <cerrno>
#include <iconv.h>

namespace {

// Converts UTF-32 text to code page 936 with glibc's iconv. A character the
// code page lacks becomes '?', and conversion goes on with the next one.
class Cp936Encoder {
public:
    Cp936Encoder() {
        const char* source =
            QSysInfo::ByteOrder == QSysInfo::LittleEndian ? "UTF-32LE" : "UTF-32BE";
        m_cd = iconv_open("CP936", source);
    }
    ~Cp936Encoder() {
        if (m_cd != invalid())
            iconv_close(m_cd);
    }
    Cp936Encoder(const Cp936Encoder&) = delete;
    Cp936Encoder& operator=(const Cp936Encoder&) = delete;

    void append(const QString& text, QByteArray* out) {
        const QList<uint> codePoints = text.toUcs4();
        if (m_cd == invalid()) {
            // No converter on this system: ASCII survives, the rest is lost.
            for (const uint codePoint : codePoints)
                out->append(codePoint < 0x80 ? static_cast<char>(codePoint) : '?');
            return;
        }
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        char* in = reinterpret_cast<char*>(const_cast<uint*>(codePoints.constData()));
        size_t inLeft = static_cast<size_t>(codePoints.size()) * sizeof(uint);
        char buffer[256];
        while (inLeft > 0) {
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            const size_t result = iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
            out->append(buffer, static_cast<qsizetype>(outPtr - buffer));
            if (result != static_cast<size_t>(-1))
                continue;
            if (errno == E2BIG)
                continue;
            // EILSEQ (or anything else): replace one character and go on.
            out->append('?');
            const size_t skip = qMin(inLeft, sizeof(uint));
            in += skip;
            inLeft -= skip;
        }
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        iconv(m_cd, nullptr, nullptr, &outPtr, &outLeft);
        out->append(buffer, static_cast<qsizetype>(outPtr - buffer));
    }

private:
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }
    iconv_t m_cd;
};

QString stamp(const QDateTime& when) {
    return ChangeLogDate(when) + QLatin1Char(' ') + ChangeLogTime(when);
}

} // namespace

QString ChangeLogDate(const QDateTime& when) {
    const QDate date = when.date();
    return QString::asprintf("%4d-%2d-%2d", date.year(), date.month(), date.day());
}

QString ChangeLogTime(const QDateTime& when) {
    const QTime time = when.time();
    return QString::asprintf("%2d:%2d:%2d", time.hour(), time.minute(), time.second());
}

QString ChangeLogAddLine(const QDateTime& when, const QString& sourcePath,
                         const QString& appDirectory) {
    return stamp(when) + QStringLiteral(": ADD \"") + sourcePath + QStringLiteral("\" to \"") +
           appDirectory + QLatin1Char('"');
}

QString ChangeLogDeleteLine(const QDateTime& when, const QString& apkPath) {
    return stamp(when) + QStringLiteral(": DELETE \"") + apkPath + QLatin1Char('"');
}

QString ChangeLogReplaceLine(const QDateTime& when, const QString& targetPath,
                             const QString& sourcePath) {
    return stamp(when) + QStringLiteral(": REPLACE \"") + targetPath +
           QStringLiteral("\" with \"") + sourcePath + QLatin1Char('"');
}

QByteArray EncodeChangeLog(const QStringList& lines) {
    QByteArray out;
    Cp936Encoder encoder;
    for (const QString& line : lines) {
        encoder.append(line, &out);
        out.append("\r\n");
    }
    return out;
}

QByteArray EncodeChangeLogUtf8(const QStringList& lines) {
    QByteArray out;
    for (const QString& line : lines) {
        // The stamp is "%4d-%2d-%2d %2d:%2d:%2d" (19 characters), padded with blanks.
        const QString date = line.left(10).remove(QLatin1Char(' '));
        const QString time = line.mid(11, 8).remove(QLatin1Char(' '));
        const QDateTime when =
            QDateTime::fromString(date + QLatin1Char(' ') + time, QStringLiteral("yyyy-M-d H:m:s"));
        if (line.size() >= 19 && line.at(10) == QLatin1Char(' ') && when.isValid())
            out.append(
                (when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODate) + line.mid(19))
                    .toUtf8());
        else
            out.append(line.toUtf8());
        out.append('\n');
    }
    return out;
}

Result WriteChangeLogFile(const QString& path, QStringList& lines, ChangeLogFormat format) {
    const auto writeFailed = [&](const QString& cause) {
        return Result::failed(Notice::failure(Msg::WriteLogFailed(), Notice::Box::Application),
                              QStringLiteral("cannot write \"%1\": %2").arg(path, cause));
    };
    // Written beside the old log under a name of its own and renamed over
    // it: the old log stays whole until the new one is complete.
    FileHelpers::TemporaryFile file(path);
    QString cause;
    if (!file.open(&cause))
        return writeFailed(cause);
    const QByteArray bytes =
        format == ChangeLogFormat::Utf8 ? EncodeChangeLogUtf8(lines) : EncodeChangeLog(lines);
    if (!file.write(bytes, &cause))
        return writeFailed(cause);
    if (!file.commit(&cause))
        return Result::failed(Notice::failure(Msg::DeleteLogFailed(), Notice::Box::Application),
                              QStringLiteral("cannot replace \"%1\": %2").arg(path, cause));
    lines.clear();
    return Result::done();
}

bool AppendChangeLogJournal(const QString& journalPath, const QString& line) {
    QFile file(journalPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    QByteArray text = line.toUtf8();
    text.replace('\n', ' ');
    return FileHelpers::WriteAll(file, text + '\n');
}

QStringList ReadChangeLogJournal(const QString& journalPath) {
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines << QString::fromUtf8(line);
    }
    return lines;
}

void RecordChange(const Operation& op, const QString& line) {
    op.state.appendChangeLog(line);
    op.state.setUnsavedEdits(true);
    // The log itself is written at close; the journal is what survives a
    // crash. Losing a journal line loses nothing of the package.
    AppendChangeLogJournal(op.state.paths().changeLogJournal(), line);
}

void TakeUpChangeLogJournal(const Operation& op) {
    const QStringList earlier = ReadChangeLogJournal(op.state.paths().changeLogJournal());
    if (earlier.isEmpty())
        return;
    QStringList& lines = op.state.changeLog();
    lines = earlier + lines;
}

Result WriteChangeLog(const Operation& op) {
    const WorkspacePaths paths = op.state.paths();
    const Result result = WriteChangeLogFile(paths.changeLogFile(), op.state.changeLog());
    // On a failure the lines and the journal stay for the next close.
    if (result.succeeded())
        FileHelpers::RemoveFile(paths.changeLogJournal());
    return result;
}
