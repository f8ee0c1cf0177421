#pragma once

#include <QString>

class QWidget;

// Opens the file in a text editor and returns at once: the desktop's default
// application for plain text first; when there is none or it cannot be
// started, the program the user picks (an application that declares plain
// text, or any program). Nothing is reported and nothing waits for the editor.
void OpenInEditor(const QString& path, QWidget* owner = nullptr);
