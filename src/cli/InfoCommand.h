#pragma once

#include "cli/Command.h"
#include "core/package/PackageInsight.h"

#include <QJsonValue>
#include <QString>

// corvane-cli info: what a package holds, read in place (PackageInsight), as
// text or JSON on standard output. 0 when the package could be read, 1 when
// not (the cause on standard error, and under --json as {"schema": 1,
// "error": CAUSE} on standard output).
class InfoCommand : public Command {
public:
    CliCommand id() const override { return CliCommand::Info; }
    QString name() const override { return QStringLiteral("info"); }
    QString synopsis() const override { return QStringLiteral("info PACKAGE [--json]"); }
    QString description() const override { return QStringLiteral("what the package holds"); }
    QString usage() const override;
    int run(const CliOptions& options, const CommandContext& context) const override;
};

// Shared with diff:

// The bundle's test and platform certificates (Config/testkey.x509.pem,
// Config/platform.x509.pem); one that cannot be read is a warning and stays
// empty (the facts judged against it say no).
PackageInsightKeys LoadBundleKeys(const QString& bundleDirectory);

// A failure of a read-only command: its line on standard error and, under
// --json, the JSON error object on standard output.
void PrintCommandFailure(bool json, const QString& cause);

// The facts with every text read from the package escaped where it is not
// printable (EscapeUnprintable), for the text output: a member name cannot
// forge a report line or send a terminal escape. JSON needs no such care.
PackageFacts FactsForText(PackageFacts facts);

// A digest in lower-case hex; JSON null when empty.
QJsonValue HexOrNull(const QByteArray& digest);

// The JSON version of the output's layout (the "schema" member).
inline constexpr int kCliJsonSchema = 1;
