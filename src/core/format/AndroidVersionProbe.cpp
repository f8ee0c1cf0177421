#include "core/format/AndroidVersionProbe.h"

#include "core/base/Messages.h"
#include "core/base/Reporter.h"

#include <QStringEncoder>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char kKey[] = "ro.build.version.release";
constexpr size_t kKeyLength = sizeof(kKey) - 1; // 24 bytes
} // namespace

namespace {

// Opens the file by the file system's encoding of the path.
FILE* openBuildProp(const QString& path, AndroidVersionProbeResult::Error* error) {
    // A path that encoding cannot hold (an unpaired surrogate) names no file.
    QStringEncoder encoder(QStringEncoder::Utf8);
    const QByteArray narrow = encoder.encode(path);
    if (encoder.hasError() || narrow.contains('\0')) {
        *error = AndroidVersionProbeResult::Error::PathNotConvertible;
        return nullptr;
    }
    FILE* file = std::fopen(narrow.constData(), "r");
    if (!file)
        *error = AndroidVersionProbeResult::Error::CannotOpen;
    return file;
}

// Finds the release line: reads at most 127 bytes of a line at a time and
// stops at the first piece that starts with the key. False at the end.
bool findReleaseLine(FILE* file, char (&line)[128]) {
    std::memset(line, 0, sizeof line);
    for (;;) {
        // A failed read leaves the buffer as it was.
        const bool read = std::fgets(line, sizeof line, file) != nullptr;
        if (std::strncmp(line, kKey, kKeyLength) == 0)
            return true;
        // End of file, or a read error that would otherwise repeat for ever.
        if (std::feof(file) || (!read && std::ferror(file)))
            return false;
    }
}

// The version on the release line of an open build.prop; the file is closed.
int probeOpenFile(FILE* file) {
    char line[128];
    int version = 0;
    if (findReleaseLine(file, line)) {
        if (const char* equals = std::strchr(line, '=')) {
            const int number = std::atoi(equals + 1);
            version = (number > 5 || number < 0) ? 0 : number;
        }
    }
    std::fclose(file);
    return version;
}

} // namespace

AndroidVersionProbeResult ProbeAndroidVersionFile(const QString& path) {
    AndroidVersionProbeResult result;
    FILE* file = openBuildProp(path, &result.error);
    if (!file)
        return result;
    result.version = probeOpenFile(file);
    return result;
}

int ProbeAndroidVersionText(const QByteArray& buildProp) {
    if (buildProp.isEmpty())
        return 0;
    // Read as the file is read, line piece by line piece.
    FILE* file = ::fmemopen(const_cast<char*>(buildProp.constData()),
                            static_cast<size_t>(buildProp.size()), "r");
    return file ? probeOpenFile(file) : 0;
}

QString ReadAndroidRelease(const QString& buildProp) {
    AndroidVersionProbeResult::Error error = AndroidVersionProbeResult::Error::None;
    FILE* file = openBuildProp(buildProp, &error);
    if (!file)
        return {};
    char line[128];
    QString release;
    if (findReleaseLine(file, line)) {
        if (const char* equals = std::strchr(line, '=')) {
            release = QString::fromUtf8(QByteArray(equals + 1).trimmed());
            if (release.isNull()) // an empty value is a value
                release = QStringLiteral("");
        }
    }
    std::fclose(file);
    return release;
}

int ProbeAndroidVersion(Reporter& reporter, const QString& path) {
    const AndroidVersionProbeResult probe = ProbeAndroidVersionFile(path);
    switch (probe.error) {
    case AndroidVersionProbeResult::Error::PathNotConvertible:
        reporter.message(Msg::CannotReadVersion());
        return 0;
    case AndroidVersionProbeResult::Error::CannotOpen:
        reporter.message(Msg::CannotOpenFile(path));
        return 0;
    case AndroidVersionProbeResult::Error::None:
        break;
    }
    return probe.version;
}
