#pragma once

#include <QString>
#include <QStringList>

// Exit statuses of corvane-cli.
enum CliExit { kExitSuccess = 0, kExitFailed = 1, kExitUsage = 2, kExitInterrupted = 130 };

// Runs corvane-cli with the arguments after the program name; the bundle is
// the directory holding Config/. The exit status.
int RunCli(const QStringList& arguments, const QString& bundleDirectory);

// Safe in a signal handler: the run ends after the current step, with 130.
void RequestCliInterrupt();
