#pragma once

#include <QIcon>

// Icon 134: the application's icon.
QIcon ApplicationIcon();
// Icon 135: the APK icon of the list pages.
QIcon ApkIcon();
