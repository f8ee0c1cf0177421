#include "gui/CCorvaneDlg.h"

#include "gui/CCorvaneApp.h"
#include "gui/ProbeAndroidVersion.h"
#include "gui/CApkEditView.h"
#include "gui/CImageView.h"
#include "gui/CConfigView.h"
#include "gui/DialogBuilder.h"
#include "gui/Icons.h"
#include "core/FileHelpers.h"

#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

CCorvaneDlg::CCorvaneDlg(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    BuildDialog(this, dialogTemplate(IDD_MAIN));
    setFixedSize(size());
    AppIcon = ApplicationIcon();
    setWindowIcon(AppIcon);
    TabControl = Control<QTabWidget>(this, IDC_TAB);
    ExtractedTreeRoot = theApp().Paths().extractedTree();

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
    CCorvaneApp& app = theApp();

    ImagePage = new CImageView();
    SystemApkPage = new CApkEditView();
    SystemApkPage->IsSystemPage = 1;
    DataApkPage = new CApkEditView();
    SettingsPage = new CConfigView();

    TabControl->addTab(ImagePage, QStringLiteral("Image"));
    TabControl->addTab(SystemApkPage, QStringLiteral("System Pre-installed APK"));
    TabControl->addTab(DataApkPage, QStringLiteral("Data Pre-installed APK"));
    TabControl->addTab(SettingsPage, QStringLiteral("Settings"));
    TabControl->setCurrentIndex(0);
    connect(TabControl, &QTabWidget::currentChanged, this, &CCorvaneDlg::OnTabSelChange);

    // Failures here (an existing directory included) are reported later by
    // the operations that need the directories.
    CreateDirectory(app.Paths().apkTempDir());
    CreateDirectory(app.Paths().zipTempDir());

    SystemApkPage->RootDirectory = ExtractedTreeRoot + QStringLiteral("/system");
    SystemApkPage->IsSystemPage = 1;
    DataApkPage->RootDirectory = ExtractedTreeRoot + QStringLiteral("/userdata");

    const QString buildProp = ExtractedTreeRoot + QStringLiteral("/system/build.prop");
    if (PathExists(buildProp)) {
        const int version = ProbeAndroidVersion(this, buildProp);
        if (version != 0)
            app.AndroidMajorVersion = version;
    }

    app.MainWindow = this;
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
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL}) {
        if (QWidget* control = FindControl(this, id))
            control->setEnabled(enabled);
    }
}

void CCorvaneDlg::reject() {
    // The busy dialog must not be torn down under a waiting run.
    if (theApp().IsToolRunning() || m_closing)
        return;
    OnCancelClicked();
}

void CCorvaneDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}

void ClearImageChangeMarks(CImageView* imagePage) {
    if (!imagePage)
        return;
    for (const int id : {1006, 1007, 1008, 1010, 1011, 1012, 1013, 1014, 1015}) {
        if (QPushButton* button = Control<QPushButton>(imagePage, id))
            button->setText(button->text().remove(QLatin1Char('*')));
    }
}
