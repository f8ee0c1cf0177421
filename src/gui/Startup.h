#pragma once

#include <QString>
#include <QStringList>

class CCorvaneApp;

// Start-up: single-instance check (keyed to the workspace), AppDirectory,
// busy dialog, the workspace's recovery and resume prompt, then the main
// window, modally. A package given opens as Browse would open it, once the
// window is up; a later start hands its package to the running instance.
// Returns the process's exit code.
int RunCorvane(const QString& package = QString());

// The package a command line names: its one argument that is no option
// ("--" ends the options), or empty.
QString PackageArgument(const QStringList& arguments);

// The resume step of start-up on the app's workspace (see ResumeWorkspace).
void OfferToResume(CCorvaneApp& app);
