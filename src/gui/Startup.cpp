#include "gui/Startup.h"

#include "core/base/Diagnostics.h"
#include "core/base/Messages.h"
#include "core/base/Result.h"
#include "core/base/WorkspacePaths.h"
#include "core/workspace/AppState.h"
#include "core/workspace/Workspace.h"
#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/GuiReporter.h"
#include "gui/Icons.h"
#include "gui/SingleInstance.h"
#include "gui/UiDialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

void OfferToResume(CCorvaneApp& app) {
    GuiReporter reporter(nullptr);
    const ResumeResult resumed = ResumeWorkspace(app.Op(reporter));
    PresentResult(reporter, app.State().paths(), QStringLiteral("Resume"), resumed.result);
}

QString PackageArgument(const QStringList& arguments) {
    bool options = true;
    for (const QString& argument : arguments.mid(1)) {
        if (options && argument == QLatin1String("--")) {
            options = false;
            continue;
        }
        if (options && argument.startsWith(QLatin1Char('-')))
            continue;
        return argument;
    }
    return QString();
}

int RunCorvane(const QString& package) {
    const QString executable = QCoreApplication::applicationFilePath();
    if (executable.isEmpty())
        return 0;
    // A bundle works beside its executable; an installed program in the
    // user's data folder, made here when missing.
    // (A workspace that cannot be made is named by the lock that follows.)
    QString workspace;
    WorkspacePaths::makeWorkspaceForProgram(WorkspacePaths::directoryOfExecutable(executable),
                                            &workspace);
    CCorvaneApp app(workspace);
    SingleInstance instance(app.State().appDirectory());
    switch (instance.acquire()) {
    case SingleInstance::Result::Acquired:
        break;
    case SingleInstance::Result::HeldByOther:
        // The running instance comes forward; one that holds the workspace
        // but cannot be reached is named rather than passed over in silence.
        if (!instance.notifyFirstInstance(package))
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
                     [&dialog](const QString& handed) {
                         BringInstanceForward(&dialog);
                         if (!handed.isEmpty())
                             dialog.OpenPackageWhenIdle(handed);
                     });
    app.CreateBusyDialog();
    OfferToResume(app);
    if (!package.isEmpty())
        dialog.OpenPackageWhenIdle(QFileInfo(package).absoluteFilePath());
    dialog.DoModal();
    return 0;
}
