#include "gui/CApkEditView.h"

#include "core/base/Diagnostics.h"
#include "core/base/Messages.h"
#include "core/package/ApkInsight.h"
#include "core/package/ApkNameRule.h"
#include "core/package/PackageInsight.h"
#include "core/workspace/ApkOperations.h"
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
#include <QHelpEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QResizeEvent>
#include <QToolTip>
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

// The first certificate digest of the newest scheme the APK is signed with.
QByteArray SignerDigest(const ApkFacts& facts) {
    for (const QByteArray& digest :
         {facts.v3CertificateSha256, facts.v2CertificateSha256, facts.v1CertificateSha256}) {
        if (!digest.isEmpty())
            return digest;
    }
    return QByteArray();
}

// Package name, version, size and signer of the APK at path.
QString ApkFactsText(const QString& path, const QByteArray& platformCertificate) {
    ApkFacts facts;
    QString cause;
    if (!ReadApkFacts(path, &facts, &cause))
        return Msg::ApkUnreadable(FileNamePart(path), cause);
    QString version;
    if (facts.versionCode >= 0)
        version = QString::number(facts.versionCode);
    if (!facts.versionName.isEmpty())
        version = version.isEmpty() ? facts.versionName
                                    : QStringLiteral("%1 (%2)").arg(facts.versionName, version);
    if (version.isEmpty())
        version = Msg::ApkVersionUnknown();
    QString signer;
    const QByteArray digest = SignerDigest(facts);
    if (digest.isEmpty())
        signer = Msg::ApkNotSigned();
    else if (!platformCertificate.isEmpty() && SignedWith(facts, platformCertificate))
        signer = Msg::ApkSignerPlatformKey();
    else
        // The first eight bytes tell certificates apart at a glance.
        signer = Msg::ApkSignerCertificate(QString::fromLatin1(digest.left(8).toHex(':')) +
                                           QStringLiteral("\u2026"));
    return Msg::ApkToolTip(facts.packageName, version, facts.size, signer);
}

} // namespace

CApkEditView::CApkEditView(CCorvaneApp& app, Partition partition, QWidget* parent)
    : QWidget(parent), m_app(app), m_partition(partition) {
    BuildDialog(this, dialogTemplate(IDD_APK_PAGE));
    m_list = Control<QListWidget>(this, IDC_APK_LIST);

    // Icons of 32 x 32 with the name under each, several rows selectable at
    // once, rows kept in the order they were added.
    m_list->setViewMode(QListView::IconMode);
    m_list->setIconSize(QSize(kIconSize, kIconSize));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setSortingEnabled(false);
    m_list->setMovement(QListView::Static);
    m_list->setResizeMode(QListView::Adjust);
    // A fixed cell, like the platform's icon view: long names wrap inside it.
    m_list->setGridSize(QSize(96, 76));
    m_list->setWordWrap(true);
    m_list->setTextElideMode(Qt::ElideRight);
    // Files dropped onto the list are the page's drop.
    m_list->setDragDropMode(QAbstractItemView::NoDragDrop);
    m_list->setAcceptDrops(false);
    m_list->viewport()->setAcceptDrops(false);
    setAcceptDrops(true);

    // Hover over the list re-evaluates Delete.
    m_list->setMouseTracking(true);
    m_list->viewport()->setMouseTracking(true);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QListWidget::customContextMenuRequested, this, [this](const QPoint&) {
        const QPoint at = QCursor::pos();
        const std::unique_ptr<QMenu> menu(BuildContextMenu(this));
        const QAction* chosen = menu->exec(at);
        const int commandId = chosen ? chosen->data().toInt() : 0;
        RunContextCommand(commandId);
    });
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] { UpdateDeleteButton(); });

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

QString CApkEditView::RootDirectory() const {
    return m_app.State().paths().extractedTree() + QLatin1Char('/') +
           PartitionDirectoryName(m_partition);
}

void CApkEditView::RefreshApkList() {
    m_apkPaths.clear();
    m_toolTips.clear();
    m_list->clear();
    const QStringList found =
        ListPartitionApks(RootDirectory(), m_partition, m_app.State().androidMajorVersion());
    const QIcon icon = ApkIcon();
    for (const QString& path : found) {
        m_list->insertItem(static_cast<int>(m_apkPaths.size()),
                           new QListWidgetItem(icon, FileNamePart(path)));
        m_apkPaths.append(path);
    }
}

QString CApkEditView::ApkToolTip(int row) {
    if (row < 0 || row >= ApkCount())
        return QString();
    const QString path = m_apkPaths.at(row);
    const auto cached = m_toolTips.constFind(path);
    if (cached != m_toolTips.constEnd())
        return *cached;
    if (!m_platformCertificateRead) {
        m_platformCertificateRead = true;
        QString ignored;
        // Without a readable platform certificate every signer is named by
        // its certificate.
        if (!CertificateFileDer(m_app.State().paths().keyFile(QStringLiteral("platform.x509.pem")),
                                &m_platformCertificate, &ignored))
            m_platformCertificate.clear();
    }
    const QString text = ApkFactsText(path, m_platformCertificate);
    m_toolTips.insert(path, text);
    return text;
}

bool CApkEditView::UpdateDeleteButton() {
    QPushButton* button = deleteButton();
    const int rows = std::min(ApkCount(), m_list->count());
    for (int row = 0; row < rows; ++row) {
        if (m_list->item(row)->isSelected()) {
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
    const QStringList paths = UiDialogs::instance().openFileNames(
        nullptr, QStringLiteral("*.apk (*.apk)"), true, UiDialogs::FileKind::Apk);
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
    const Result result = AddApkForDevice(m_app.Op(reporter), m_partition, sourcePath);
    PresentResult(reporter, m_app.State().paths(), QStringLiteral("Add \"%1\"").arg(sourcePath),
                  result);
    return result.succeeded();
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
    for (int row = 0; row < std::min(ApkCount(), m_list->count()); ++row) {
        if (m_list->item(row)->isSelected())
            selected << m_apkPaths.value(row);
    }
    GuiReporter reporter(this);
    const DeleteApksResult deleted = DeleteApks(m_app.Op(reporter), m_partition, selected);
    PresentResult(reporter, m_app.State().paths(), QStringLiteral("Delete"), deleted.result);
    // Also after a failure, so that rows and ApkPaths agree again.
    RefreshApkList();
}

void CApkEditView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!m_list)
        return;
    const int cx = event->size().width();
    const int cy = event->size().height();
    // The list fills the page but for an 80-pixel strip on the right, where
    // the buttons stand at one and two thirds of the height.
    m_list->setGeometry(0, 0, cx - 80, cy);
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
            if (focusOnPage ? watched == focus : watched == this) {
                // Taken here: while the question is open the focus leaves the
                // page, and the key travelling on would ask again.
                OnDeleteApk();
                return true;
            }
        }
        return QWidget::eventFilter(watched, event);
    }

    if (m_list && watched == m_list->viewport()) {
        if (event->type() == QEvent::ToolTip) {
            const auto* help = static_cast<QHelpEvent*>(event);
            const QListWidgetItem* item = m_list->itemAt(help->pos());
            const QString text = item ? ApkToolTip(m_list->row(item)) : QString();
            if (text.isEmpty())
                QToolTip::hideText();
            else
                QToolTip::showText(help->globalPos(), text, m_list->viewport(),
                                   m_list->visualItemRect(item));
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease) {
            // A click on a row enables Delete, a click elsewhere disables it.
            const auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                if (QPushButton* button = deleteButton())
                    button->setEnabled(m_list->itemAt(mouse->position().toPoint()) != nullptr);
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
