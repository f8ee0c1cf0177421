#include "gui/CConfigView.h"

#include "gui/CCorvaneApp.h"
#include "gui/OpenInEditor.h"
#include "gui/DialogBuilder.h"

#include <QKeyEvent>
#include <QPushButton>

namespace {

// Button id and the file it opens, below the tree's root.
struct ConfigFile {
    int buttonId;
    const char* suffix;
};

constexpr ConfigFile kConfigFiles[] = {
    {1006, "/system/build.prop"},
    {1007, "/system/usr/keylayout/Vendor_0001_Product_0001.kl"},
    {1008, "/system/etc/key.xml"},
};

} // namespace

CConfigView::CConfigView(QWidget* parent) : QWidget(parent) {
    BuildDialog(this, dialogTemplate(IDD_SETTINGS_PAGE));
    RootDirectory = theApp().Paths().extractedTree();

    installEventFilter(this);
    for (const ConfigFile& file : kConfigFiles) {
        QPushButton* button = Control<QPushButton>(this, file.buttonId);
        if (!button)
            continue;
        button->installEventFilter(this);
        const int id = file.buttonId;
        connect(button, &QPushButton::clicked, this, [this, id] { OnOpenConfigFile(id); });
    }
}

void CConfigView::OnOpenConfigFile(int buttonId) {
    for (const ConfigFile& file : kConfigFiles) {
        if (file.buttonId == buttonId) {
            OpenInEditor(RootDirectory + QLatin1String(file.suffix), this);
            return;
        }
    }
}

bool CConfigView::eventFilter(QObject* watched, QEvent* event) {
    // Claiming the shortcut override as well keeps the keys from any shortcut.
    if (IsEnterOrEscapeKeyEvent(event)) {
        event->accept();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
