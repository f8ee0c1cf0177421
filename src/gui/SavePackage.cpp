#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/UiDialogs.h"
#include "core/DriveType.h"
#include "gui/WaitCursor.h"
#include "core/Archive.h"
#include "core/FileHelpers.h"

#include <QFileInfo>

namespace {

struct ConfigFile {
    const char* suffix;
    const char* pathInArchive;
};

// The configuration files edited in the tree only, put back on every save.
constexpr ConfigFile kConfigFiles[] = {
    {"/system/build.prop", "system"},
    {"/system/usr/keylayout/Vendor_0001_Product_0001.kl", "system/usr/keylayout"},
    {"/system/etc/key.xml", "system/etc"},
};

} // namespace

void CCorvaneDlg::OnSaveClicked() {
    CCorvaneApp& app = theApp();
    if (app.WorkingArchivePath.isEmpty()) {
        ShowMessage(this, QStringLiteral("Please open a firmware package first!"));
        return;
    }

    // A file missing from the tree is skipped (not every package has all
    // three); a present one that cannot be put back stops the save, since the
    // signed package would silently lack the user's edits.
    const QString treeRoot = app.Paths().extractedTree();
    for (const ConfigFile& config : kConfigFiles) {
        const QString file = treeRoot + QLatin1String(config.suffix);
        if (!PathExists(file))
            continue;
        if (!WithWaitCursor([&] {
                return RunArchiver(QLatin1Char('u'), file, app.WorkingArchivePath,
                                   QLatin1String(config.pathInArchive));
            })) {
            ShowMessage(this, QStringLiteral("Failed to update \"%1\" in the package!").arg(file));
            return;
        }
    }

    const QString chosen = UiDialogs::instance().saveFileName(
        nullptr, QStringLiteral("*.zip (*.zip)"), QStringLiteral("update"), QStringLiteral("zip"));
    if (chosen.isEmpty())
        return;
    if (IsSameFile(chosen, app.WorkingArchivePath)) {
        ShowMessage(this, QStringLiteral("The working archive \"%1\" cannot be the output!")
                              .arg(app.WorkingArchivePath));
        return;
    }

    if (!IsOnNonFixedDrive(chosen)) {
        if (!app.SignArchive(app.WorkingArchivePath, chosen, false)) {
            ShowMessage(this, QStringLiteral("Sign file failed"));
            return;
        }
    } else {
        QString staging =
            app.Paths().zipTempDir() + QLatin1Char('/') + QFileInfo(chosen).fileName();
        // A package saved as "temp.zip" must not be staged over the working archive.
        if (IsSameFile(staging, app.WorkingArchivePath))
            staging = app.Paths().zipTempDir() + QStringLiteral("/staged-") +
                      QFileInfo(chosen).fileName();
        if (PathExists(staging) && !RemoveFile(staging)) {
            ShowMessage(this, QStringLiteral("Delete \"%1\" Failed!").arg(staging));
            return;
        }
        if (!app.SignArchive(app.WorkingArchivePath, staging, false)) {
            ShowMessage(this, QStringLiteral("Sign file failed"));
            return;
        }
        if (!CopyFileTo(staging, chosen, false)) {
            ShowMessage(this, QStringLiteral("Save failed!"));
            return;
        }
    }
    SetMainControlsEnabled(true);
    ShowMessage(this, QStringLiteral("Save succeed"));
}
