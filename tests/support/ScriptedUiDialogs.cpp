#include "support/ScriptedUiDialogs.h"

ScriptedUiDialogs::ScriptedUiDialogs() {
    UiDialogs::setInstance(this);
}

ScriptedUiDialogs::~ScriptedUiDialogs() {
    UiDialogs::setInstance(nullptr);
}

QStringList ScriptedUiDialogs::texts() const {
    QStringList out;
    for (const Box& box : boxes)
        out << box.text;
    return out;
}

UiDialogs::Answer ScriptedUiDialogs::messageBox(QWidget* owner, const QString& text,
                                                const QString& caption, Buttons buttons,
                                                Icon icon) {
    Box box{owner, owner != nullptr, text, caption, buttons, icon};
    boxes.append(box);
    if (onBox)
        onBox(box);
    if (buttons == Buttons::Ok)
        return Answer::Ok;
    return answers.isEmpty() ? Answer::No : answers.dequeue();
}

QStringList ScriptedUiDialogs::openFileNames(QWidget*, const QString& filter, bool multiple,
                                             FileKind kind) {
    fileDialogs.append({false, filter, multiple, {}, {}, kind});
    return openResults.isEmpty() ? QStringList() : openResults.dequeue();
}

QString ScriptedUiDialogs::saveFileName(QWidget*, const QString& filter,
                                        const QString& proposedName, const QString& defaultSuffix,
                                        FileKind kind) {
    fileDialogs.append({true, filter, false, proposedName, defaultSuffix, kind});
    return saveResults.isEmpty() ? QString() : saveResults.dequeue();
}

bool ScriptedUiDialogs::chooseProgram(QWidget*, const QString&,
                                      const QList<ProgramChoice>& candidates,
                                      ProgramChoice* chosen) {
    chooserCandidates.append(candidates);
    if (programChoices.isEmpty())
        return false;
    const ProgramChoice choice = programChoices.dequeue();
    if (chosen)
        *chosen = choice;
    return true;
}
