#pragma once

#include "core/base/Reporter.h"

#include <QPointer>
#include <QWidget>

// The core's messages and questions as message boxes: a window's message and
// the questions are owned by the window given, application messages by none.
class GuiReporter : public Reporter {
public:
    explicit GuiReporter(QWidget* owner) : m_owner(owner) {}

    void message(const QString& text) override;
    void warning(const QString& text) override;
    bool askYesNo(const QString& text) override;

private:
    QPointer<QWidget> m_owner;
};
