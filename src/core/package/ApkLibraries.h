#pragma once

#include "core/base/FileHelpers.h"

#include <QList>
#include <QString>

// The native libraries of an APK, read with the program's own ZIP reader.

struct ApkLibrary {
    QString abi;      // "armeabi-v7a"
    QString fileName; // "libfoo.so"
    QString member;   // "lib/armeabi-v7a/libfoo.so", canonical
    qint64 size = 0;  // uncompressed bytes
};

// Which members count as libraries: the native libraries lib/<abi>/<name>.so
// (one level; deeper members are ignored), or every file below lib/ at any
// depth, as the window's add takes them (abi: the first folder below lib/,
// empty for a file right in it).
enum class ApkLibraryScope { NativeLibraries, EveryFileBelowLib };

// The libraries of an APK in the archive's order, a name met twice listed
// once (its last entry). Names are checked with the program's member-name
// rules (MemberNames): one that would leave the tree refuses the APK, as does
// an archive the reader refuses. False with the cause.
bool ListApkLibraries(const QString& apkPath, QList<ApkLibrary>* libraries, QString* error,
                      ApkLibraryScope scope = ApkLibraryScope::NativeLibraries);

// Writes one library's bytes (the last entry of its name), its size and
// CRC-32 checked, into an open temporary file of the caller's, uncommitted.
// False with the cause.
bool WriteApkLibraryInto(const QString& apkPath, const ApkLibrary& library,
                         FileHelpers::TemporaryFile& out, QString* error);

// Writes one library's bytes to outputPath (through a temporary beside it,
// renamed into place once whole), its size and CRC-32 checked; folders are
// made as needed. False with the cause; nothing is left at outputPath then.
bool ExtractApkLibrary(const QString& apkPath, const ApkLibrary& library, const QString& outputPath,
                       QString* error);

// Writes the libraries' bytes below outputDirectory (each at its member
// name), reading the archive's directory once; each through a temporary
// beside it, renamed into place once whole, its size and CRC-32 checked.
// The files are scratch: they are not flushed to the disk. Folders are made
// as needed. False with the cause at the first that fails; those written
// before stay.
bool ExtractApkLibraries(const QString& apkPath, const QList<ApkLibrary>& libraries,
                         const QString& outputDirectory, QString* error);
