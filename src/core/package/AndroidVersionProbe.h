#pragma once

#include <QString>

// Reads the major Android release from a build.prop: the first line whose
// first 24 bytes are "ro.build.version.release", value read as atoi does.
struct AndroidVersionProbeResult {
    enum class Error { None, PathNotConvertible, CannotOpen };
    int version = 0; // 1 to 5; 0 when unknown or out of range
    Error error = Error::None;
};

AndroidVersionProbeResult ProbeAndroidVersionFile(const QString& path);

class Reporter;

// The probe with its messages: a path that cannot be converted or a file that
// cannot be opened is reported. The major release, or 0.
int ProbeAndroidVersion(Reporter& reporter, const QString& path);
