#pragma once

#include "core/base/Operation.h"
#include "core/base/ToolRunner.h"
#include "core/workspace/AppState.h"

#include <QPointer>
#include <QString>

class ProgressDialog;
class QWidget;

// The application object: owns the program's state, the runner of the
// external programs and the busy dialog, and shows each run behind the busy
// dialog (the main window's four controls disabled, the text's dots moving,
// the close box stopping the program).
class CCorvaneApp : public ToolRunObserver {
public:
    explicit CCorvaneApp(const QString& appDirectory = QString());
    ~CCorvaneApp() override;
    CCorvaneApp(const CCorvaneApp&) = delete;
    CCorvaneApp& operator=(const CCorvaneApp&) = delete;

    AppState& State() { return m_state; }
    const AppState& State() const { return m_state; }
    ToolRunner& Runner() { return m_runner; }

    // What a core operation works with, telling and asking through reporter.
    Operation Op(Reporter& reporter) { return Operation{m_state, reporter, m_runner}; }

    // The busy dialog (cleared by itself if its owner deletes it first) and
    // the main window whose controls a run disables.
    ProgressDialog* BusyDialog() const;
    QWidget* MainWindow() const { return m_mainWindow; }
    void SetMainWindow(QWidget* window) { m_mainWindow = window; }
    // Selects the busy text's dot suffix; one step per tick.
    int BusyStep() const { return m_busyStep; }

    // True while an external program (or background work) runs behind the
    // busy dialog.
    bool IsToolRunning() const { return m_runner.isRunning(); }

    // Creates the busy dialog, hidden (start-up).
    void CreateBusyDialog();
    void DestroyBusyDialog();

    // ToolRunObserver
    void toolStarted(const ToolCommand& command, ToolRunner& runner) override;
    void toolTick() override;
    void toolProgress(int percent) override;
    void toolFinished() override;

private:
    AppState m_state;
    ToolRunner m_runner;
    QPointer<ProgressDialog> m_busyDialog;
    QPointer<QWidget> m_mainWindow;
    int m_busyStep = 0;
    QString m_baseText;
};

// The dot suffixes of the busy text: zero to six full stops.
QString BusyDotSuffix(int index);
