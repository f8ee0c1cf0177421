#include "app/CCorvaneApp.h"
#include "app/CCorvaneDlg.h"
#include "app/UiDialogs.h"
#include "pages/apk/CApkEditView.h"
#include "pages/image/CImageView.h"
#include "pages/settings/CConfigView.h"
#include "workspace/ChangeLogWriter.h"

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
