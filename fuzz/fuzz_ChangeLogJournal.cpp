// The change-log journal read over any bytes: no crash, one line per
// non-empty journal line, none empty or holding a line feed, and the lines
// encode for the log.

#include "core/package/ChangeLog.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

QString directory() {
    static const QString path = [] {
        const QString base =
            QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString made = base + QStringLiteral("/fuzz_ChangeLogJournal-%1").arg(::getpid());
        QDir().mkpath(made);
        return made;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString file = directory() + QStringLiteral("/log.journal");
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile out(file);
        require(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(out.write(bytes) == bytes.size());
    }
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
