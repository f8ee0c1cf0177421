#pragma once

#include "core/package/PackageLayout.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QWidget>

class CCorvaneApp;
class QListWidget;
class QMenu;
class QPushButton;

// A page listing the pre-installed APKs of one partition (system or data),
// with the Add and Delete commands.
class CApkEditView : public QWidget {
    Q_OBJECT
public:
    CApkEditView(CCorvaneApp& app, Partition partition, QWidget* parent = nullptr);
    ~CApkEditView() override;

    QListWidget* ApkList() const { return m_list; }
    // The partition directory in the extracted tree, no trailing separator
    // (read from the state, which owns the tree's place).
    QString RootDirectory() const;
    // The system or the data partition.
    Partition PagePartition() const { return m_partition; }
    int ApkCount() const { return static_cast<int>(m_apkPaths.size()); }
    // Full path of the APK shown in each row, in row order.
    const QStringList& ApkPaths() const { return m_apkPaths; }

    // Rebuilds the list and ApkPaths from disk.
    void RefreshApkList();
    // The tooltip of a row: package name, version, size and signer (the
    // platform key, or the short form of the certificate's SHA-256). Read
    // from the APK when first asked for, so that listing stays fast; kept
    // until the list is rebuilt.
    QString ApkToolTip(int row);

    // Enables Delete when a row is selected (true), disables it otherwise.
    bool UpdateDeleteButton();

    // Context menu command ids.
    enum : int { ID_MENU_ADD = 50000, ID_MENU_DELETE = 50001 };
    // Builds the list's context menu (Add, Delete grayed without a selection).
    QMenu* BuildContextMenu(QWidget* parent);
    // Runs a context-menu command (0: dismissed).
    void RunContextCommand(int commandId);

    // The Delete command (button, menu, Delete keys): deletes the selected APKs.
    void OnDeleteApk();

    // The Add command: asks for APK files and adds each.
    void OnAddApk();
    // Dropped files: each path goes to AddApkFile until one fails.
    void OnDropFiles(const QStringList& paths);
    // Adds one file to the partition (the core's rules and messages).
    bool AddApkFile(const QString& sourcePath);

    QPushButton* addButton() const;
    QPushButton* deleteButton() const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    CCorvaneApp& m_app;
    Partition m_partition;
    QListWidget* m_list = nullptr;
    QStringList m_apkPaths;
    QHash<QString, QString> m_toolTips;
    // The platform certificate (DER), read with the first tooltip.
    QByteArray m_platformCertificate;
    bool m_platformCertificateRead = false;
};
