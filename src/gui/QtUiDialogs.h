#pragma once

#include "gui/UiDialogs.h"

// The program's dialogs, shown with Qt's message boxes and file dialogs. A
// file dialog starts in the folder last used for its kind (RecentFolders).
class QtUiDialogs : public UiDialogs {
public:
    Answer messageBox(QWidget* owner, const QString& text, const QString& caption, Buttons buttons,
                      Icon icon) override;
    QStringList openFileNames(QWidget* owner, const QString& filter, bool multiple,
                              FileKind kind) override;
    QString saveFileName(QWidget* owner, const QString& filter, const QString& proposedName,
                         const QString& defaultSuffix, FileKind kind) override;
    bool chooseProgram(QWidget* owner, const QString& filePath,
                       const QList<ProgramChoice>& candidates, ProgramChoice* chosen) override;
};
