// The Add command and dropped files of an APK page.
#include "gui/CCorvaneApp.h"
#include "gui/UiDialogs.h"
#include "gui/CApkEditView.h"
#include "core/ApkNameRule.h"
#include "gui/ChangeLogWriter.h"
#include "gui/WaitCursor.h"
#include "core/Archive.h"
#include "core/FileHelpers.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString PromptNoPackage() {
    return QStringLiteral("Please open a firmware package first!");
}

QString OverwriteQuestion(const QString& name) {
    return QStringLiteral("File \"%1\" exist,Do you want to overwrite?").arg(name);
}

// The directory inside the working archive that mirrors the directory of a
// target in the extracted tree ("system/app" or "system/app/Foo"), so that the
// member stands where the tree holds the file.
QString ArchiveDirectoryOf(const QString& target, const QString& appDirectory,
                           const QString& pagePrefix) {
    const QString directory = QFileInfo(target).path();
    const QString relative = QDir(theApp().Paths().extractedTree()).relativeFilePath(directory);
    const bool insideTree =
        !relative.isEmpty() && relative != QLatin1String(".") && relative != QLatin1String("..") &&
        !relative.startsWith(QLatin1String("../")) && !QDir::isAbsolutePath(relative);
    if (insideTree)
        return relative;
    // A page whose partition lies outside the tree: the page's own prefix,
    // plus the folder of the directory layout if there is one.
    const QString below = QDir(appDirectory).relativeFilePath(directory);
    if (below == QLatin1String(".") || below.startsWith(QLatin1String("..")))
        return pagePrefix;
    return pagePrefix + QLatin1Char('/') + below;
}

} // namespace

void CApkEditView::OnAddApk() {
    if (theApp().WorkingArchivePath.isEmpty()) {
        ShowMessage(this, PromptNoPackage());
        RefreshApkList();
        return;
    }
    const QStringList paths =
        UiDialogs::instance().openFileNames(nullptr, QStringLiteral("*.apk (*.apk)"), true);
    // A refused or failed file does not stop the ones after it.
    for (const QString& path : paths)
        AddApkFile(path);
    RefreshApkList();
}

void CApkEditView::OnDropFiles(const QStringList& paths) {
    // Files and directories alike; the first failure ends the drop.
    for (const QString& path : paths) {
        if (!AddApkFile(path))
            break;
    }
    RefreshApkList();
}

bool CApkEditView::AddApkFile(const QString& sourcePath) {
    CCorvaneApp& app = theApp();
    if (app.WorkingArchivePath.isEmpty()) {
        ShowMessage(this, PromptNoPackage());
        return false;
    }
    if (!PathExists(sourcePath)) {
        ShowMessage(this, QStringLiteral("File \"%1\" does not exist!").arg(sourcePath));
        return false;
    }

    const QString name = FileNamePart(sourcePath);
    if (!IsValidApkName(name)) {
        ShowMessage(this, QStringLiteral("Apk \"%1\" named illegally!  \nOnly support \"A-Z a-z "
                                         "0-9 + - _ .\"")
                              .arg(name));
        return false;
    }
    if (!HasApkExtension(name) &&
        !AskYesNo(this,
                  QStringLiteral("File \"%1\" is not apk file,Do you want to continue?").arg(name)))
        return false;

    const WorkspacePaths paths = app.Paths();
    const QString appDirectory = RootDirectory + QStringLiteral("/app");
    const QString target = appDirectory + QLatin1Char('/') + name;
    const QString unpackDirectory = paths.unpackDir();
    const QString signedCopy = paths.apkTempDir() + QLatin1Char('/') + name;

    // An existing directory is no error; only its absence afterwards is.
    CreateDirectory(appDirectory);
    if (!PathExists(appDirectory)) {
        ShowMessage(this, QStringLiteral("\"%1\" does not exist!").arg(appDirectory));
        return false;
    }

    if (IsSystemPage) {
        if (!app.DeleteDirectoryTree(unpackDirectory)) {
            ShowMessage(this, QStringLiteral("Delete\"%1\" Failed!").arg(unpackDirectory));
            return false;
        }
        // Unpacked only for its native libraries.
        if (!app.ExtractArchive(sourcePath, unpackDirectory)) {
            ShowMessage(this, QStringLiteral("Unzip Apk \"%1\" Failed!").arg(name));
            return false;
        }
        if (!app.SignArchive(sourcePath, signedCopy, true) || !PathExists(signedCopy)) {
            ShowMessage(this, QStringLiteral("Sign Apk \"%1\" Failed!").arg(name));
            return false;
        }
        if (!CopyApkIntoPage(signedCopy, target, name))
            return false;
        const QString libraryDirectory = RootDirectory + QStringLiteral("/lib");
        CreateDirectory(libraryDirectory);
        if (!CopyNativeLibraries(unpackDirectory + QStringLiteral("/lib"), libraryDirectory))
            return false;
    } else if (!CopyApkIntoPage(sourcePath, target, name)) {
        return false;
    }

    LogApkAdded(sourcePath, appDirectory);
    return true;
}

bool CApkEditView::CopyApkIntoPage(const QString& file, const QString& target,
                                   const QString& name) {
    CCorvaneApp& app = theApp();
    if (app.WorkingArchivePath.isEmpty()) {
        ShowMessage(this, PromptNoPackage());
        return false;
    }

    const QString appDirectory = RootDirectory + QStringLiteral("/app");
    QString placed = target;
    // Created only once the archive holds the file.
    QString newFolder;
    if (PathExists(target)) {
        // A file already in the flat layout is replaced there.
        if (!AskYesNo(this, OverwriteQuestion(name)))
            return false;
    } else if (app.AndroidMajorVersion == 5) {
        const qsizetype extension = name.indexOf(QLatin1String(".apk"));
        const QString baseName = extension < 0 ? name : name.left(extension);
        // A name that begins with ".apk" has no folder name: it stays flat.
        if (!baseName.isEmpty()) {
            const QString folder = appDirectory + QLatin1Char('/') + baseName;
            placed = folder + QLatin1Char('/') + name;
            if (!PathExists(folder))
                newFolder = folder;
            else if (PathExists(placed) && !AskYesNo(this, OverwriteQuestion(placed)))
                return false;
        }
    }

    const QString pagePrefix =
        IsSystemPage ? QStringLiteral("system/app") : QStringLiteral("userdata/app");
    if (!WithWaitCursor([&] {
            return RunArchiver(QLatin1Char('a'), file, app.WorkingArchivePath,
                               ArchiveDirectoryOf(placed, appDirectory, pagePrefix));
        })) {
        ShowMessage(this, QStringLiteral("Failed to add \"%1\" to the package!").arg(name));
        return false;
    }

    if (!newFolder.isEmpty())
        CreateDirectory(newFolder);
    if (!CopyFileTo(file, placed, false)) {
        ShowMessage(this, QStringLiteral("Copy failed!"));
        return false;
    }
    return true;
}
