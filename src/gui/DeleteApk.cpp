// The Delete command of an APK page.
#include "gui/CApkEditView.h"

#include "gui/CCorvaneApp.h"
#include "gui/UiDialogs.h"
#include "gui/ChangeLogWriter.h"
#include "gui/WaitCursor.h"
#include "core/Archive.h"
#include "core/FileHelpers.h"

#include <QFile>
#include <QFileInfo>
#include <QListWidget>

namespace {

// Makes an entry removable, as far as its permissions are concerned: a
// directory must be writable and searchable for its contents to go. Links
// are left alone (the change would reach their target); failures are
// ignored, the removal itself reports them.
void makeRemovable(const QString& path) {
    const QFileInfo info(path);
    if (info.isSymLink())
        return;
    QFileDevice::Permissions permissions =
        QFile::permissions(path) | QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (info.isDir())
        permissions |= QFileDevice::ExeOwner;
    QFile::setPermissions(path, permissions);
}

} // namespace

void CApkEditView::OnDeleteApk() {
    CCorvaneApp& app = theApp();
    if (app.WorkingArchivePath.isEmpty()) {
        ShowMessage(this, QStringLiteral("Please open a firmware package first!"));
        return;
    }
    if (!AskYesNo(this, QStringLiteral("Are you sure to delete?")))
        return;

    // A row leaves the list as soon as it is worked, while ApkPaths keeps its
    // entries until the refresh: row i belongs to entry i + deleted.
    int row = 0;
    int deleted = 0;
    while (row < ApkCount) {
        QListWidgetItem* item = ApkList->item(row);
        if (!item || !item->isSelected()) {
            ++row;
            continue;
        }
        delete ApkList->takeItem(row);
        const QString path = ApkPaths.value(row + deleted);
        if (!DeleteApk(path)) {
            ShowMessage(this, QStringLiteral("Delete \"") + path + QStringLiteral("\" Failed!"));
            break;
        }
        LogApkDeleted(path);
        --ApkCount;
        ++deleted;
    }
    // Also after a failure, so that rows and ApkPaths agree again.
    RefreshApkList();
}

int CApkEditView::DeleteApk(const QString& apkPath) {
    const CCorvaneApp& app = theApp();
    const int slash = apkPath.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return 0;
    const QString directory = apkPath.left(slash);
    const QString fileName = apkPath.mid(slash + 1);

    // The archive member is the APK's path below the extracted tree's root
    // ("system/priv-app/Settings/Settings.apk"). An APK outside the page's
    // partition has no member of its own: refuse before anything changes.
    const int rootSlash = RootDirectory.lastIndexOf(QLatin1Char('/'));
    if (RootDirectory.isEmpty() || rootSlash < 0 ||
        !apkPath.startsWith(RootDirectory + QLatin1Char('/')))
        return 0;
    const QString member = apkPath.mid(rootSlash + 1);
    // The member leaves the archive before anything on disk is touched.
    const auto removeMember = [&] {
        return WithWaitCursor([&] {
            return RunArchiver(QLatin1Char('d'), member, app.WorkingArchivePath, QString());
        });
    };

    if (app.AndroidMajorVersion == 5) {
        const int extension = fileName.indexOf(QLatin1String(".apk"), 0, Qt::CaseSensitive);
        if (extension < 0)
            return 0;
        const QString baseName = fileName.left(extension);
        // Directory layout: app/Name/Name.apk (or priv-app/Name/Name.apk on the
        // system page); the whole directory goes.
        const bool inOwnDirectory =
            directory == RootDirectory + QStringLiteral("/app/") + baseName ||
            (IsSystemPage != 0 &&
             directory == RootDirectory + QStringLiteral("/priv-app/") + baseName);
        if (inOwnDirectory) {
            if (!removeMember())
                return 0;
            return RemoveApkDirectory(directory);
        }
    }

    // Flat layout: only the file goes.
    if (!removeMember())
        return 0;
    return RemoveFile(apkPath) ? 1 : 0;
}

int CApkEditView::RemoveApkDirectory(const QString& directory) {
    if (directory.isEmpty())
        return 0;
    for (const QString& name : ListDirectory(directory)) {
        const QString entry = directory + QLatin1Char('/') + name;
        makeRemovable(entry);
        if (IsDirectory(entry)) {
            if (!RemoveApkDirectory(entry))
                return 0;
        } else if (!RemoveFile(entry)) {
            return 0;
        }
    }
    return RemoveEmptyDirectory(directory) ? 1 : 0;
}
