#pragma once

#include <QWidget>

// The "Image" page: replaces the partition images and the boot animation.
class CImageView : public QWidget {
    Q_OBJECT
public:
    explicit CImageView(QWidget* parent = nullptr);

    // The root of the extracted tree.
    QString RootDirectory;

    // The command of a replace button (1006 to 1008, 1010 to 1015): asks for a
    // file, copies it over the button's file in the tree and updates the same
    // member of the working archive; logs the replacement and marks the button.
    void ReplaceImageFile(int buttonId);

    // The commands of the hidden buttons 1009 and 1016: show the boot
    // animation's directory or the tree's root in the file browser.
    void OpenImageDirectory(int buttonId);

    // Adds the change mark "*" to the caption of the button (once).
    void MarkPageChanged(int buttonId);

protected:
    // Swallows Escape and Enter pressed anywhere on the page.
    bool eventFilter(QObject* watched, QEvent* event) override;
};
