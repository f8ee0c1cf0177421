#include "pages/settings/CConfigView.h"

#include "app/CCorvaneApp.h"
#include "res/DialogBuilder.h"

CConfigView::CConfigView(QWidget* parent) : QWidget(parent) {
    BuildDialog(this, dialogTemplate(IDD_SETTINGS_PAGE));
    RootDirectory = theApp().Paths().extractedTree();
}
