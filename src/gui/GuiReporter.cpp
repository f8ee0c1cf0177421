#include "gui/GuiReporter.h"

#include "gui/UiDialogs.h"

void GuiReporter::message(const QString& text) {
    ShowMessage(m_owner, text);
}

void GuiReporter::warning(const QString& text) {
    ShowAppMessage(text);
}

bool GuiReporter::askYesNo(const QString& text) {
    return AskYesNo(m_owner, text);
}
