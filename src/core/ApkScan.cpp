#include "core/ApkScan.h"

#include "core/ApkNameRule.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QFileInfo>

#include <QRegularExpression>
#include <algorithm>

QString ApkScanPattern(int androidMajorVersion) {
    return androidMajorVersion == 5 ? QStringLiteral("*.*") : QStringLiteral("*.apk");
}

namespace {

// The pattern, compiled once for a whole scan.
class ScanPattern {
public:
    explicit ScanPattern(const QString& pattern)
        : m_all(pattern == QLatin1String("*.*") || pattern == QLatin1String("*")),
          m_expression(m_all ? QString() : QRegularExpression::wildcardToRegularExpression(pattern),
                       QRegularExpression::CaseInsensitiveOption) {}
    bool matches(const QString& name) const { return m_all || m_expression.match(name).hasMatch(); }

private:
    bool m_all;
    QRegularExpression m_expression;
};

void scan(const QString& directory, const ScanPattern& pattern, QStringList& found) {
    // One listing with the kind of each entry; each entry's status is read
    // once and kept by its QFileInfo.
    QFileInfoList entries = QDir(directory).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    std::sort(entries.begin(), entries.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return FileHelpers::NameLess(a.fileName(), b.fileName());
    });
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        if (!pattern.matches(name))
            continue;
        const QString path = directory + QLatin1Char('/') + name;
        if (entry.isDir()) {
            // A link to a directory is neither descended into (no loops) nor listed.
            if (!entry.isSymLink())
                scan(path, pattern, found);
            continue;
        }
        if (HasApkExtension(name))
            found.append(path);
    }
}

} // namespace

bool MatchesScanPattern(const QString& name, const QString& pattern) {
    return ScanPattern(pattern).matches(name);
}

void ScanApkDirectory(const QString& directory, const QString& pattern, QStringList& found) {
    if (!directory.isEmpty())
        scan(directory, ScanPattern(pattern), found);
}
