#include "pages/image/CImageView.h"

#include "app/CCorvaneApp.h"
#include "res/DialogBuilder.h"

#include <QPushButton>

CImageView::CImageView(QWidget* parent) : QWidget(parent) {
    BuildDialog(this, dialogTemplate(IDD_IMAGE_PAGE));
    RootDirectory = theApp().Paths().extractedTree();
}

void CImageView::MarkPageChanged(int buttonId) {
    QPushButton* button = Control<QPushButton>(this, buttonId);
    if (button && !button->text().contains(QLatin1Char('*')))
        button->setText(button->text() + QLatin1Char('*'));
}
