#pragma once

#include <QWidget>

// The "Image" page: replaces the partition images and the boot animation.
class CImageView : public QWidget {
    Q_OBJECT
public:
    explicit CImageView(QWidget* parent = nullptr);

    // The root of the extracted tree.
    QString RootDirectory;

    // Adds the change mark "*" to the caption of the button (once).
    void MarkPageChanged(int buttonId);
};
