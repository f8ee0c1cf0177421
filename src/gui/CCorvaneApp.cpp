#include "gui/CCorvaneApp.h"

#include "gui/ProgressDialog.h"
#include "core/FileHelpers.h"

CCorvaneApp& theApp() {
    static CCorvaneApp app;
    return app;
}

QString BusyDotSuffix(int index) {
    return QString(index % 7, QLatin1Char('.'));
}

CCorvaneApp::CCorvaneApp() {
    ChangeLog.clear();
}

bool CCorvaneApp::DeleteDirectoryTree(const QString& path) {
    return ::DeleteDirectoryTree(path);
}

void CCorvaneApp::CreateBusyDialog() {
    if (!BusyDialog)
        BusyDialog = new ProgressDialog(nullptr);
}

void CCorvaneApp::DestroyBusyDialog() {
    delete BusyDialog;
    BusyDialog = nullptr;
}
