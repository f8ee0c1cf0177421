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
