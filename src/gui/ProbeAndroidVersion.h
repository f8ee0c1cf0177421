#pragma once

#include <QString>

class QWidget;

// The major Android release from the build.prop at path, 1 to 5, or 0. A path
// that cannot be converted or a file that cannot be opened is reported in a
// message box owned by owner.
int ProbeAndroidVersion(QWidget* owner, const QString& path);
