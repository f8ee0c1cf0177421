#pragma once

#include "cli/CliOptions.h"

#include <QList>
#include <QString>

#include <functional>

// What a command is given besides its options.
struct CommandContext {
    QString bundleDirectory;                // the directory holding Config/
    std::function<bool()> interrupted = {}; // asked as long work goes
};

// One command of corvane-cli over the shared parser (CliOptions): its word,
// the line the overview gives it, its own usage text and its run.
class Command {
public:
    virtual ~Command() = default;

    virtual CliCommand id() const = 0;
    // The command word ("info").
    virtual QString name() const = 0;
    // The overview's line: the synopsis and what it does.
    virtual QString synopsis() const = 0;
    virtual QString description() const = 0;
    // The usage text of `corvane-cli COMMAND --help`.
    virtual QString usage() const = 0;
    // Runs with the options parsed for it. The exit status.
    virtual int run(const CliOptions& options, const CommandContext& context) const = 0;
};

// Every command, in the order the overview lists them.
QList<const Command*> AllCommands();
// The command of that id; nullptr for None.
const Command* FindCommand(CliCommand id);

// The usage text of a command (None: the overview of all).
QString CliUsage(CliCommand command);
