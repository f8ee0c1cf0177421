#pragma once

#include <QString>
#include <QStringList>

class QWidget;

// A program the user may choose to open a file with.
struct ProgramChoice {
    QString name;          // shown to the user
    QString command;       // executable (path or name on the search path)
    QStringList arguments; // arguments before the file path
};

// Every message box, question and file dialog of the program goes through
// this interface. The program installs the Qt implementation; tests install a
// scripted one that records each box and returns queued answers.
class UiDialogs {
public:
    enum class Buttons { Ok, YesNo };
    enum class Icon { None, Exclamation };
    enum class Answer { Ok, Yes, No, Closed };
    // What a file dialog is for: each kind starts in the folder last used
    // for it, remembered across runs.
    enum class FileKind { Package, Apk, Image };

    virtual ~UiDialogs() = default;

    virtual Answer messageBox(QWidget* owner, const QString& text, const QString& caption,
                              Buttons buttons, Icon icon) = 0;

    // Open dialog; an empty list means the user cancelled. With multiple,
    // several files may be chosen.
    virtual QStringList openFileNames(QWidget* owner, const QString& filter, bool multiple,
                                      FileKind kind) = 0;

    // Save dialog proposing proposedName, adding defaultSuffix to a name
    // typed without one and asking before an existing file is chosen. Empty
    // means the user cancelled.
    virtual QString saveFileName(QWidget* owner, const QString& filter, const QString& proposedName,
                                 const QString& defaultSuffix, FileKind kind) = 0;

    // Lets the user pick a program to open a file with: one of the candidates
    // or any program on disk. Answers false when the user cancelled.
    virtual bool chooseProgram(QWidget* owner, const QString& filePath,
                               const QList<ProgramChoice>& candidates, ProgramChoice* chosen) = 0;

    // The implementation in force; the Qt one unless a test installed another.
    static UiDialogs& instance();
    // Installs an implementation (not owned); nullptr restores the Qt one.
    static void setInstance(UiDialogs* dialogs);
};

// The application title: the executable's file name without its extension.
QString ApplicationTitle();

// Caption of every question and of the busy dialog.
inline QString QuestionCaption() {
    return QStringLiteral("Velkor");
}

// A window's message: application title, OK, no icon.
void ShowMessage(QWidget* owner, const QString& text);
// An application message: application title, OK, exclamation icon, no owner.
void ShowAppMessage(const QString& text);
// A question: caption "Velkor", Yes and No, no icon. True only for Yes.
bool AskYesNo(QWidget* owner, const QString& text);
