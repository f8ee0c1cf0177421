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

ProgressDialog* CCorvaneApp::BusyDialog() const {
    return m_busyDialog.data();
}

void CCorvaneApp::CreateBusyDialog() {
    if (!m_busyDialog)
        m_busyDialog = new ProgressDialog(nullptr);
}

void CCorvaneApp::DestroyBusyDialog() {
    delete m_busyDialog;
    m_busyDialog = nullptr;
}

void CCorvaneApp::toolStarted(const ToolCommand& command, ToolRunner& runner) {
    CreateBusyDialog();
    m_baseText = command.busyText;
    // The main window runs modally and blocks the input of every other
    // window, close box included: the busy dialog is shown as its own.
    if (m_mainWindow && m_busyDialog->parentWidget() != m_mainWindow->window())
        m_busyDialog->setParent(m_mainWindow->window(), m_busyDialog->windowFlags());
    if (command.centre) {
        QScreen* screen = m_mainWindow ? m_mainWindow->screen() : QGuiApplication::primaryScreen();
        if (screen) {
            QRect frame = m_busyDialog->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            m_busyDialog->move(frame.topLeft());
        }
    }
    m_busyDialog->SetRunner(&runner);
    m_busyDialog->setProgress(-1);
    m_busyDialog->show();
    ::SetMainControlsEnabled(m_mainWindow, false);
    m_busyStep = 0;
    m_busyDialog->setBusyText(m_baseText + BusyDotSuffix(m_busyStep));
    ++m_busyStep;
}

void CCorvaneApp::toolTick() {
    if (!m_busyDialog)
        return;
    m_busyDialog->setBusyText(m_baseText + BusyDotSuffix(m_busyStep));
    ++m_busyStep;
}

void CCorvaneApp::toolProgress(int percent) {
    if (m_busyDialog)
        m_busyDialog->setProgress(percent);
}

void CCorvaneApp::toolFinished() {
    if (m_busyDialog) {
        m_busyDialog->hide();
        m_busyDialog->SetRunner(nullptr);
    }
    ::SetMainControlsEnabled(m_mainWindow, true);
}
