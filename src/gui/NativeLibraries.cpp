// The native libraries of an APK added to the system page.
#include "gui/CCorvaneApp.h"
#include "gui/UiDialogs.h"
#include "gui/CApkEditView.h"
#include "gui/WaitCursor.h"
#include "core/Archive.h"
#include "core/FileHelpers.h"

#include <QFileInfo>
#include <QList>

namespace {

// Places every file below source directly in target (depth first, in listing
// order) and collects the archive additions that go with them. False when
// the user declined to overwrite or a replacing copy failed; the additions
// collected so far stay in operations.
bool PlaceLibraries(QWidget* owner, const QString& source, const QString& target,
                    QList<ArchiveOperation>& operations) {
    // Later additions of a member replace earlier ones within the batch.
    const auto addToArchive = [&operations](const QString& library) {
        operations.append({QLatin1Char('a'), library, QStringLiteral("system/lib")});
    };

    for (const QString& name : ListDirectory(source)) {
        const QString entry = source + QLatin1Char('/') + name;
        // A link in an unpacked APK could reach any file of this machine: a
        // library is never one, so links are skipped.
        if (QFileInfo(entry).isSymLink())
            continue;
        if (IsDirectory(entry)) {
            if (!PlaceLibraries(owner, entry, target, operations))
                return false;
            continue;
        }
        const QString destination = target + QLatin1Char('/') + name;
        if (CopyFileTo(entry, destination, true)) {
            addToArchive(entry);
            continue;
        }
        // Whatever made the copy fail, the user decides whether to replace.
        if (!AskYesNo(owner,
                      QStringLiteral("File \"%1\" exist,Do you want to overwrite?").arg(name)))
            return false;
        addToArchive(entry);
        if (!CopyFileTo(entry, destination, false)) {
            ShowMessage(owner, QStringLiteral("Copy failed!"));
            return false;
        }
    }
    return true;
}

} // namespace

bool CApkEditView::CopyNativeLibraries(const QString& sourceDirectory,
                                       const QString& targetDirectory) {
    const QString archive = theApp().WorkingArchivePath;
    if (archive.isEmpty()) {
        ShowMessage(this, QStringLiteral("Please open a firmware package first!"));
        return false;
    }

    QList<ArchiveOperation> operations;
    const bool placed = PlaceLibraries(this, sourceDirectory, targetDirectory, operations);
    // One rewrite of the archive for all libraries, also those placed before
    // a failure, so that tree and archive hold the same libraries.
    if (!operations.isEmpty() &&
        !WithWaitCursor([&] { return RunArchiverBatch(archive, operations); })) {
        ShowMessage(this, QStringLiteral("Failed to add the native libraries to the package!"));
        return false;
    }
    return placed;
}
