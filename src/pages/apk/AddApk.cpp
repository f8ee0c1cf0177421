// The Add command and dropped files of an APK page.
#include "pages/apk/CApkEditView.h"

void CApkEditView::OnAddApk() {}

void CApkEditView::OnDropFiles(const QStringList&) {}

bool CApkEditView::AddApkFile(const QString&) {
    return false;
}

bool CApkEditView::CopyApkIntoPage(const QString&, const QString&, const QString&) {
    return false;
}
