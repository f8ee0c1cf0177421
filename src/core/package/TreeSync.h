#pragma once

#include "core/zip/ArchiveEditor.h"
#include "core/zip/MemberNames.h"

#include <QList>
#include <QPair>
#include <QString>

class ToolRunner;
class WorkspacePaths;

// Applies the changes to the working archive in one commit, on a thread
// behind the runner's busy display with the percentage written so far.
bool UpdateWorkingArchive(ToolRunner& runner, const QString& archive,
                          const QList<ArchiveChange>& changes, QString* error);

// Keeping the tree in step with the archive. An edit first commits the
// archive, then changes the tree. The tree paths it will change are recorded
// in the workspace before the commit and cleared when the tree is done, so
// that an edit interrupted in between (a kill, a power loss) is finished at
// the next start: each recorded path is made to match the archive, which
// decides (the member's bytes are written there, or the path is removed when
// the archive has no such member).
struct TreeSyncEntry {
    QString treePath; // a file, or a directory when `directory`
    QString member;   // its member name (for a directory: the member prefix)
    bool directory = false;
};
// BeginTreeSync first finishes an earlier edit left unfinished (a copy into
// the tree that failed); when that cannot be done, the new edit is refused.
bool BeginTreeSync(const WorkspacePaths& paths, const QList<TreeSyncEntry>& entries,
                   QString* error = nullptr);
bool EndTreeSync(const WorkspacePaths& paths);
// At start: finishes an interrupted edit of the tree from the archive. True
// when there was nothing to finish or it was finished.
bool FinishInterruptedTreeSync(const WorkspacePaths& paths, QString* error = nullptr);
// Writes the member's bytes to the path (through a temporary file beside it).
bool ExtractMemberTo(const QString& archive, const QString& member, const QString& path,
                     QString* error = nullptr);
// The same for the member at that index of the central directory (the order
// of ReadArchiveMembers).
bool ExtractMemberAt(const QString& archive, quint64 index, const QString& path,
                     QString* error = nullptr);
// Several members (index, path) with one opening of the archive.
bool ExtractMembers(const QString& archive, const QList<QPair<quint64, QString>>& members,
                    QString* error = nullptr);
