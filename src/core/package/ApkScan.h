#pragma once

#include <QString>
#include <QStringList>

// The search pattern of an APK list: "*.*" (every entry, so every
// sub-directory is descended into) in the folder layout (UsesDirectoryLayout),
// where each APK lies in a directory of its own, and "*.apk" otherwise.
QString ApkScanPattern(int androidMajorVersion);

// True when the entry name matches the pattern: '*' any run of characters,
// '?' one character, letters in any case; "*.*" matches every name, names
// without a full stop included.
bool MatchesScanPattern(const QString& name, const QString& pattern);

// Collects the APK files below the directory, depth first, appending the full
// path of each to found. The directory's entries are taken in case-insensitive
// name order; of those matching the pattern, a directory is scanned at once
// (before the next entry) and a file passing HasApkExtension is appended.
// A missing or unreadable directory adds nothing, nor does an entry whose
// name is not UTF-8 (no path of the program can reach it). The pattern is compiled
// once per scan and each entry's status read once.
void ScanApkDirectory(const QString& directory, const QString& pattern, QStringList& found);
