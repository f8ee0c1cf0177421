#pragma once

// The build.prop model: the device's ABIs (DeviceAbisOfBuildProp, ParseAbiList).
#include "core/format/BuildProp.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// Where an added system APK's native libraries go on a device of known ABIs,
// as the device's package installer would pick them: for each bitness the
// first of the device's ABIs (in its order of preference) that the APK has a
// lib/<abi>/ folder for; 32-bit ABIs go to system/lib, 64-bit ones to
// system/lib64. The APK's other ABIs are left out, so an APK never meets its
// own library of another ABI.

// One library of an unpacked APK: lib/<abi>/<fileName>.
struct AbiLibrary {
    QString abi;
    QString fileName;
};

struct PlacedLibrary {
    AbiLibrary library;
    QString directory; // below the partition: "lib" or "lib64"
};

struct LibraryPlacement {
    QList<PlacedLibrary> placed; // in the order of the libraries given
    QStringList leftOutAbis;     // the APK's ABIs not placed, in the order first met
};

// Whether the ABI's libraries are 64-bit (arm64-v8a, x86_64, mips64; an
// unknown name ending in "64" too); every other ABI counts as 32-bit.
bool IsAbi64Bit(const QString& abi);

// The libraries placed for a device whose ABIs are `deviceAbis` (not empty:
// with no ABI known the caller keeps the window's flattening instead).
LibraryPlacement PlaceLibraries(const QList<AbiLibrary>& libraries, const QStringList& deviceAbis);
