#include "gui/ProgressDialog.h"

#include "gui/DialogBuilder.h"

#include <QLabel>
#include <QProcess>

ProgressDialog::ProgressDialog(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);
    const DialogTemplate& t = dialogTemplate(IDD_BUSY);
    BuildDialog(this, t);
    setFixedSize(size());
    m_text = Control<QLabel>(this, IDC_BUSY_TEXT);
    m_text->setTextFormat(Qt::PlainText);
}

void ProgressDialog::setBusyText(const QString& text) {
    m_text->setText(text);
}

QString ProgressDialog::busyText() const {
    return m_text->text();
}

void ProgressDialog::reject() {
    if (ToolProcess)
        ToolProcess->kill();
    NotStopped = 0;
    QDialog::reject();
}
