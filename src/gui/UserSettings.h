#pragma once

#include <memory>

class QSettings;

// The user's settings of the window (remembered folders, the chosen editor):
// one file in the user's configuration directory, shared by every workspace.
std::unique_ptr<QSettings> OpenUserSettings();
