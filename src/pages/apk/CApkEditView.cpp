#include "pages/apk/CApkEditView.h"

#include "res/DialogBuilder.h"

#include <QListWidget>
#include <QMenu>
#include <QPushButton>

CApkEditView::CApkEditView(QWidget* parent) : QWidget(parent) {
    BuildDialog(this, dialogTemplate(IDD_APK_PAGE));
    ApkList = Control<QListWidget>(this, IDC_APK_LIST);
}

CApkEditView::~CApkEditView() = default;

QPushButton* CApkEditView::addButton() const {
    return Control<QPushButton>(this, IDC_APK_ADD);
}

QPushButton* CApkEditView::deleteButton() const {
    return Control<QPushButton>(this, IDC_APK_DELETE);
}

int CApkEditView::RefreshApkList() {
    return 1;
}

int CApkEditView::UpdateDeleteButton() {
    return 0;
}

QMenu* CApkEditView::BuildContextMenu(QWidget* parent) {
    return new QMenu(parent);
}

void CApkEditView::RunContextCommand(int) {}

void CApkEditView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
}

bool CApkEditView::eventFilter(QObject* watched, QEvent* event) {
    return QWidget::eventFilter(watched, event);
}

void CApkEditView::dragEnterEvent(QDragEnterEvent*) {}

void CApkEditView::dropEvent(QDropEvent*) {}
