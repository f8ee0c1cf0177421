#pragma once

#include <QWidget>

class CCorvaneApp;

// The "Image" page: replaces the partition images and the boot animation.
class CImageView : public QWidget {
    Q_OBJECT
public:
    explicit CImageView(CCorvaneApp& app, QWidget* parent = nullptr);

    // The root of the extracted tree (the state owns its place).
    QString RootDirectory() const;

    // The command of a replace button (IDC_REPLACE_*): asks for a file and
    // replaces the button's image with it (archive and tree), then marks the
    // button.
    void ReplaceImageFile(int buttonId);

    // The commands of the hidden buttons: show the boot animation's directory
    // or the tree's root in the file browser.
    void OpenImageDirectory(int buttonId);

    // Adds the change mark "*" to the caption of the button (once).
    void MarkPageChanged(int buttonId);
    // Removes every change mark (a new package is opened).
    void ClearChangeMarks();

private:
    CCorvaneApp& m_app;
};
