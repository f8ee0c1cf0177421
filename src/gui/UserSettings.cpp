#include "gui/UserSettings.h"

#include <QSettings>

std::unique_ptr<QSettings> OpenUserSettings() {
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                       QStringLiteral("Corvane"), QStringLiteral("Corvane"));
}
