#pragma once

#include <QByteArray>
#include <QString>

// Reads the major Android release from a build.prop: the first line whose
// first 24 bytes are "ro.build.version.release", value read as atoi does.
struct AndroidVersionProbeResult {
    enum class Error { None, PathNotConvertible, CannotOpen };
    int version = 0; // 1 to 5; 0 when unknown or out of range
    Error error = Error::None;
};

AndroidVersionProbeResult ProbeAndroidVersionFile(const QString& path);
// The same rule over a build.prop's bytes (a member read from a package).
int ProbeAndroidVersionText(const QByteArray& buildProp);

// The release as written on the line the probe reads ("5.1.1"), blanks and
// line end trimmed; a null string when the file cannot be read or has no
// such line with a '='. Only the line's first 127 bytes are read.
QString ReadAndroidRelease(const QString& buildProp);

class Reporter;

// The probe with its messages: a path that cannot be converted or a file that
// cannot be opened is reported. The major release, or 0. The messages go
// through the reporter at once, not into a result: the open (or the start-up)
// that probes goes on without the release.
int ProbeAndroidVersion(Reporter& reporter, const QString& path);
