// The native libraries of an APK added to the system page.
#include "pages/apk/CApkEditView.h"

bool CApkEditView::CopyNativeLibraries(const QString&, const QString&) {
    return true;
}
