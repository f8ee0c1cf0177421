// The Delete command of an APK page.
#include "pages/apk/CApkEditView.h"

void CApkEditView::OnDeleteApk() {}

int CApkEditView::DeleteApk(const QString&) {
    return 0;
}

int CApkEditView::RemoveApkDirectory(const QString&) {
    return 0;
}
