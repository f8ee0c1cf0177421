#pragma once

#include <QDialog>
#include <QIcon>

class CApkEditView;
class CConfigView;
class CCorvaneApp;
class CImageView;
class QTabWidget;
class QLineEdit;

// The main window: package path with Browse, four pages in a tab control,
// Save and Cancel. Each command gathers its input, runs one core operation
// and updates the pages.
class CCorvaneDlg : public QDialog {
    Q_OBJECT
public:
    explicit CCorvaneDlg(CCorvaneApp& app, QWidget* parent = nullptr);
    ~CCorvaneDlg() override;

    QIcon AppIcon;
    CApkEditView* SystemApkPage = nullptr;
    CApkEditView* DataApkPage = nullptr;
    CImageView* ImagePage = nullptr;
    CConfigView* SettingsPage = nullptr;
    QTabWidget* TabControl = nullptr;
    // AppDirectory + "/srctemp": where a package is unpacked.
    QString ExtractedTreeRoot;

    // Creates the pages and the working directories and probes a kept tree.
    bool OnInitDialog();
    // Runs the window modally (initialising it first).
    int DoModal();

    void OnTabSelChange(int index);
    void SetMainControlsEnabled(bool enabled);

    void OnBrowseClicked();
    void OnSaveClicked();
    void OnCancelClicked();

    QLineEdit* packagePathField() const;

    // Escape: the cancel command, ignored while a tool runs.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void refreshApkLists();

    CCorvaneApp& m_app;
    bool m_initialised = false;
    bool m_closing = false;
};
