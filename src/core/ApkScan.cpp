#include "core/ApkScan.h"

#include "core/ApkNameRule.h"
#include "core/FileHelpers.h"

#include <QFileInfo>
#include <QRegularExpression>

QString ApkScanPattern(int androidMajorVersion) {
    return androidMajorVersion == 5 ? QStringLiteral("*.*") : QStringLiteral("*.apk");
}

bool MatchesScanPattern(const QString& name, const QString& pattern) {
    if (pattern == QLatin1String("*.*") || pattern == QLatin1String("*"))
        return true;
    const QRegularExpression expression(QRegularExpression::wildcardToRegularExpression(pattern),
                                        QRegularExpression::CaseInsensitiveOption);
    return expression.match(name).hasMatch();
}

int ScanApkDirectory(const QString& directory, const QString& pattern, QStringList& found) {
    for (const QString& name : FileHelpers::ListDirectory(directory)) {
        if (!MatchesScanPattern(name, pattern))
            continue;
        const QString entry = directory + QLatin1Char('/') + name;
        if (FileHelpers::IsDirectory(entry)) {
            ScanApkDirectory(entry, pattern, found);
            continue;
        }
        // A link to a directory is neither descended into (no loops) nor listed.
        if (QFileInfo(entry).isDir())
            continue;
        if (HasApkExtension(name))
            found.append(entry);
    }
    return 1;
}
