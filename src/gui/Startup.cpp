#include "gui/Startup.h"

#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/SingleInstance.h"
#include "gui/UiDialogs.h"
#include "gui/Icons.h"
#include "core/FileHelpers.h"
#include "core/WorkspacePaths.h"

#include <QApplication>

void OfferToResume() {
    CCorvaneApp& app = theApp();
    const WorkspacePaths paths = app.Paths();
    if (!PathExists(paths.extractedTree()))
        return;
    if (AskYesNo(nullptr, QStringLiteral("Do you want to continue the last operation?"))) {
        // The kept working archive belongs to the kept tree: take it up again.
        if (PathExists(paths.workingArchive()))
            app.WorkingArchivePath = paths.workingArchive();
    } else {
        app.DeleteDirectoryTree(paths.extractedTree());
    }
}

int RunCorvane() {
    const QString executable = QCoreApplication::applicationFilePath();
    SingleInstance instance(executable);
    if (!instance.acquire()) {
        instance.notifyFirstInstance();
        return 0;
    }
    QObject::connect(&instance, &SingleInstance::activationRequested, &BringInstanceForward);

    CCorvaneApp& app = theApp();
    app.AppDirectory = WorkspacePaths::directoryOfExecutable(executable);
    if (executable.isEmpty())
        return 0;
    QApplication::setWindowIcon(ApplicationIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    CCorvaneDlg dialog;
    app.CreateBusyDialog();
    OfferToResume();
    dialog.DoModal();
    return 0;
}
