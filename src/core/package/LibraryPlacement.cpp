#include "core/package/LibraryPlacement.h"

bool IsAbi64Bit(const QString& abi) {
    return abi == QLatin1String("arm64-v8a") || abi == QLatin1String("x86_64") ||
           abi == QLatin1String("mips64") || abi.endsWith(QLatin1String("64"));
}

LibraryPlacement PlaceLibraries(const QList<AbiLibrary>& libraries, const QStringList& deviceAbis) {
    QStringList apkAbis;
    for (const AbiLibrary& library : libraries)
        if (!apkAbis.contains(library.abi))
            apkAbis << library.abi;
    // The first device ABI of each bitness that the APK has.
    QString chosen32;
    QString chosen64;
    for (const QString& abi : deviceAbis) {
        if (!apkAbis.contains(abi))
            continue;
        QString& chosen = IsAbi64Bit(abi) ? chosen64 : chosen32;
        if (chosen.isEmpty())
            chosen = abi;
    }
    LibraryPlacement placement;
    for (const AbiLibrary& library : libraries) {
        if (!library.abi.isEmpty() && library.abi == chosen32)
            placement.placed.append({library, QStringLiteral("lib")});
        else if (!library.abi.isEmpty() && library.abi == chosen64)
            placement.placed.append({library, QStringLiteral("lib64")});
        else if (!placement.leftOutAbis.contains(library.abi))
            placement.leftOutAbis << library.abi;
    }
    return placement;
}
