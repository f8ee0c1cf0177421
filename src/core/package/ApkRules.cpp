#include "core/package/ApkRules.h"

#include "core/package/ApkNameRule.h"

std::optional<PartitionPath> PartitionPath::ofMember(const QString& member) {
    const qsizetype slash = member.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash + 1 >= member.size())
        return std::nullopt;
    return PartitionPath{member.left(slash), member.mid(slash + 1)};
}

QString ApkPlaceName(ApkPlace place) {
    for (const ApkFolder& folder : kApkPlaces) {
        if (folder.place == place)
            return QLatin1String(folder.name);
    }
    return {};
}

std::optional<ApkLocation> LocateApkMember(const QString& member) {
    if (!HasApkExtension(FileNamePart(member)))
        return std::nullopt;
    for (const ApkFolder& folder : kApkPlaces) {
        const QLatin1String prefix(folder.member);
        if (member.startsWith(prefix) && member.size() > prefix.size())
            return ApkLocation{folder.place, member.indexOf(QLatin1Char('/'), prefix.size()) >= 0};
    }
    return std::nullopt;
}

bool UsesDirectoryLayout(int androidMajor) {
    return androidMajor == 5;
}

QString ApkFolderName(const QString& fileName) {
    const qsizetype extension = fileName.indexOf(QLatin1String(".apk"));
    return extension < 0 ? fileName : fileName.left(extension);
}

QString FlatApkPath(const QString& appDirectory, const QString& fileName) {
    return appDirectory + QLatin1Char('/') + fileName;
}

QString OwnFolderApkPath(const QString& appDirectory, const QString& fileName) {
    const QString folder = ApkFolderName(fileName);
    if (folder.isEmpty())
        return QString();
    return appDirectory + QLatin1Char('/') + folder + QLatin1Char('/') + fileName;
}

QString OwnFolderOfApk(const QString& apkPath, const QStringList& appDirectories,
                       bool directoryLayout) {
    if (!directoryLayout)
        return QString();
    const qsizetype slash = apkPath.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    const QString directory = apkPath.left(slash);
    const QString folder = ApkFolderName(apkPath.mid(slash + 1));
    if (folder.isEmpty())
        return QString();
    for (const QString& appDirectory : appDirectories) {
        if (directory == appDirectory + QLatin1Char('/') + folder)
            return directory;
    }
    return QString();
}

QStringList ListedApkMembers(const QStringList& members, bool directoryLayout) {
    QStringList apks;
    for (const QString& member : members) {
        if (!HasApkExtension(FileNamePart(member)))
            continue;
        for (const ApkFolder& place : kApkPlaces) {
            const QLatin1String folder(place.member);
            if (!place.listed || !member.startsWith(folder))
                continue;
            const qsizetype depth = member.mid(folder.size()).count(QLatin1Char('/'));
            if (depth == 0 || (directoryLayout && depth == 1))
                apks << member;
        }
    }
    return apks;
}

bool PickApkMember(const QStringList& listedApks, const QString& name, QString* member,
                   QString* error) {
    const bool byPath = name.contains(QLatin1Char('/'));
    QStringList matches;
    for (const QString& apk : listedApks) {
        if (byPath ? apk == name : FileNamePart(apk) == name)
            matches << apk;
    }
    if (matches.isEmpty()) {
        *error =
            QStringLiteral("no APK named \"%1\" in system/app, system/priv-app or userdata/app")
                .arg(name);
        return false;
    }
    if (matches.size() > 1) {
        *error = QStringLiteral("\"%1\" names more than one APK: %2 (give its path to pick one)")
                     .arg(name, matches.join(QStringLiteral(", ")));
        return false;
    }
    *member = matches.first();
    return true;
}

ApkRemoval RemovalOfApkMember(const QString& member, bool directoryLayout) {
    QStringList appDirectories;
    for (const ApkFolder& place : kApkPlaces) {
        if (place.listed)
            appDirectories << QLatin1String(place.member).chopped(1);
    }
    const QString folder = OwnFolderOfApk(member, appDirectories, directoryLayout);
    return folder.isEmpty() ? ApkRemoval{member, false} : ApkRemoval{folder, true};
}

bool IsOdexCompanion(const QString& apkPath, const QString& path, bool directoryLayout) {
    const qsizetype slash = apkPath.lastIndexOf(QLatin1Char('/'));
    const QString fileName = apkPath.mid(slash + 1);
    if (!fileName.endsWith(QLatin1String(".apk"), Qt::CaseInsensitive) || fileName.size() <= 4)
        return false;
    const QString odex = fileName.chopped(4) + QStringLiteral(".odex");
    const QString directory = apkPath.left(slash + 1); // with its '/', or empty
    if (!path.startsWith(directory))
        return false;
    const QString rest = path.mid(directory.size());
    if (rest == odex)
        return true;
    if (!directoryLayout || !rest.startsWith(QLatin1String("oat/")) ||
        rest.size() <= 4 + odex.size() + 1)
        return false;
    // oat/<isa>/NAME.odex, the isa one folder.
    const QString isa = rest.mid(4, rest.size() - 4 - odex.size() - 1);
    return !isa.isEmpty() && !isa.contains(QLatin1Char('/')) &&
           rest == QStringLiteral("oat/") + isa + QLatin1Char('/') + odex;
}

QStringList OdexCompanions(const QString& apkPath, const QStringList& paths, bool directoryLayout) {
    QStringList companions;
    for (const QString& path : paths) {
        if (IsOdexCompanion(apkPath, path, directoryLayout))
            companions << path;
    }
    return companions;
}
