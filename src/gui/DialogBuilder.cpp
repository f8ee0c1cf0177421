#include "gui/DialogBuilder.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

namespace {

int mulDiv(int value, int numerator, int denominator) {
    // Rounded like the platform's dialog-unit conversion.
    const long long product = static_cast<long long>(value) * numerator;
    return static_cast<int>((product + (product >= 0 ? denominator / 2 : -denominator / 2)) /
                            denominator);
}

} // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (width / 26 + 1) / 2;
    m_baseY = metrics.height();
}

int DialogUnits::toPixelsX(int units) const {
    return mulDiv(units, m_baseX, 4);
}

int DialogUnits::toPixelsY(int units) const {
    return mulDiv(units, m_baseY, 8);
}

QRect DialogUnits::toPixels(int x, int y, int width, int height) const {
    return QRect(toPixelsX(x), toPixelsY(y), toPixelsX(width), toPixelsY(height));
}

QSize DialogUnits::dialogSize(const DialogTemplate& dialog) const {
    return QSize(toPixelsX(dialog.width), toPixelsY(dialog.height));
}

QFont DialogFont(int pointSize) {
    QFont font = QApplication::font();
    font.setPointSize(pointSize);
    return font;
}

void SetControlId(QWidget* control, int id) {
    control->setProperty("controlId", id);
    control->setObjectName(QStringLiteral("IDC_%1").arg(id));
}

int ControlId(const QWidget* control) {
    const QVariant id = control->property("controlId");
    return id.isValid() ? id.toInt() : -1;
}

QWidget* FindControl(const QWidget* parent, int id) {
    if (!parent)
        return nullptr;
    // Only the dialog's own controls: a page inside it has controls of the
    // same ids (the image and settings pages share 1006 to 1008).
    return parent->findChild<QWidget*>(QStringLiteral("IDC_%1").arg(id),
                                       Qt::FindDirectChildrenOnly);
}

void BuildDialog(QWidget* dialog, const DialogTemplate& dialogTemplate) {
    const QFont font = DialogFont(dialogTemplate.pointSize);
    dialog->setFont(font);
    const DialogUnits units(font);
    if (!dialogTemplate.caption.isEmpty())
        dialog->setWindowTitle(dialogTemplate.caption);
    dialog->resize(units.dialogSize(dialogTemplate));

    QWidget* previousTabStop = nullptr;
    for (const ControlTemplate& c : dialogTemplate.controls) {
        QWidget* widget = nullptr;
        switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefaultPushButton: {
            auto* button = new QPushButton(c.text, dialog);
            button->setDefault(c.kind == ControlKind::DefaultPushButton);
            widget = button;
            break;
        }
        case ControlKind::Static:
        case ControlKind::CentredStatic: {
            auto* label = new QLabel(c.text, dialog);
            label->setAlignment(
                (c.kind == ControlKind::CentredStatic ? Qt::AlignHCenter : Qt::AlignLeft) |
                Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::GroupBox:
            widget = new QGroupBox(c.text, dialog);
            break;
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(c.text, dialog);
            edit->setReadOnly(true);
            widget = edit;
            break;
        }
        case ControlKind::TabControl:
            widget = new QTabWidget(dialog);
            break;
        case ControlKind::ListView:
            widget = new QListWidget(dialog);
            break;
        }
        if (c.id >= 0)
            SetControlId(widget, c.id);
        widget->setGeometry(units.toPixels(c.x, c.y, c.width, c.height));
        widget->setFocusPolicy(c.tabStop ? Qt::StrongFocus : Qt::NoFocus);
        widget->setEnabled(!c.disabled);
        widget->setVisible(c.visible);
        if (c.tabStop) {
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
    }
}

void SetMainControlsEnabled(QWidget* window, bool enabled) {
    if (!window)
        return;
    for (const int id : {IDC_BROWSE, IDC_TAB, IDC_SAVE, IDC_CANCEL}) {
        if (QWidget* control = FindControl(window, id))
            control->setEnabled(enabled);
    }
}

bool IsEnterOrEscapeKeyEvent(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter;
}
