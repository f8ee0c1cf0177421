#include "gui/OpenInEditor.h"

#include "core/Messages.h"

#include "core/io/DesktopApplications.h"
#include "gui/UiDialogs.h"

#include <QProcess>

namespace {

const QString kPlainText = QStringLiteral("text/plain");

// Starts the program on its own, without a shell; false when it cannot run.
bool StartDetached(const QStringList& commandLine) {
    if (commandLine.isEmpty() || commandLine.first().isEmpty())
        return false;
    return QProcess::startDetached(commandLine.first(), commandLine.mid(1));
}

} // namespace

void OpenInEditor(const QString& path, QWidget* owner) {
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
    ProgramChoice chosen;
    if (!UiDialogs::instance().chooseProgram(owner, path, candidates, &chosen))
        return;
    // The user picked this program: tell them when it does not start.
    if (!StartDetached(QStringList{chosen.command} + chosen.arguments + QStringList{path}))
        ShowMessage(owner, Msg::CannotStartProgram(chosen.command));
}
