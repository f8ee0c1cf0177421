#pragma once

#include "cli/Command.h"

// corvane-cli edit in one pass, without a workspace: the options become a
// list of edits, the core plans them against the package (EditPlan) and
// writes the signed output straight from the package (OnePassEdit); an added
// APK is signed, and its libraries read out, only as the copy writes them.
// --dry-run prints the same plan on standard output and writes nothing.
class EditCommand : public Command {
public:
    CliCommand id() const override { return CliCommand::Edit; }
    QString name() const override { return QStringLiteral("edit"); }
    QString synopsis() const override { return QStringLiteral("edit PACKAGE -o OUTPUT ..."); }
    QString description() const override {
        return QStringLiteral("edit the package and save it signed");
    }
    QString usage() const override;
    int run(const CliOptions& options, const CommandContext& context) const override;
};
