#pragma once

#include <QString>

#include <functional>

struct CliOptions;

// corvane-cli edit in one pass, without a workspace: the edits are resolved
// against the package's central directory and its build.prop, and the
// signed output is written straight from the package (core OnePassEdit); an
// added APK is signed, and its libraries read out, only as the copy writes
// them (core OnePassAdd).
// --dry-run checks every argument and the package, prints the plan on
// standard output and writes nothing.

// package, output and log are absolute (log empty when none is asked); the
// checks that need no package were made. interrupted is asked as the work
// goes. The exit status.
int RunOnePassEditCommand(const CliOptions& options, const QString& bundleDirectory,
                          const QString& package, const QString& output, const QString& log,
                          const std::function<bool()>& interrupted);
