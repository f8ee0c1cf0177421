#pragma once

#include <QWidget>

// The "Settings" page: opens three configuration files in a text editor.
class CConfigView : public QWidget {
    Q_OBJECT
public:
    explicit CConfigView(QWidget* parent = nullptr);

    // The root of the extracted tree.
    QString RootDirectory;

    // The commands of buttons 1006 to 1008: open the button's file.
    void OnOpenConfigFile(int buttonId);

protected:
    // Swallows Escape and Enter pressed anywhere on the page.
    bool eventFilter(QObject* watched, QEvent* event) override;
};
