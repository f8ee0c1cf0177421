#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/UiDialogs.h"
#include "gui/ProbeAndroidVersion.h"
#include "gui/CApkEditView.h"
#include "core/Archive.h"
#include "core/FileHelpers.h"

#include <QFileInfo>
#include <QLineEdit>

void CCorvaneDlg::OnBrowseClicked() {
    CCorvaneApp& app = theApp();
    const QStringList chosen =
        UiDialogs::instance().openFileNames(nullptr, QStringLiteral("*.zip (*.zip)"), false);
    if (chosen.isEmpty())
        return;
    const QString package = chosen.constFirst();
    if (!PathExists(package)) {
        ShowMessage(this, QStringLiteral("File \"%1\" does not exist!").arg(package));
        return;
    }
    // A file that is not a readable ZIP must not cost the current work.
    if (!IsReadableZipArchive(package)) {
        ShowMessage(this, QStringLiteral("UnZip file failed"));
        return;
    }

    const WorkspacePaths paths = app.Paths();
    packagePathField()->setText(package);
    ClearImageChangeMarks(ImagePage);
    app.DeleteDirectoryTree(ExtractedTreeRoot);
    // The tree is gone: until this open completes, no edit may reach the old
    // working archive, which no longer matches the tree.
    app.WorkingArchivePath.clear();
    SetMainControlsEnabled(false);

    if (!app.ExtractArchive(package, ExtractedTreeRoot)) {
        SystemApkPage->RefreshApkList();
        DataApkPage->RefreshApkList();
        ShowMessage(this, QStringLiteral("UnZip file failed"));
        SetMainControlsEnabled(true);
        return;
    }
    SetMainControlsEnabled(true);
    if (!PathExists(ExtractedTreeRoot)) {
        SystemApkPage->RefreshApkList();
        DataApkPage->RefreshApkList();
        ShowAppMessage(QStringLiteral("UnZip file failed!!"));
        return;
    }
    if (!PathExists(paths.zipTempDir()) && !CreateDirectory(paths.zipTempDir())) {
        ShowAppMessage(QStringLiteral("Failed to create the temporary directory!"));
        return;
    }
    // Opening the working archive itself (to take up kept work) needs no copy.
    if (!IsSameFile(package, paths.workingArchive()) &&
        !CopyFileTo(package, paths.workingArchive(), false)) {
        ShowAppMessage(QStringLiteral("Failed to copy the zip file!"));
        return;
    }
    app.WorkingArchivePath = paths.workingArchive();

    const int version =
        ProbeAndroidVersion(this, ExtractedTreeRoot + QStringLiteral("/system/build.prop"));
    if (version != 0)
        app.AndroidMajorVersion = version;

    SystemApkPage->RefreshApkList();
    DataApkPage->RefreshApkList();
    SetMainControlsEnabled(true);
    ShowMessage(this, QStringLiteral("UnZip file successfully"));
}
