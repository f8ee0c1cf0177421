#pragma once

#include "gui/DialogTemplates.h"

#include <QFont>
#include <QRect>

class QEvent;
class QWidget;

// Converts dialog units to pixels with the metrics of a dialog's font:
// horizontal unit = average character width / 4, vertical unit = character
// height / 8.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(int x, int y, int width, int height) const;
    QSize dialogSize(const DialogTemplate& dialog) const;

private:
    int m_baseX;
    int m_baseY;
};

// The platform's default UI font at the template's point size.
QFont DialogFont(int pointSize);

// Every control carries its resource id in the "controlId" property (and an
// object name "IDC_<id>"), so that code and tests find it by id. A lookup
// finds the dialog's own controls only, never those of a page inside it.
void SetControlId(QWidget* control, int id);
int ControlId(const QWidget* control);
QWidget* FindControl(const QWidget* parent, int id);
template <class T> T* Control(const QWidget* parent, int id) {
    return qobject_cast<T*>(FindControl(parent, id));
}

// Enables or disables the main window's Browse, tab control, Save and
// Cancel, in that order (those the window has).
void SetMainControlsEnabled(QWidget* window, bool enabled);

// A key press (or its shortcut override) of Enter, Return or Escape. Pages
// swallow these, so that neither closes the window they sit in nor presses a
// button.
bool IsEnterOrEscapeKeyEvent(const QEvent* event);

// Sets the dialog's font and fixed size and creates its controls in template
// (tab) order, each at its template position.
void BuildDialog(QWidget* dialog, const DialogTemplate& dialogTemplate);
