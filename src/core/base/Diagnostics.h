#pragma once

#include "core/base/Result.h"

#include <QString>

class Reporter;
class WorkspacePaths;

// Shows the result's notice through the reporter (nothing for none) and, for a
// failure, appends its cause to the workspace's diagnostics log, so that a
// user can send it.
void PresentResult(Reporter& reporter, const WorkspacePaths& paths, const QString& command,
                   const Result& result);

// Appends a dated line to the diagnostics log of the workspace (kept short:
// the oldest half goes when it grows past a few hundred kilobytes).
void AppendDiagnostic(const WorkspacePaths& paths, const QString& line);
