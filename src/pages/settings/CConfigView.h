#pragma once

#include <QWidget>

// The "Settings" page: opens three configuration files in a text editor.
class CConfigView : public QWidget {
    Q_OBJECT
public:
    explicit CConfigView(QWidget* parent = nullptr);

    // The root of the extracted tree.
    QString RootDirectory;
};
