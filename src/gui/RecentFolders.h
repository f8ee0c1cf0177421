#pragma once

#include "gui/UiDialogs.h"

#include <QString>

// The folder each kind of file dialog last chose a file in, kept in the
// user's settings so that the next run starts there too.
namespace RecentFolders {

// The remembered folder of the kind, or empty when there is none or it is
// gone (the dialog then starts where Qt puts it).
QString folder(UiDialogs::FileKind kind);

// Where a dialog of the kind starts: the remembered folder, else the user's
// home (never the program's own folder).
QString startFolder(UiDialogs::FileKind kind);

// Remembers the folder holding the chosen file for the kind.
void remember(UiDialogs::FileKind kind, const QString& chosenFile);

} // namespace RecentFolders
