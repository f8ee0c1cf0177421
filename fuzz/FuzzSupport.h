#pragma once

// What the fuzz targets share: a check that stops the run like a crash, and a
// scratch folder (in memory where the machine has one) for readers that take
// a file.

#include <QDir>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

namespace fuzz {

inline void require(bool condition) {
    if (!condition)
        std::abort();
}

// A folder of this process's own, made once.
inline QString scratchDirectory(const char* target) {
    static const QString path = [target] {
        const QString base =
            QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        const QString made =
            base + QStringLiteral("/%1-%2").arg(QLatin1String(target)).arg(::getpid());
        QDir().mkpath(made);
        return made;
    }();
    return path;
}

// Writes the input to path, replacing what was there.
inline void writeInput(const QString& path, const uint8_t* data, size_t size) {
    QFile out(path);
    require(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    require(out.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
}

} // namespace fuzz
