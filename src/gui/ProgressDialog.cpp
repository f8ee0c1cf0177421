#include "gui/ProgressDialog.h"

#include "core/base/ToolRunner.h"
#include "gui/DialogBuilder.h"

#include <QLabel>

ProgressDialog::ProgressDialog(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(false);
    const DialogTemplate& t = dialogTemplate(IDD_BUSY);
    BuildDialog(this, t);
    setFixedSize(size());
    m_text = Control<QLabel>(this, IDC_BUSY_TEXT);
    m_text->setTextFormat(Qt::PlainText);
    // The percentage sits in the lower part of the window, below the text.
    m_progress = new QLabel(this);
    m_progress->setTextFormat(Qt::PlainText);
    m_progress->setAlignment(Qt::AlignCenter);
    const QRect text = m_text->geometry();
    m_progress->setGeometry(0, std::min(text.bottom() + 2, height() - 20), width(), 18);
    m_progress->hide();
}

void ProgressDialog::setBusyText(const QString& text) {
    m_text->setText(text);
}

QString ProgressDialog::busyText() const {
    return m_text->text();
}

void ProgressDialog::setProgress(int percent) {
    if (percent < 0) {
        m_progress->clear();
        m_progress->hide();
        return;
    }
    m_progress->setText(QStringLiteral("%1%").arg(percent));
    m_progress->show();
}

QString ProgressDialog::progressText() const {
    return m_progress->isVisible() ? m_progress->text() : QString();
}

void ProgressDialog::reject() {
    if (m_runner)
        m_runner->requestStop();
    QDialog::reject();
}
