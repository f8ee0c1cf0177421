#include "gui/UiDialogs.h"

#include "gui/QtUiDialogs.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
UiDialogs* installed = nullptr;
}

UiDialogs& UiDialogs::instance() {
    static QtUiDialogs qtDialogs;
    return installed ? *installed : qtDialogs;
}

void UiDialogs::setInstance(UiDialogs* dialogs) {
    installed = dialogs;
}

QString ApplicationTitle() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void ShowMessage(QWidget* owner, const QString& text) {
    UiDialogs::instance().messageBox(owner, text, ApplicationTitle(), UiDialogs::Buttons::Ok,
                                     UiDialogs::Icon::None);
}

void ShowAppMessage(const QString& text) {
    UiDialogs::instance().messageBox(nullptr, text, ApplicationTitle(), UiDialogs::Buttons::Ok,
                                     UiDialogs::Icon::Exclamation);
}

bool AskYesNo(QWidget* owner, const QString& text) {
    return UiDialogs::instance().messageBox(owner, text, QuestionCaption(),
                                            UiDialogs::Buttons::YesNo,
                                            UiDialogs::Icon::None) == UiDialogs::Answer::Yes;
}
