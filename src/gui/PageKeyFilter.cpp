#include "gui/PageKeyFilter.h"

#include "gui/DialogBuilder.h"

#include <QEvent>
#include <QWidget>

void PageKeyFilter::install(QWidget* page) {
    auto* filter = new PageKeyFilter(page);
    page->installEventFilter(filter);
    for (QWidget* child : page->findChildren<QWidget*>())
        child->installEventFilter(filter);
}

bool PageKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (IsEnterOrEscapeKeyEvent(event)) {
        event->accept();
        return true;
    }
    return QObject::eventFilter(watched, event);
}
