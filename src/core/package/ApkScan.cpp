#include "core/package/ApkScan.h"

#include "core/package/ApkRules.h"

#include "core/base/FileHelpers.h"
#include "core/package/ApkNameRule.h"

#include <QFile>

#include <QRegularExpression>
#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

QString ApkScanPattern(int androidMajorVersion) {
    return UsesDirectoryLayout(androidMajorVersion) ? QStringLiteral("*.*")
                                                    : QStringLiteral("*.apk");
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

// One entry of a directory and its kind, as the listing itself tells it
// (d_type); only entries whose kind it does not tell are asked with lstat,
// and only links are followed with stat.
struct Entry {
    QString name;
    bool directory = false; // a real directory, not a link to one
    bool linkToDirectory = false;
};

QList<Entry> listDirectory(const QString& directory) {
    QList<Entry> entries;
    const QByteArray native = QFile::encodeName(directory);
    DIR* dir = ::opendir(native.constData());
    if (!dir)
        return entries;
    while (const dirent* item = ::readdir(dir)) {
        const char* name = item->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        // A name the program cannot spell (bytes that are not UTF-8) names no
        // file it could reach: listing it would show a phantom.
        const QString decoded = QFile::decodeName(name);
        if (QFile::encodeName(decoded) != QByteArrayView(name))
            continue;
        unsigned char type = item->d_type;
        const QByteArray path = native + '/' + name;
        if (type == DT_UNKNOWN) {
            struct stat info;
            if (::lstat(path.constData(), &info) != 0)
                continue;
            type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
        }
        Entry entry;
        entry.name = decoded;
        entry.directory = type == DT_DIR;
        if (type == DT_LNK) {
            struct stat target;
            entry.linkToDirectory =
                ::stat(path.constData(), &target) == 0 && S_ISDIR(target.st_mode);
        }
        entries.append(entry);
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return FileHelpers::NameLess(a.name, b.name); });
    return entries;
}

void scan(const QString& directory, const ScanPattern& pattern, QStringList& found) {
    for (const Entry& entry : listDirectory(directory)) {
        if (!pattern.matches(entry.name))
            continue;
        const QString path = directory + QLatin1Char('/') + entry.name;
        if (entry.directory) {
            scan(path, pattern, found);
            continue;
        }
        // A link to a directory is neither descended into (no loops) nor listed.
        if (entry.linkToDirectory)
            continue;
        if (HasApkExtension(entry.name))
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
