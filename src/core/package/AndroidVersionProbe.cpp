#include "core/package/AndroidVersionProbe.h"

#include "core/Messages.h"
#include "core/Reporter.h"

#include <QStringEncoder>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr char kKey[] = "ro.build.version.release";
constexpr size_t kKeyLength = sizeof(kKey) - 1; // 24 bytes
} // namespace

AndroidVersionProbeResult ProbeAndroidVersionFile(const QString& path) {
    AndroidVersionProbeResult result;

    // The file system's encoding of the path; a path it cannot hold (an
    // unpaired surrogate) cannot name a file.
    QStringEncoder encoder(QStringEncoder::Utf8);
    const QByteArray narrow = encoder.encode(path);
    if (encoder.hasError() || narrow.contains('\0')) {
        result.error = AndroidVersionProbeResult::Error::PathNotConvertible;
        return result;
    }

    FILE* file = std::fopen(narrow.constData(), "r");
    if (!file) {
        result.error = AndroidVersionProbeResult::Error::CannotOpen;
        return result;
    }

    char line[128];
    std::memset(line, 0, sizeof line);
    for (;;) {
        // At most 127 bytes of one line; a failed read leaves the buffer as it was.
        const bool read = std::fgets(line, sizeof line, file) != nullptr;
        if (std::strncmp(line, kKey, kKeyLength) == 0) {
            if (const char* equals = std::strchr(line, '=')) {
                const int number = std::atoi(equals + 1);
                result.version = (number > 5 || number < 0) ? 0 : number;
            }
            break;
        }
        // End of file, or a read error that would otherwise repeat for ever.
        if (std::feof(file) || (!read && std::ferror(file)))
            break;
    }
    std::fclose(file);
    return result;
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
