#pragma once

#include <QDialog>
#include <QIcon>

class CApkEditView;
class CConfigView;
class CCorvaneApp;
class CImageView;
class QTabWidget;
class QLineEdit;
class QTimer;

// The main window: package path with Browse, four pages in a tab control,
// Save and Cancel. Each command gathers its input, runs one core operation
// and updates the pages.
class CCorvaneDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCorvaneDlg(CCorvaneApp& app, QWidget* parent = nullptr);
    ~CCorvaneDlg() override;

    // The pages, while the window has them (the cancel command deletes them).
    CApkEditView* SystemApkPage() const { return m_systemApkPage; }
    CApkEditView* DataApkPage() const { return m_dataApkPage; }
    CImageView* ImagePage() const { return m_imagePage; }
    CConfigView* SettingsPage() const { return m_settingsPage; }
    QTabWidget* TabControl() const { return m_tabControl; }

    // Creates the pages and the working directories and probes a kept tree.
    bool OnInitDialog();
    // Runs the window modally (initialising it first).
    int DoModal();

    void OnTabSelChange(int index);
    void SetMainControlsEnabled(bool enabled);

    void OnBrowseClicked();
    // Opens the package as Browse does once it is chosen, questions included.
    void OpenPackageFile(const QString& package);
    // Before the open package is replaced: unsaved edits are offered for
    // saving ("Do you want to save?"). True when the replacement may go on:
    // No, or Yes and the save wrote them; closing the question keeps the
    // open package.
    bool SaveEditsBeforeReplacing();
    // Opens the package (from the command line, a later start or a drop) as
    // soon as the window waits for the user: at once when it does, else after
    // the run or the question in progress. A later request replaces one that
    // still waits.
    void OpenPackageWhenIdle(const QString& package);
    // True while the window waits for the user: shown, no run, no question.
    bool IsIdle() const;
    void OnSaveClicked();
    void OnCancelClicked();

    QLineEdit* packagePathField() const;

    // Escape: the cancel command, ignored while a tool runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    // A single local .zip file dropped on the window opens it.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void refreshApkLists();
    void openPendingPackage();

    CCorvaneApp& m_app;
    QIcon m_appIcon;
    CApkEditView* m_systemApkPage = nullptr;
    CApkEditView* m_dataApkPage = nullptr;
    CImageView* m_imagePage = nullptr;
    CConfigView* m_settingsPage = nullptr;
    QTabWidget* m_tabControl = nullptr;
    bool m_initialised = false;
    bool m_closing = false;
    // Commands of the window in progress (a package opened from elsewhere
    // waits for them).
    int m_commandDepth = 0;
    QString m_pendingPackage;
    QTimer* m_pendingTimer = nullptr;
};
