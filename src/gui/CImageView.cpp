#include "gui/CImageView.h"

#include "core/base/Diagnostics.h"
#include "core/base/Messages.h"
#include "core/package/PackageLayout.h"
#include "core/workspace/AppState.h"
#include "core/workspace/ReplaceImage.h"
#include "gui/CCorvaneApp.h"
#include "gui/DialogBuilder.h"
#include "gui/GuiReporter.h"
#include "gui/PageKeyFilter.h"
#include "gui/UiDialogs.h"

#include <QDesktopServices>
#include <QPushButton>
#include <QUrl>

namespace {

const QString kImageFilter = QStringLiteral("*.img;*.bin (*.bin *.img);;All Files(*.*) (*)");
const QString kZipFilter = QStringLiteral("*.zip (*.zip);;All Files(*.*) (*)");

// The replace buttons and the image slot each replaces.
struct ReplaceButton {
    int buttonId;
    const char* slot;
};

constexpr ReplaceButton kReplaceButtons[] = {
    {IDC_REPLACE_LOGO, "logo.img"},
    {IDC_REPLACE_FASTPLAY, "fastplay.img"},
    {IDC_REPLACE_BOOTANIMATION, "bootanimation.zip"},
    {IDC_REPLACE_BOOTARGS, "bootargs.img"},
    {IDC_REPLACE_BASEPARAM, "baseparam.img"},
    {IDC_REPLACE_BOOT, "boot.img"},
    {IDC_REPLACE_FASTBOOT, "fastboot.img"},
    {IDC_REPLACE_RECOVERY, "recovery.img"},
    {IDC_REPLACE_PQ_PARAM, "pq_param.img"},
};

const ImageSlot* SlotOfButton(int buttonId) {
    for (const ReplaceButton& button : kReplaceButtons) {
        if (button.buttonId == buttonId)
            return FindImageSlot(QLatin1String(button.slot));
    }
    return nullptr;
}

} // namespace

CImageView::CImageView(CCorvaneApp& app, QWidget* parent) : QWidget(parent), m_app(app) {
    BuildDialog(this, dialogTemplate(IDD_IMAGE_PAGE));

    for (const ReplaceButton& replace : kReplaceButtons) {
        QPushButton* button = Control<QPushButton>(this, replace.buttonId);
        if (!button)
            continue;
        const int id = replace.buttonId;
        connect(button, &QPushButton::clicked, this, [this, id] { ReplaceImageFile(id); });
    }
    for (const int id : {IDC_OPEN_MEDIA_DIRECTORY, IDC_OPEN_ROOT_DIRECTORY}) {
        QPushButton* button = Control<QPushButton>(this, id);
        if (!button)
            continue;
        connect(button, &QPushButton::clicked, this, [this, id] { OpenImageDirectory(id); });
    }
    PageKeyFilter::install(this);
}

void CImageView::ReplaceImageFile(int buttonId) {
    const ImageSlot* slot = SlotOfButton(buttonId);
    if (!slot)
        return;
    // Without an open package there is no archive to keep in step.
    if (!m_app.State().hasPackage()) {
        ShowMessage(this, Msg::NoPackageOpen());
        return;
    }
    const QStringList chosen = UiDialogs::instance().openFileNames(
        nullptr, slot->zipFilter ? kZipFilter : kImageFilter, false, UiDialogs::FileKind::Image);
    if (chosen.isEmpty())
        return;
    GuiReporter reporter(this);
    const Result result = ReplaceImage(m_app.Op(reporter), *slot, chosen.first());
    PresentResult(reporter, m_app.State().paths(),
                  QStringLiteral("Replace %1").arg(QLatin1String(slot->name)), result);
    if (result.succeeded())
        MarkPageChanged(buttonId);
}

QString CImageView::RootDirectory() const {
    return m_app.State().paths().extractedTree();
}

void CImageView::OpenImageDirectory(int buttonId) {
    const QString directory = buttonId == IDC_OPEN_MEDIA_DIRECTORY
                                  ? RootDirectory() + QStringLiteral("/system/media")
                                  : RootDirectory();
    QDesktopServices::openUrl(QUrl::fromLocalFile(directory));
}

void CImageView::MarkPageChanged(int buttonId) {
    QPushButton* button = Control<QPushButton>(this, buttonId);
    if (button && !button->text().contains(QLatin1Char('*')))
        button->setText(button->text() + QLatin1Char('*'));
}

void CImageView::ClearChangeMarks() {
    for (const ReplaceButton& replace : kReplaceButtons) {
        if (QPushButton* button = Control<QPushButton>(this, replace.buttonId))
            button->setText(button->text().remove(QLatin1Char('*')));
    }
}
