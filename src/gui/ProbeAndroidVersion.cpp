#include "gui/ProbeAndroidVersion.h"

#include "gui/UiDialogs.h"
#include "core/AndroidVersionProbe.h"

int ProbeAndroidVersion(QWidget* owner, const QString& path) {
    const AndroidVersionProbeResult probe = ProbeAndroidVersionFile(path);
    switch (probe.error) {
    case AndroidVersionProbeResult::Error::PathNotConvertible:
        ShowMessage(owner, QStringLiteral("Failed to read the Version! "));
        return 0;
    case AndroidVersionProbeResult::Error::CannotOpen:
        ShowMessage(owner, QStringLiteral("Failed to open the file %1! ").arg(path));
        return 0;
    case AndroidVersionProbeResult::Error::None:
        break;
    }
    return probe.version;
}
