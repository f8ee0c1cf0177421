#pragma once

#include <QGuiApplication>

// Runs an update of the working archive under the wait cursor: the archive
// is rewritten in-process and the window does not respond meanwhile.
template <class Update> auto WithWaitCursor(Update update) {
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const auto result = update();
    QGuiApplication::restoreOverrideCursor();
    return result;
}
