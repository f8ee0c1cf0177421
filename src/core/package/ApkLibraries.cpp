#include "core/package/ApkLibraries.h"

#include "core/base/FileHelpers.h"
#include "core/base/UniqueFd.h"
#include "core/format/MemberNames.h"
#include "core/format/ZipFormat.h"
#include "core/format/ZipMemberReader.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QPair>
#include <QSet>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool fail(QString* error, const QString& cause) {
    if (error)
        *error = cause;
    return false;
}

// Streams one entry's checked bytes into out.
bool writeEntry(const OpenedZip& apk, const QString& apkPath, const ZipCentralEntry& entry,
                FileHelpers::TemporaryFile& out, QString* error) {
    QString cause;
    QString writeCause;
    if (ReadZipMemberData(
            apk.fd(), entry,
            [&](const char* data, qint64 size) { return out.write(data, size, &writeCause); },
            &cause))
        return true;
    return fail(error, writeCause.isEmpty()
                           ? QStringLiteral("\"%1\": its member %2 cannot be read: %3")
                                 .arg(apkPath, PrintableZipName(entry.rawName), cause)
                           : writeCause);
}

// Whether a raw name lies under lib/ at all (before it is made canonical, so
// that "lib/../x" and "lib\..\x" count).
bool underLib(const QString& decoded) {
    return decoded.startsWith(QLatin1String("lib/")) || decoded.startsWith(QLatin1String("lib\\"));
}

} // namespace

bool ListApkLibraries(const QString& apkPath, QList<ApkLibrary>* libraries, QString* error,
                      ApkLibraryScope scope) {
    OpenedZip apk;
    if (!apk.open(apkPath, error))
        return false;
    const ZipDirectory& directory = apk.directory();
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

bool WriteApkLibraryInto(const QString& apkPath, const ApkLibrary& library,
                         FileHelpers::TemporaryFile& out, QString* error) {
    OpenedZip apk;
    if (!apk.open(apkPath, error))
        return false;
    const QList<ZipCentralEntry>& entries = apk.directory().entries;
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        const ZipCentralEntry& entry = entries[i];
        if (CanonicalMemberName(DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8)) ==
            library.member)
            return writeEntry(apk, apkPath, entry, out, error);
    }
    return fail(error, QStringLiteral("\"%1\" has no member %2").arg(apkPath, library.member));
}

bool ExtractApkLibrary(const QString& apkPath, const ApkLibrary& library, const QString& outputPath,
                       QString* error) {
    const QString folder = outputPath.left(outputPath.lastIndexOf(QLatin1Char('/')));
    if (!QDir().mkpath(folder))
        return fail(error, QStringLiteral("cannot make the folder \"%1\"").arg(folder));
    FileHelpers::TemporaryFile out(outputPath);
    return out.open(error) && WriteApkLibraryInto(apkPath, library, out, error) &&
           out.commit(error);
}

bool ExtractApkLibraries(const QString& apkPath, const QList<ApkLibrary>& libraries,
                         const QString& outputDirectory, QString* error) {
    if (libraries.isEmpty())
        return true;
    OpenedZip apk;
    if (!apk.open(apkPath, error))
        return false;
    const ZipDirectory& directory = apk.directory();
    // The last entry of each canonical name below lib/.
    QHash<QString, qsizetype> lastEntry;
    for (qsizetype i = 0; i < directory.entries.size(); ++i) {
        const ZipCentralEntry& entry = directory.entries[i];
        const QString decoded = DecodeMemberName(entry.rawName, entry.flags & kZipFlagUtf8);
        const QString member = CanonicalMemberName(decoded);
        if (member.startsWith(QLatin1String("lib/")))
            lastEntry.insert(member, i);
    }
    QSet<QString> madeFolders;
    for (const ApkLibrary& library : libraries) {
        const auto found = lastEntry.constFind(library.member);
        if (found == lastEntry.cend())
            return fail(error,
                        QStringLiteral("\"%1\" has no member %2").arg(apkPath, library.member));
        const QString path = outputDirectory + QLatin1Char('/') + library.member;
        const QString folder = path.left(path.lastIndexOf(QLatin1Char('/')));
        if (!madeFolders.contains(folder)) {
            if (!QDir().mkpath(folder))
                return fail(error, QStringLiteral("cannot make the folder \"%1\"").arg(folder));
            madeFolders.insert(folder);
        }
        FileHelpers::TemporaryFile out(path);
        if (!out.open(error) ||
            !writeEntry(apk, apkPath, directory.entries[found.value()], out, error) ||
            !out.commitScratch(error))
            return false;
    }
    return true;
}
