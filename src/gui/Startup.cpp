#include "gui/Startup.h"

#include "core/AppState.h"
#include "core/Messages.h"
#include "core/Result.h"
#include "core/WorkspacePaths.h"
#include "core/io/Diagnostics.h"
#include "core/workspace/Workspace.h"
#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/GuiReporter.h"
#include "gui/Icons.h"
#include "gui/SingleInstance.h"
#include "gui/UiDialogs.h"

#include <QApplication>

void OfferToResume(CCorvaneApp& app) {
    GuiReporter reporter(nullptr);
    const ResumeResult resumed = ResumeWorkspace(app.Op(reporter));
    PresentResult(reporter, app.State().paths(), QStringLiteral("Resume"), resumed.result);
}

int RunCorvane() {
    const QString executable = QCoreApplication::applicationFilePath();
    if (executable.isEmpty())
        return 0;
    CCorvaneApp app(WorkspacePaths::directoryOfExecutable(executable));
    SingleInstance instance(app.State().appDirectory());
    switch (instance.acquire()) {
    case SingleInstance::Result::Acquired:
        break;
    case SingleInstance::Result::HeldByOther:
        // The running instance comes forward; one that holds the workspace
        // but cannot be reached is named rather than passed over in silence.
        if (!instance.notifyFirstInstance())
            ShowAppMessage(Msg::AlreadyRunning(app.State().appDirectory()));
        return 0;
    case SingleInstance::Result::Failed:
        ShowAppMessage(Msg::WorkspaceLocked(app.State().appDirectory(), instance.errorString()));
        return 1;
    }
    QApplication::setWindowIcon(ApplicationIcon());
    QApplication::setQuitOnLastWindowClosed(false);

    CCorvaneDlg dialog(app);
    QObject::connect(&instance, &SingleInstance::activationRequested, &dialog,
                     [&dialog] { BringInstanceForward(&dialog); });
    app.CreateBusyDialog();
    OfferToResume(app);
    dialog.DoModal();
    return 0;
}
