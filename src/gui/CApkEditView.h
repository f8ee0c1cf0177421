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

    // Context menu command ids.
    enum : int { ID_MENU_ADD = 50000, ID_MENU_DELETE = 50001 };
    // Builds the list's context menu (Add, Delete grayed without a selection).
    QMenu* BuildContextMenu(QWidget* parent);
    // Runs a context-menu command (0: dismissed).
    void RunContextCommand(int commandId);

    // The Delete command (button, menu, Delete keys): deletes the selected APKs.
    void OnDeleteApk();
    // Removes one APK from the working archive and the tree. Non-zero on success.
    int DeleteApk(const QString& apkPath);
    // Removes a directory-layout APK's directory with everything in it.
    int RemoveApkDirectory(const QString& directory);

    // The Add command: asks for APK files and adds each.
    void OnAddApk();
    // Dropped files: each path goes to AddApkFile until one fails.
    void OnDropFiles(const QStringList& paths);
    // Checks one file and adds it to the tree and the working archive.
    bool AddApkFile(const QString& sourcePath);
    // Places the file in the archive and the tree (overwrite question, layout).
    bool CopyApkIntoPage(const QString& file, const QString& target, const QString& name);
    // Places every file below source (flattened) into target and the archive.
    bool CopyNativeLibraries(const QString& sourceDirectory, const QString& targetDirectory);

    QPushButton* addButton() const;
    QPushButton* deleteButton() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
};
