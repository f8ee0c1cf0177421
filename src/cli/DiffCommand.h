#pragma once

#include "cli/CliOptions.h"

#include <QString>

// corvane-cli diff: what differs between two packages, read in place
// (PackageInsight, PackageDiff), as text or JSON on standard output. As
// diff(1): 0 when they are the same, 1 when they differ, 2 on an error (the
// cause on standard error, and under --json as {"schema": 1, "error": CAUSE}
// on standard output).
int RunDiffCommand(const CliOptions& options, const QString& bundleDirectory);
