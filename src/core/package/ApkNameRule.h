#pragma once

#include <QString>

// Tests on the file name of an APK. Both take the file-name part of a path
// (see FileNamePart), keep no state and touch no file.

// True when the name is not empty and every character is one of
// A-Z, a-z, 0-9, '+', '-', '_' and '.'. No other character, ASCII or not,
// is accepted.
bool IsValidApkName(const QString& name);

// True when the name ends in "apk" in any mix of ASCII case; no full stop is
// needed in front ("fooapk" counts, "a.apks" and "ap" do not).
bool HasApkExtension(const QString& name);

// Everything after the last '/' of the path; a path without one is taken whole.
QString FileNamePart(const QString& path);
