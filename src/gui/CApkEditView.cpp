#include "gui/CApkEditView.h"

#include "core/package/ApkNameRule.h"
#include "core/package/ApkOperations.h"
#include "core/Messages.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "gui/GuiReporter.h"
#include "gui/Icons.h"
#include "gui/PageKeyFilter.h"
#include "gui/UiDialogs.h"

#include <QApplication>
#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QResizeEvent>
#include <QUrl>

#include <memory>

namespace {

constexpr int kIconSize = 32;

// The keys that start the Delete command: Delete (main block or keypad) and
// the keypad's decimal key.
bool isDeleteKey(const QKeyEvent* key) {
    if (key->key() == Qt::Key_Delete)
        return true;
    return (key->modifiers() & Qt::KeypadModifier) &&
           (key->key() == Qt::Key_Period || key->key() == Qt::Key_Comma);
}

} // namespace

CApkEditView::CApkEditView(CCorvaneApp& app, Partition partition, QWidget* parent)
    : QWidget(parent), PagePartition(partition), m_app(app) {
    RootDirectory =
        app.State().paths().extractedTree() + QLatin1Char('/') + PartitionDirectoryName(partition);
    BuildDialog(this, dialogTemplate(IDD_APK_PAGE));
    ApkList = Control<QListWidget>(this, IDC_APK_LIST);

    // Icons of 32 x 32 with the name under each, several rows selectable at
    // once, rows kept in the order they were added.
    ApkList->setViewMode(QListView::IconMode);
    ApkList->setIconSize(QSize(kIconSize, kIconSize));
    ApkList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ApkList->setSortingEnabled(false);
    ApkList->setMovement(QListView::Static);
    ApkList->setResizeMode(QListView::Adjust);
    // A fixed cell, like the platform's icon view: long names wrap inside it.
    ApkList->setGridSize(QSize(96, 76));
    ApkList->setWordWrap(true);
    ApkList->setTextElideMode(Qt::ElideRight);
    // Files dropped onto the list are the page's drop.
    ApkList->setDragDropMode(QAbstractItemView::NoDragDrop);
    ApkList->setAcceptDrops(false);
    ApkList->viewport()->setAcceptDrops(false);
    setAcceptDrops(true);

    // Hover over the list re-evaluates Delete.
    ApkList->setMouseTracking(true);
    ApkList->viewport()->setMouseTracking(true);
    ApkList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ApkList, &QListWidget::customContextMenuRequested, this, [this](const QPoint&) {
        const QPoint at = QCursor::pos();
        const std::unique_ptr<QMenu> menu(BuildContextMenu(this));
        const QAction* chosen = menu->exec(at);
        const int commandId = chosen ? chosen->data().toInt() : 0;
        RunContextCommand(commandId);
    });
    connect(ApkList, &QListWidget::itemSelectionChanged, this, [this] { UpdateDeleteButton(); });

    if (QPushButton* add = addButton())
        connect(add, &QPushButton::clicked, this, [this] { OnAddApk(); });
    if (QPushButton* remove = deleteButton())
        connect(remove, &QPushButton::clicked, this, [this] { OnDeleteApk(); });

    // Keys are looked at wherever the focus lies on the page.
    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
    PageKeyFilter::install(this);
}

CApkEditView::~CApkEditView() = default;

QPushButton* CApkEditView::addButton() const {
    return Control<QPushButton>(this, IDC_APK_ADD);
}

QPushButton* CApkEditView::deleteButton() const {
    return Control<QPushButton>(this, IDC_APK_DELETE);
}

void CApkEditView::RefreshApkList() {
    ApkCount = 0;
    ApkPaths.clear();
    ApkList->clear();
    // No partition directory yet: nothing to list (and no path relative to
    // the current directory).
    if (RootDirectory.isEmpty())
        return;

    const QStringList found =
        ListPartitionApks(RootDirectory, PagePartition, m_app.State().androidMajorVersion());
    const QIcon icon = ApkIcon();
    for (const QString& path : found) {
        ApkList->insertItem(ApkCount, new QListWidgetItem(icon, FileNamePart(path)));
        ApkPaths.append(path);
        ++ApkCount;
    }
}

bool CApkEditView::UpdateDeleteButton() {
    QPushButton* button = deleteButton();
    const int rows = std::min(ApkCount, ApkList->count());
    for (int row = 0; row < rows; ++row) {
        if (ApkList->item(row)->isSelected()) {
            if (button)
                button->setEnabled(true);
            return true;
        }
    }
    if (button)
        button->setEnabled(false);
    return false;
}

QMenu* CApkEditView::BuildContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    QAction* add = menu->addAction(QStringLiteral("Add"));
    add->setData(int(ID_MENU_ADD));
    QAction* remove = menu->addAction(QStringLiteral("Delete"));
    remove->setData(int(ID_MENU_DELETE));
    if (!UpdateDeleteButton())
        remove->setEnabled(false);
    return menu;
}

void CApkEditView::RunContextCommand(int commandId) {
    switch (commandId) {
    case ID_MENU_ADD:
        OnAddApk();
        break;
    case ID_MENU_DELETE:
        OnDeleteApk();
        break;
    default:
        break;
    }
}

void CApkEditView::OnAddApk() {
    if (!m_app.State().hasPackage()) {
        ShowMessage(this, Msg::NoPackageOpen());
        RefreshApkList();
        return;
    }
    const QStringList paths =
        UiDialogs::instance().openFileNames(nullptr, QStringLiteral("*.apk (*.apk)"), true);
    // A refused or failed file does not stop the ones after it.
    for (const QString& path : paths)
        AddApkFile(path);
    RefreshApkList();
}

void CApkEditView::OnDropFiles(const QStringList& paths) {
    // Files and directories alike; the first failure ends the drop.
    for (const QString& path : paths) {
        if (!AddApkFile(path))
            break;
    }
    RefreshApkList();
}

bool CApkEditView::AddApkFile(const QString& sourcePath) {
    GuiReporter reporter(this);
    return AddApk(m_app.Op(reporter), PagePartition, sourcePath);
}

void CApkEditView::OnDeleteApk() {
    if (!m_app.State().hasPackage()) {
        ShowMessage(this, Msg::NoPackageOpen());
        return;
    }
    if (!AskYesNo(this, Msg::ConfirmDelete()))
        return;

    // The selected rows, in list order.
    QStringList selected;
    for (int row = 0; row < std::min(ApkCount, ApkList->count()); ++row) {
        if (ApkList->item(row)->isSelected())
            selected << ApkPaths.value(row);
    }
    GuiReporter reporter(this);
    DeleteApks(m_app.Op(reporter), PagePartition, selected);
    // Also after a failure, so that rows and ApkPaths agree again.
    RefreshApkList();
}

void CApkEditView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!ApkList)
        return;
    const int cx = event->size().width();
    const int cy = event->size().height();
    // The list fills the page but for an 80-pixel strip on the right, where
    // the buttons stand at one and two thirds of the height.
    ApkList->setGeometry(0, 0, cx - 80, cy);
    QPushButton* add = addButton();
    QPushButton* remove = deleteButton();
    if (!add || !remove)
        return;
    add->setGeometry(cx - 70, cy / 3, 59, 23);
    remove->setGeometry(cx - 70, (2 * cy) / 3, 59, 23);
}

bool CApkEditView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (isDeleteKey(key)) {
            // A key travels from the focus widget up to the page; act on its
            // first stop only.
            QWidget* focus = QApplication::focusWidget();
            const bool focusOnPage = focus && (focus == this || isAncestorOf(focus));
            if (focusOnPage ? watched == focus : watched == this)
                OnDeleteApk();
        }
        return QWidget::eventFilter(watched, event);
    }

    if (ApkList && watched == ApkList->viewport()) {
        if (event->type() == QEvent::MouseButtonRelease) {
            // A click on a row enables Delete, a click elsewhere disables it.
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                if (QPushButton* button = deleteButton())
                    button->setEnabled(ApkList->itemAt(mouse->position().toPoint()) != nullptr);
            }
        } else if (event->type() == QEvent::MouseMove) {
            UpdateDeleteButton();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CApkEditView::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* mimeData = event->mimeData();
    if (!mimeData || !mimeData->hasUrls())
        return;
    for (const QUrl& url : mimeData->urls()) {
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
    }
}

void CApkEditView::dropEvent(QDropEvent* event) {
    const QMimeData* mimeData = event->mimeData();
    if (!mimeData || !mimeData->hasUrls())
        return;
    QStringList paths;
    for (const QUrl& url : mimeData->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    OnDropFiles(paths);
}
