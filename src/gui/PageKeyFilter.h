#pragma once

#include <QObject>

class QWidget;

// Swallows Enter, Return and Escape pressed anywhere on a page (the shortcut
// override included), so that neither closes the window the page sits in
// nor presses a button.
class PageKeyFilter : public QObject {
    Q_OBJECT
public:
    // Installs a filter owned by the page on the page and all its children.
    static void install(QWidget* page);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
};
