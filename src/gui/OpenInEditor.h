#pragma once

#include <QString>

class QWidget;

// Opens the file in a text editor and returns at once: the program the user
// chose before (remembered in the user's settings) first, then the desktop's
// default application for plain text; when neither starts, the program the
// user picks (an application that declares plain text, or any program), or,
// when no desktop editor is known at all, $VISUAL or $EDITOR in a terminal
// emulator. Nothing waits for the editor; only a chosen program that does not
// start is reported.
void OpenInEditor(const QString& path, QWidget* owner = nullptr);
