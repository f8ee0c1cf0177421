#pragma once

#include "cli/Command.h"

#include <QString>

// corvane-cli diff: what differs between two packages, read in place
// (PackageInsight, PackageDiff), as text or JSON on standard output. As
// diff(1): 0 when they are the same, 1 when they differ, 2 on an error (the
// cause on standard error, and under --json as {"schema": 1, "error": CAUSE}
// on standard output).
class DiffCommand : public Command {
public:
    CliCommand id() const override { return CliCommand::Diff; }
    QString name() const override { return QStringLiteral("diff"); }
    QString synopsis() const override { return QStringLiteral("diff PACKAGE1 PACKAGE2 [--json]"); }
    QString description() const override {
        return QStringLiteral("what differs between two packages");
    }
    QString usage() const override;
    int run(const CliOptions& options, const CommandContext& context) const override;
};
