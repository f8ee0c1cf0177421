#pragma once

#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "support/ScriptedUiDialogs.h"
#include "support/TestBundle.h"

#include <QString>

// A main window over a temporary workspace with scripted dialogs, as the
// package tests drive it: initialised, with its busy dialog made.
class PackageWindow {
public:
    PackageWindow();
    ~PackageWindow();
    PackageWindow(const PackageWindow&) = delete;
    PackageWindow& operator=(const PackageWindow&) = delete;

    TestBundle bundle;
    ScriptedUiDialogs dialogs;
    CCorvaneApp app;
    CCorvaneDlg dlg;

    QString file(const QString& relative) const { return bundle.file(relative); }
    AppState& state() { return app.State(); }
    // Opens the package through Browse, as if the user chose it.
    void open(const QString& package);
    // Writes a package of the given members under packages/; its path.
    QString writePackage(const QString& name, const QList<QPair<QString, QByteArray>>& members);
};
