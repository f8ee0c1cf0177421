#include "gui/CCorvaneDlg.h"

#include "core/package/AndroidVersionProbe.h"
#include "core/package/ChangeLog.h"
#include "core/io/FileHelpers.h"
#include "core/Messages.h"
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
    AppIcon = ApplicationIcon();
    setWindowIcon(AppIcon);
    TabControl = Control<QTabWidget>(this, IDC_TAB);
    ExtractedTreeRoot = app.State().paths().extractedTree();

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

    ImagePage = new CImageView(m_app);
    SystemApkPage = new CApkEditView(m_app, Partition::System);
    DataApkPage = new CApkEditView(m_app, Partition::Data);
    SettingsPage = new CConfigView(m_app);

    TabControl->addTab(ImagePage, QStringLiteral("Image"));
    TabControl->addTab(SystemApkPage, QStringLiteral("System Pre-installed APK"));
    TabControl->addTab(DataApkPage, QStringLiteral("Data Pre-installed APK"));
    TabControl->addTab(SettingsPage, QStringLiteral("Settings"));
    TabControl->setCurrentIndex(0);
    connect(TabControl, &QTabWidget::currentChanged, this, &CCorvaneDlg::OnTabSelChange);

    // Failures here (an existing directory included) are reported later by
    // the operations that need the directories.
    FileHelpers::CreateDirectory(state.paths().apkTempDir());
    FileHelpers::CreateDirectory(state.paths().zipTempDir());

    const QString buildProp = ExtractedTreeRoot + QStringLiteral("/system/build.prop");
    if (FileHelpers::PathExists(buildProp)) {
        GuiReporter reporter(this);
        const int version = ProbeAndroidVersion(reporter, buildProp);
        if (version != 0)
            state.setAndroidMajorVersion(version);
    }

    m_app.MainWindow = this;
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
        SystemApkPage->deleteButton()->setEnabled(false);
        SystemApkPage->RefreshApkList();
        break;
    case 2:
        DataApkPage->deleteButton()->setEnabled(false);
        DataApkPage->RefreshApkList();
        break;
    default:
        break;
    }
}

void CCorvaneDlg::SetMainControlsEnabled(bool enabled) {
    ::SetMainControlsEnabled(this, enabled);
}

void CCorvaneDlg::refreshApkLists() {
    if (SystemApkPage)
        SystemApkPage->RefreshApkList();
    if (DataApkPage)
        DataApkPage->RefreshApkList();
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
        if (ImagePage)
            ImagePage->ClearChangeMarks();
        SetMainControlsEnabled(false);
    };
    hooks.treeChanged = [&] {
        SetMainControlsEnabled(true);
        refreshApkLists();
    };
    OpenPackage(m_app.Op(reporter), package, hooks);
}

void CCorvaneDlg::OnSaveClicked() {
    GuiReporter reporter(this);
    const Operation op = m_app.Op(reporter);
    if (!PutBackConfigFiles(op))
        return;
    const QString chosen = UiDialogs::instance().saveFileName(
        nullptr, QStringLiteral("*.zip (*.zip)"), QStringLiteral("update"), QStringLiteral("zip"));
    if (chosen.isEmpty())
        return;
    if (!SignPackageTo(op, chosen))
        return;
    SetMainControlsEnabled(true);
    reporter.message(Msg::SaveSucceeded());
}

void CCorvaneDlg::OnCancelClicked() {
    if (m_closing)
        return;
    // Whatever Save does, closing goes on.
    if (AskYesNo(this, Msg::AskSave()))
        OnSaveClicked();
    m_closing = true;
    TabControl->disconnect(this);

    delete SystemApkPage;
    SystemApkPage = nullptr;
    delete DataApkPage;
    DataApkPage = nullptr;
    delete ImagePage;
    ImagePage = nullptr;
    delete SettingsPage;
    SettingsPage = nullptr;
    m_app.DestroyBusyDialog();

    GuiReporter reporter(nullptr);
    WriteChangeLog(m_app.Op(reporter));
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
