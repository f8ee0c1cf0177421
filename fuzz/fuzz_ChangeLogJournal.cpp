// The change-log journal read over any bytes: no crash, one line per
// non-empty journal line, none empty or holding a line feed, and the lines
// encode for the log.

#include "core/workspace/ChangeLog.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QFile>
#include <QString>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString file =
        fuzz::scratchDirectory("fuzz_ChangeLogJournal") + QStringLiteral("/log.journal");
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    fuzz::writeInput(file, data, size);
    const QStringList lines = ReadChangeLogJournal(file);
    qsizetype nonEmpty = 0;
    for (const QByteArray& line : bytes.split('\n'))
        nonEmpty += line.isEmpty() ? 0 : 1;
    require(lines.size() == nonEmpty);
    for (const QString& line : lines)
        require(!line.isEmpty() && !line.contains(QLatin1Char('\n')));
    require(EncodeChangeLog(lines).count("\r\n") >= lines.size());
    QFile::remove(file);
    return 0;
}
