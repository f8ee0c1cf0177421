#include "gui/CCorvaneDlg.h"

#include "core/AppState.h"
#include "core/Messages.h"
#include "core/Result.h"
#include "core/WorkspacePaths.h"
#include "core/io/Diagnostics.h"
#include "core/io/FileHelpers.h"
#include "core/package/AndroidVersionProbe.h"
#include "core/package/ChangeLog.h"
#include "core/package/OpenPackage.h"
#include "core/package/SavePackage.h"
#include "gui/CApkEditView.h"
#include "gui/CConfigView.h"
#include "gui/CCorvaneApp.h"
#include "gui/CImageView.h"
#include "gui/DialogBuilder.h"
#include "gui/GuiReporter.h"
#include "gui/Icons.h"
#include "gui/UiDialogs.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

CCorvaneDlg::CCorvaneDlg(CCorvaneApp& app, QWidget* parent) : QDialog(parent), m_app(app) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    BuildDialog(this, dialogTemplate(IDD_MAIN));
    setFixedSize(size());
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
    const QStringList chosen =
        UiDialogs::instance().openFileNames(nullptr, QStringLiteral("*.zip (*.zip)"), false);
    if (chosen.isEmpty())
        return;
    const QString package = chosen.constFirst();

    GuiReporter reporter(this);
    OpenPackageHooks hooks;
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

void CCorvaneDlg::OnSaveClicked() {
    GuiReporter reporter(this);
    const Operation op = m_app.Op(reporter);
    const WorkspacePaths paths = m_app.State().paths();
    const Result putBack = PutBackConfigFiles(op);
    if (!putBack.succeeded()) {
        PresentResult(reporter, paths, QStringLiteral("Save"), putBack);
        return;
    }
    const QString chosen = UiDialogs::instance().saveFileName(
        nullptr, QStringLiteral("*.zip (*.zip)"), QStringLiteral("update"), QStringLiteral("zip"));
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
