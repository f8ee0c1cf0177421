#pragma once

#include <QStringList>
#include <QWidget>

class QListWidget;
class QMenu;
class QPushButton;

// A page listing the pre-installed APKs of one partition (system or data),
// with the Add and Delete commands.
class CApkEditView : public QWidget {
    Q_OBJECT
public:
    explicit CApkEditView(QWidget* parent = nullptr);
    ~CApkEditView() override;

    QListWidget* ApkList = nullptr;
    // The partition directory in the extracted tree, no trailing separator.
    QString RootDirectory;
    // 1 on the system page, 0 on the data page.
    int IsSystemPage = 0;
    int ApkCount = 0;
    // Full path of the APK shown in each row, in row order.
    QStringList ApkPaths;

    // Rebuilds the list and ApkPaths from disk; always 1.
    int RefreshApkList();
    // Enables Delete when a row is selected (1), disables it otherwise (0).
    int UpdateDeleteButton();

    void OnAddApk();
    void OnDeleteApk();

    QPushButton* addButton() const;
    QPushButton* deleteButton() const;
};
