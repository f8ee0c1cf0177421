#pragma once

#include <QWidget>

class CCorvaneApp;

// The "Settings" page: opens three configuration files in a text editor.
class CConfigView : public QWidget {
    Q_OBJECT
public:
    explicit CConfigView(CCorvaneApp& app, QWidget* parent = nullptr);

    // The root of the extracted tree (the state owns its place).
    QString RootDirectory() const;

    // The commands of the buttons IDC_OPEN_*: open the button's file.
    void OnOpenConfigFile(int buttonId);

private:
    CCorvaneApp& m_app;
};
