#include "core/WorkspacePaths.h"

QString WorkspacePaths::directoryOfExecutable(const QString& executablePath) {
    const QString trimmed = executablePath.trimmed();
    const qsizetype cut = trimmed.lastIndexOf(QLatin1Char('/'));
    return cut < 0 ? QString() : trimmed.left(cut);
}
