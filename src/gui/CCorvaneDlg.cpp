#include "gui/CCorvaneDlg.h"

#include "core/base/Diagnostics.h"
#include "core/base/FileHelpers.h"
#include "core/base/Messages.h"
#include "core/base/Result.h"
#include "core/base/WorkspacePaths.h"
#include "core/format/AndroidVersionProbe.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ChangeLog.h"
#include "core/workspace/OpenPackage.h"
#include "core/workspace/SavePackage.h"
#include "gui/CApkEditView.h"
#include "gui/CConfigView.h"
#include "gui/CCorvaneApp.h"
#include "gui/CImageView.h"
#include "gui/DialogBuilder.h"
#include "gui/GuiReporter.h"
#include "gui/Icons.h"
#include "gui/UiDialogs.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScopeGuard>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <utility>

CCorvaneDlg::CCorvaneDlg(CCorvaneApp& app, QWidget* parent) : QDialog(parent), m_app(app) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    BuildDialog(this, dialogTemplate(IDD_MAIN));
    setFixedSize(size());
    setAcceptDrops(true);
    m_appIcon = ApplicationIcon();
    setWindowIcon(m_appIcon);
    m_tabControl = Control<QTabWidget>(this, IDC_TAB);

    connect(Control<QPushButton>(this, IDC_BROWSE), &QPushButton::clicked, this,
            &CCorvaneDlg::OnBrowseClicked);
    connect(Control<QPushButton>(this, IDC_SAVE), &QPushButton::clicked, this,
            &CCorvaneDlg::OnSaveClicked);
    connect(Control<QPushButton>(this, IDC_CANCEL), &QPushButton::clicked, this,
            &CCorvaneDlg::reject);
}

// The pages belong to the tab control; the cancel command deletes them.
CCorvaneDlg::~CCorvaneDlg() = default;

QLineEdit* CCorvaneDlg::packagePathField() const {
    return Control<QLineEdit>(this, IDC_PACKAGE_PATH);
}

bool CCorvaneDlg::OnInitDialog() {
    if (m_initialised)
        return true;
    m_initialised = true;
    AppState& state = m_app.State();

    m_imagePage = new CImageView(m_app);
    m_systemApkPage = new CApkEditView(m_app, Partition::System);
    m_dataApkPage = new CApkEditView(m_app, Partition::Data);
    m_settingsPage = new CConfigView(m_app);

    m_tabControl->addTab(m_imagePage, QStringLiteral("Image"));
    m_tabControl->addTab(m_systemApkPage, QStringLiteral("System Pre-installed APK"));
    m_tabControl->addTab(m_dataApkPage, QStringLiteral("Data Pre-installed APK"));
    m_tabControl->addTab(m_settingsPage, QStringLiteral("Settings"));
    m_tabControl->setCurrentIndex(0);
    connect(m_tabControl, &QTabWidget::currentChanged, this, &CCorvaneDlg::OnTabSelChange);

    // Failures here (an existing directory included) are reported later by
    // the operations that need the directories.
    FileHelpers::CreateDirectory(state.paths().apkTempDir());
    FileHelpers::CreateDirectory(state.paths().zipTempDir());

    const QString buildProp =
        m_app.State().paths().extractedTree() + QStringLiteral("/system/build.prop");
    if (FileHelpers::PathExists(buildProp)) {
        GuiReporter reporter(this);
        const int version = ProbeAndroidVersion(reporter, buildProp);
        if (version != 0)
            state.setAndroidMajorVersion(version);
    }

    m_app.SetMainWindow(this);
    return true;
}

int CCorvaneDlg::DoModal() {
    OnInitDialog();
    return exec();
}

void CCorvaneDlg::OnTabSelChange(int index) {
    // Tearing the pages down moves the current tab; nothing is listed then.
    if (m_closing)
        return;
    switch (index) {
    case 1:
        m_systemApkPage->deleteButton()->setEnabled(false);
        m_systemApkPage->RefreshApkList();
        break;
    case 2:
        m_dataApkPage->deleteButton()->setEnabled(false);
        m_dataApkPage->RefreshApkList();
        break;
    default:
        break;
    }
}

void CCorvaneDlg::SetMainControlsEnabled(bool enabled) {
    ::SetMainControlsEnabled(this, enabled);
}

void CCorvaneDlg::refreshApkLists() {
    if (m_systemApkPage)
        m_systemApkPage->RefreshApkList();
    if (m_dataApkPage)
        m_dataApkPage->RefreshApkList();
}

void CCorvaneDlg::OnBrowseClicked() {
    const QStringList chosen = UiDialogs::instance().openFileNames(
        nullptr, QStringLiteral("*.zip (*.zip)"), false, UiDialogs::FileKind::Package);
    if (chosen.isEmpty())
        return;
    OpenPackageFile(chosen.constFirst());
}

void CCorvaneDlg::OpenPackageFile(const QString& package) {
    ++m_commandDepth;
    const auto done = qScopeGuard([this] { --m_commandDepth; });
    GuiReporter reporter(this);
    OpenPackageHooks hooks;
    hooks.mayReplace = [this] { return SaveEditsBeforeReplacing(); };
    hooks.accepted = [&] {
        packagePathField()->setText(package);
        if (m_imagePage)
            m_imagePage->ClearChangeMarks();
        SetMainControlsEnabled(false);
    };
    hooks.treeChanged = [&] {
        SetMainControlsEnabled(true);
        refreshApkLists();
    };
    const OpenResult opened = OpenPackage(m_app.Op(reporter), package, hooks);
    PresentResult(reporter, m_app.State().paths(), QStringLiteral("Open \"%1\"").arg(package),
                  opened.result);
}

bool CCorvaneDlg::SaveEditsBeforeReplacing() {
    if (!HoldsUnsavedEdits(m_app.State()))
        return true;
    switch (UiDialogs::instance().messageBox(this, Msg::AskSave(), QuestionCaption(),
                                             UiDialogs::Buttons::YesNo, UiDialogs::Icon::None)) {
    case UiDialogs::Answer::Yes:
        // Only a save that wrote the edits lets them go.
        OnSaveClicked();
        return !HoldsUnsavedEdits(m_app.State());
    case UiDialogs::Answer::No:
        return true;
    default:
        return false;
    }
}

bool CCorvaneDlg::IsIdle() const {
    // The window runs modally: any other modal widget is a question or a
    // file dialog in progress.
    const QWidget* modal = QApplication::activeModalWidget();
    return m_initialised && !m_closing && m_commandDepth == 0 && isVisible() &&
           !m_app.IsToolRunning() && (modal == nullptr || modal == this);
}

void CCorvaneDlg::OpenPackageWhenIdle(const QString& package) {
    m_pendingPackage = package;
    if (!m_pendingTimer) {
        // Runs and questions end in their own event loops; the window looks
        // again now and then rather than hooking into each of them.
        m_pendingTimer = new QTimer(this);
        m_pendingTimer->setInterval(200);
        connect(m_pendingTimer, &QTimer::timeout, this, &CCorvaneDlg::openPendingPackage);
    }
    // Never from inside the caller's event (a drop, a socket's signal).
    QTimer::singleShot(0, this, &CCorvaneDlg::openPendingPackage);
}

void CCorvaneDlg::openPendingPackage() {
    if (m_pendingPackage.isEmpty() || m_closing) {
        m_pendingTimer->stop();
        return;
    }
    if (!IsIdle()) {
        m_pendingTimer->start();
        return;
    }
    m_pendingTimer->stop();
    const QString package = std::exchange(m_pendingPackage, QString());
    OpenPackageFile(package);
}

namespace {

// The single local .zip file a drag carries, or empty.
QString DroppedPackage(const QMimeData* data) {
    if (!data || !data->hasUrls() || data->urls().size() != 1)
        return QString();
    const QUrl url = data->urls().constFirst();
    if (!url.isLocalFile())
        return QString();
    const QString path = url.toLocalFile();
    const QFileInfo info(path);
    if (!info.isFile() || info.suffix().compare(QLatin1String("zip"), Qt::CaseInsensitive) != 0)
        return QString();
    return path;
}

} // namespace

void CCorvaneDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (IsIdle() && !DroppedPackage(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CCorvaneDlg::dragMoveEvent(QDragMoveEvent* event) {
    if (IsIdle() && !DroppedPackage(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CCorvaneDlg::dropEvent(QDropEvent* event) {
    const QString package = DroppedPackage(event->mimeData());
    if (package.isEmpty() || !IsIdle()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    OpenPackageWhenIdle(package);
}

void CCorvaneDlg::OnSaveClicked() {
    ++m_commandDepth;
    const auto done = qScopeGuard([this] { --m_commandDepth; });
    GuiReporter reporter(this);
    const Operation op = m_app.Op(reporter);
    const WorkspacePaths paths = m_app.State().paths();
    const Result putBack = PutBackConfigFiles(op);
    if (!putBack.succeeded()) {
        PresentResult(reporter, paths, QStringLiteral("Save"), putBack);
        return;
    }
    const QString chosen = UiDialogs::instance().saveFileName(
        nullptr, QStringLiteral("*.zip (*.zip)"), QStringLiteral("update"), QStringLiteral("zip"),
        UiDialogs::FileKind::Package);
    if (chosen.isEmpty())
        return;
    const Result saved = SignPackageTo(op, chosen);
    if (saved.succeeded())
        SetMainControlsEnabled(true);
    PresentResult(reporter, paths, QStringLiteral("Save \"%1\"").arg(chosen), saved);
}

void CCorvaneDlg::OnCancelClicked() {
    if (m_closing)
        return;
    // Whatever Save does, closing goes on.
    if (AskYesNo(this, Msg::AskSave()))
        OnSaveClicked();
    m_closing = true;
    m_tabControl->disconnect(this);

    delete m_systemApkPage;
    m_systemApkPage = nullptr;
    delete m_dataApkPage;
    m_dataApkPage = nullptr;
    delete m_imagePage;
    m_imagePage = nullptr;
    delete m_settingsPage;
    m_settingsPage = nullptr;
    m_app.DestroyBusyDialog();

    GuiReporter reporter(nullptr);
    PresentResult(reporter, m_app.State().paths(), QStringLiteral("Write log.txt"),
                  WriteChangeLog(m_app.Op(reporter)));
    QDialog::reject();
}

void CCorvaneDlg::reject() {
    // The busy dialog must not be torn down under a waiting run.
    if (m_app.IsToolRunning() || m_closing)
        return;
    OnCancelClicked();
}

void CCorvaneDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}
