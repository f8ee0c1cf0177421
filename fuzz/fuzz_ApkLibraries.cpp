// The native libraries of any bytes taken as an APK: no crash, no read out of
// bounds; every library listed is a one-level lib/<abi>/<name>.so whose
// extraction stays in its folder and, when it succeeds, has the listed size.

#include "core/package/ApkLibraries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    require(dir.isValid());
    const QString apk = dir.path() + QStringLiteral("/in.apk");
    {
        QFile file(apk);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size)) ==
                static_cast<qint64>(size));
    }
    QList<ApkLibrary> libraries;
    QString error;
    if (!ListApkLibraries(apk, &libraries, &error)) {
        require(!error.isEmpty());
        return 0;
    }
    const QString out = dir.path() + QStringLiteral("/out");
    for (const ApkLibrary& library : libraries) {
        require(library.member ==
                QStringLiteral("lib/") + library.abi + QLatin1Char('/') + library.fileName);
        require(!library.abi.isEmpty() && !library.abi.contains(QLatin1Char('/')) &&
                library.abi != QLatin1String(".."));
        require(library.fileName.endsWith(QLatin1String(".so")) &&
                !library.fileName.contains(QLatin1Char('/')));
        const QString target =
            out + QLatin1Char('/') + library.abi + QLatin1Char('/') + library.fileName;
        QString cause;
        if (ExtractApkLibrary(apk, library, target, &cause))
            require(QFileInfo(target).size() == library.size);
        else
            require(!cause.isEmpty() && !QFileInfo::exists(target));
    }
    QDir(out).removeRecursively();
    return 0;
}
