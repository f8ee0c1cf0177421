#include "gui/CConfigView.h"

#include "core/base/Diagnostics.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/ApkOperations.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "gui/GuiReporter.h"
#include "gui/OpenInEditor.h"
#include "gui/PageKeyFilter.h"

#include <QPushButton>

namespace {

// The buttons, in the order of the configuration files they open.
constexpr int kOpenButtons[] = {IDC_OPEN_BUILD_PROP, IDC_OPEN_KEY_LAYOUT, IDC_OPEN_KEY_MAP};
static_assert(std::size(kOpenButtons) == std::size(kConfigFiles));

} // namespace

QString CConfigView::RootDirectory() const {
    return m_app.State().paths().extractedTree();
}

CConfigView::CConfigView(CCorvaneApp& app, QWidget* parent) : QWidget(parent), m_app(app) {
    BuildDialog(this, dialogTemplate(IDD_SETTINGS_PAGE));
    for (const int id : kOpenButtons) {
        if (QPushButton* button = Control<QPushButton>(this, id))
            connect(button, &QPushButton::clicked, this, [this, id] { OnOpenConfigFile(id); });
    }
    PageKeyFilter::install(this);
}

void CConfigView::OnOpenConfigFile(int buttonId) {
    for (size_t i = 0; i < std::size(kOpenButtons); ++i) {
        if (kOpenButtons[i] == buttonId) {
            // The configuration files are system files: out of reach when
            // the system partition is an image.
            const Result editable = CheckSystemPartitionEditable(m_app.State());
            if (!editable.succeeded()) {
                GuiReporter reporter(this);
                PresentResult(
                    reporter, m_app.State().paths(),
                    QStringLiteral("Open \"%1\"").arg(QLatin1String(kConfigFiles[i].treeSuffix)),
                    editable);
                return;
            }
            OpenInEditor(RootDirectory() + QLatin1String(kConfigFiles[i].treeSuffix), this);
            return;
        }
    }
}
