// Makes the README's picture of the window: the sample package opened, on
// the system APK page, drawn offscreen.
//
//   make_screenshot OUTPUT.png     (QT_QPA_PLATFORM=offscreen)
#include "core/base/DriveType.h"
#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPixmap>
#include <QTabWidget>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fputs("usage: make_screenshot OUTPUT.png\n", stderr);
        return 2;
    }
    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    SetDriveClassifierForTesting([](const QString&) { return false; });
    const QString user = bundle.file(QStringLiteral("user files"));
    const QString package = user + QStringLiteral("/update.zip");
    if (!QDir().mkpath(user) || !QFile::copy(TestBundle::samplePackage(), package))
        return 1;

    CCorvaneApp app(bundle.path());
    CCorvaneDlg dialog(app);
    dialog.OnInitDialog();
    app.CreateBusyDialog();
    dialog.show();
    dialogs.openResults.enqueue({package});
    dialog.OnBrowseClicked();
    dialog.TabControl()->setCurrentIndex(1);
    QApplication::processEvents();
    return dialog.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
