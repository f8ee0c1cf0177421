#include "core/package/ApkLibraries.h"

#include "core/zip/MemberNames.h"
#include "core/zip/ZipFormat.h"
#include "core/zip/ZipMemberReader.h"

#include <QFile>
#include <QPair>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool fail(QString* error, const QString& cause) {
    if (error)
        *error = cause;
    return false;
}

// The archive's central directory, read and checked. False with the cause.
bool readDirectory(const QString& apkPath, ZipDirectory* directory, QString* error) {
    const int fd = ::open(QFile::encodeName(apkPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(error, QStringLiteral("cannot open \"%1\"").arg(apkPath));
    QString cause;
    const bool read = ReadZipDirectory(fd, directory, &cause);
    ::close(fd);
    if (!read)
        return fail(error, QStringLiteral("\"%1\" is not a readable ZIP: %2").arg(apkPath, cause));
    return true;
}

// Whether a raw name lies under lib/ at all (before it is made canonical, so
// that "lib/../x" and "lib\..\x" count).
bool underLib(const QString& decoded) {
    return decoded.startsWith(QLatin1String("lib/")) || decoded.startsWith(QLatin1String("lib\\"));
}

} // namespace

bool ListApkLibraries(const QString& apkPath, QList<ApkLibrary>* libraries, QString* error,
                      ApkLibraryScope scope) {
    ZipDirectory directory;
    if (!readDirectory(apkPath, &directory, error))
        return false;
    QList<ApkLibrary> found;
    for (const ZipCentralEntry& entry : directory.entries) {
        const QString decoded = DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8);
        const QString member = CanonicalMemberName(decoded);
        if (!underLib(decoded) && !member.startsWith(QLatin1String("lib/")))
            continue;
        if (!IsSafeMemberName(member) || member.contains(QChar(0)))
            return fail(error, QStringLiteral("\"%1\" has a member that would leave its folder: %2")
                                   .arg(apkPath, PrintableZipName(entry.rawName)));
        const QStringList parts = member.split(QLatin1Char('/'));
        if (parts.size() < 2 || parts[0] != QLatin1String("lib"))
            continue;
        if (scope == ApkLibraryScope::NativeLibraries &&
            (parts.size() != 3 || !parts[2].endsWith(QLatin1String(".so")) ||
             parts[2] == QLatin1String(".so")))
            continue;
        // A folder entry "lib/abi/x.so/" is no library.
        if (entry.rawName.endsWith('/') || entry.rawName.endsWith('\\') || parts.last().isEmpty())
            continue;
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [&](const ApkLibrary& l) { return l.member == member; }),
                    found.end());
        found.append({parts.size() > 2 ? parts[1] : QString(), parts.last(), member,
                      static_cast<qint64>(entry.uncompressedSize)});
    }
    *libraries = found;
    return true;
}

bool ExtractApkLibrary(const QString& apkPath, const ApkLibrary& library, const QString& outputPath,
                       QString* error) {
    ZipDirectory directory;
    if (!readDirectory(apkPath, &directory, error))
        return false;
    for (qsizetype i = directory.entries.size() - 1; i >= 0; --i) {
        const ZipCentralEntry& entry = directory.entries[i];
        if (CanonicalMemberName(DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8)) !=
            library.member)
            continue;
        const QList<QPair<quint64, QString>> one{{static_cast<quint64>(i), outputPath}};
        return ExtractZipEntries(apkPath, one, error);
    }
    return fail(error, QStringLiteral("\"%1\" has no member %2").arg(apkPath, library.member));
}
