#include "gui/CCorvaneApp.h"
#include "gui/CCorvaneDlg.h"
#include "gui/UiDialogs.h"
#include "gui/CApkEditView.h"
#include "gui/CImageView.h"
#include "gui/CConfigView.h"
#include "gui/ChangeLogWriter.h"

#include <QTabWidget>

void CCorvaneDlg::OnCancelClicked() {
    if (m_closing)
        return;
    // Whatever Save does, closing goes on.
    if (AskYesNo(this, QStringLiteral("Do you want to save?")))
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
    theApp().DestroyBusyDialog();

    WriteChangeLog();
    QDialog::reject();
}
