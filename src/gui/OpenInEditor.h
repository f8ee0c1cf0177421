#pragma once

#include <QString>

class QWidget;

// Opens the file in a text editor and returns at once: the desktop's default
// application for plain text first; when there is none or it cannot be
// started, the program the user picks (an application that declares plain
// text, or any program). Nothing waits for the editor; only a chosen program
// that does not start is reported.
void OpenInEditor(const QString& path, QWidget* owner = nullptr);
