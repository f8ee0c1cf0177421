#include "cli/Command.h"

#include "cli/DiffCommand.h"
#include "cli/EditCommand.h"
#include "cli/InfoCommand.h"

QList<const Command*> AllCommands() {
    static const InfoCommand info;
    static const EditCommand edit;
    static const DiffCommand diff;
    return {&info, &edit, &diff};
}

const Command* FindCommand(CliCommand id) {
    for (const Command* command : AllCommands()) {
        if (command->id() == id)
            return command;
    }
    return nullptr;
}

QString CliUsage(CliCommand command) {
    if (const Command* found = FindCommand(command))
        return found->usage();
    QString commands;
    for (const Command* each : AllCommands()) {
        QString line = QStringLiteral("  ") + each->synopsis();
        if (line.size() > 31)
            line += QLatin1Char('\n') + QString(32, QLatin1Char(' '));
        else
            line = line.leftJustified(32);
        commands += line + each->description() + QLatin1Char('\n');
    }
    return QStringLiteral(
               "Usage: corvane-cli COMMAND [ARGUMENT]...\n"
               "\n"
               "Reads and edits firmware update packages without a window, with the tools\n"
               "and keys of the bundle beside it.\n"
               "\n"
               "Commands:\n"
               "%1"
               "\n"
               "\"corvane-cli COMMAND --help\" shows the options of a command;\n"
               "\"corvane-cli --version\" the version.\n"
               "-q (--quiet) drops the warnings and the summary, -v (--verbose) shows the\n"
               "steps; both are taken by every command, before it or after it.\n"
               "An argument @FILE stands for the lines of FILE, one argument a line (an\n"
               "option and its value on separate lines; blank lines and lines beginning\n"
               "with '#' are skipped; UTF-8).\n"
               "edit reads the package in place and writes OUTPUT in one pass, through a\n"
               "temporary file beside it: it needs room there for one more package, and\n"
               "nothing is unpacked.\n"
               "\n"
               "Keys: the test key and platform key shipped with Corvane are the development\n"
               "keys of this project, the same in every build and public. A device trusts\n"
               "only the keys its firmware was built with: put the maker's pairs in the keys\n"
               "folder (Config/ beside the program; installed: ~/.config/corvane/keys/ or\n"
               "/etc/corvane/) as platform.x509.pem + platform.pk8 and testkey.x509.pem +\n"
               "testkey.pk8. \"info PACKAGE\" tells whether the package's otacerts.zip trusts\n"
               "the test key (its \"OTA certificates\" line), \"info --verify\" whether the\n"
               "package's signature verifies with it.\n"
               "\n"
               "Exit status: 0 success, 1 an operation failed, 2 a usage error, 130 stopped\n"
               "by a signal; diff: 0 the same, 1 different, 2 an error.\n")
        .arg(commands);
}
