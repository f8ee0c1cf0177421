#include "gui/OpenInEditor.h"

#include "core/base/Messages.h"

#include "core/base/DesktopApplications.h"
#include "gui/UiDialogs.h"
#include "gui/UserSettings.h"

#include <QProcess>
#include <QSettings>

namespace {

const QString kPlainText = QStringLiteral("text/plain");
const QString kChosenCommand = QStringLiteral("editor/command");
const QString kChosenArguments = QStringLiteral("editor/arguments");
const QString kChosenName = QStringLiteral("editor/name");

// Starts the program on its own, without a shell; false when it cannot run.
bool StartDetached(const QStringList& commandLine) {
    if (commandLine.isEmpty() || commandLine.first().isEmpty())
        return false;
    return QProcess::startDetached(commandLine.first(), commandLine.mid(1));
}

bool RememberedProgram(ProgramChoice* program) {
    const auto settings = OpenUserSettings();
    program->command = settings->value(kChosenCommand).toString();
    program->arguments = settings->value(kChosenArguments).toStringList();
    program->name = settings->value(kChosenName).toString();
    return !program->command.isEmpty();
}

void RememberProgram(const ProgramChoice& program) {
    const auto settings = OpenUserSettings();
    settings->setValue(kChosenCommand, program.command);
    settings->setValue(kChosenArguments, program.arguments);
    settings->setValue(kChosenName, program.name);
}

void ForgetProgram() {
    const auto settings = OpenUserSettings();
    settings->remove(kChosenCommand);
    settings->remove(kChosenArguments);
    settings->remove(kChosenName);
}

} // namespace

void OpenInEditor(const QString& path, QWidget* owner) {
    // The program the user chose before comes first; one that no longer
    // starts (uninstalled) is forgotten and the search goes on.
    ProgramChoice remembered;
    if (RememberedProgram(&remembered)) {
        if (StartDetached(QStringList{remembered.command} + remembered.arguments +
                          QStringList{path}))
            return;
        ForgetProgram();
    }

    const XdgSearchPaths paths = XdgSearchPaths::fromEnvironment();
    DesktopApplication editor;
    QStringList commandLine;
    if (FindDefaultApplication(paths, kPlainText, &editor) &&
        CommandLineForFile(editor, path, &commandLine) && StartDetached(commandLine))
        return;

    QList<ProgramChoice> candidates;
    for (const DesktopApplication& application : ApplicationsForMimeType(paths, kPlainText)) {
        QStringList program;
        if (!CommandLineForFile(application, QString(), &program))
            continue;
        candidates << ProgramChoice{application.name, program.first(), program.mid(1)};
    }
    // No desktop editor is known: the user's own editor in a terminal.
    if (candidates.isEmpty() && TerminalEditorCommandLine(path, &commandLine) &&
        StartDetached(commandLine))
        return;

    ProgramChoice chosen;
    if (!UiDialogs::instance().chooseProgram(owner, path, candidates, &chosen))
        return;
    // The user picked this program: tell them when it does not start, and
    // open the next file with it when it does.
    if (!StartDetached(QStringList{chosen.command} + chosen.arguments + QStringList{path})) {
        ShowMessage(owner, Msg::CannotStartProgram(chosen.command));
        return;
    }
    RememberProgram(chosen);
}
