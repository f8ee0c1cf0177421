#pragma once

#include "gui/UiDialogs.h"

#include <QList>
#include <QPointer>
#include <QQueue>
#include <QWidget>

#include <functional>

// Answers the program's dialogs from queues and records every box shown.
// Installed for its lifetime.
class ScriptedUiDialogs : public UiDialogs {
public:
    struct Box {
        QPointer<QWidget> owner;
        bool hadOwner = false;
        QString text;
        QString caption;
        Buttons buttons;
        Icon icon;
    };
    struct FileDialog {
        bool save = false;
        QString filter;
        bool multiple = false;
        QString proposedName;
        QString defaultSuffix;
        FileKind kind = FileKind::Package;
    };

    ScriptedUiDialogs();
    ~ScriptedUiDialogs() override;

    // Answers of Yes/No questions, in order; a question with none queued is
    // answered No.
    QQueue<Answer> answers;
    // Results of open dialogs (each a list; empty = cancelled) and of save
    // dialogs (empty = cancelled); none queued = cancelled.
    QQueue<QStringList> openResults;
    QQueue<QString> saveResults;
    // Result of the program chooser; none queued = cancelled.
    QQueue<ProgramChoice> programChoices;
    // Run when a box is shown (before it is answered), e.g. to look at state.
    std::function<void(const Box&)> onBox;

    QList<Box> boxes;
    QList<FileDialog> fileDialogs;
    QList<QList<ProgramChoice>> chooserCandidates;

    QStringList texts() const;

    Answer messageBox(QWidget* owner, const QString& text, const QString& caption, Buttons buttons,
                      Icon icon) override;
    QStringList openFileNames(QWidget* owner, const QString& filter, bool multiple,
                              FileKind kind) override;
    QString saveFileName(QWidget* owner, const QString& filter, const QString& proposedName,
                         const QString& defaultSuffix, FileKind kind) override;
    bool chooseProgram(QWidget* owner, const QString& filePath,
                       const QList<ProgramChoice>& candidates, ProgramChoice* chosen) override;
};
