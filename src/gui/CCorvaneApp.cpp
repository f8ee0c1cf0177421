#include "gui/CCorvaneApp.h"

#include "gui/DialogBuilder.h"
#include "gui/ProgressDialog.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

QString BusyDotSuffix(int index) {
    return QString(index % 7, QLatin1Char('.'));
}

CCorvaneApp::CCorvaneApp(const QString& appDirectory) : m_state(appDirectory) {
    m_runner.setObserver(this);
}

CCorvaneApp::~CCorvaneApp() {
    DestroyBusyDialog();
}

void CCorvaneApp::CreateBusyDialog() {
    if (!BusyDialog)
        BusyDialog = new ProgressDialog(nullptr);
}

void CCorvaneApp::DestroyBusyDialog() {
    delete BusyDialog;
    BusyDialog = nullptr;
}

void CCorvaneApp::toolStarted(const ToolCommand& command, ToolRunner& runner) {
    CreateBusyDialog();
    m_baseText = command.busyText;
    // The main window runs modally and blocks the input of every other
    // window, close box included: the busy dialog is shown as its own.
    if (MainWindow && BusyDialog->parentWidget() != MainWindow->window())
        BusyDialog->setParent(MainWindow->window(), BusyDialog->windowFlags());
    if (command.centre) {
        QScreen* screen = MainWindow ? MainWindow->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame = BusyDialog->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            BusyDialog->move(frame.topLeft());
        }
    }
    BusyDialog->Runner = &runner;
    BusyDialog->setProgress(-1);
    BusyDialog->show();
    ::SetMainControlsEnabled(MainWindow, false);
    BusyStep = 0;
    BusyDialog->setBusyText(m_baseText + BusyDotSuffix(BusyStep));
    ++BusyStep;
}

void CCorvaneApp::toolTick() {
    if (!BusyDialog)
        return;
    BusyDialog->setBusyText(m_baseText + BusyDotSuffix(BusyStep));
    ++BusyStep;
}

void CCorvaneApp::toolProgress(int percent) {
    if (BusyDialog)
        BusyDialog->setProgress(percent);
}

void CCorvaneApp::toolFinished() {
    if (BusyDialog) {
        BusyDialog->hide();
        BusyDialog->Runner = nullptr;
    }
    ::SetMainControlsEnabled(MainWindow, true);
}
