#pragma once

#include "core/format/ArchiveEditor.h"
#include "core/format/MemberNames.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class ToolRunner;
class WorkspacePaths;

// Applies the changes to the working archive in one commit, on a thread
// behind the runner's busy display with the percentage written so far.
bool UpdateWorkingArchive(ToolRunner& runner, const QString& archive,
                          const QList<ArchiveChange>& changes, QString* error);

// Keeping the tree in step with the archive. An edit first commits the
// archive, then changes the tree. The members whose tree paths it will change
// are recorded in the workspace ("zipTemp/tree.pending") before the commit and
// cleared when the tree is done, so that an edit interrupted in between (a
// kill, a power loss, a failed copy) is finished later: each recorded path is
// made to match the archive, which decides (the member's bytes are written
// there, or the path is removed when the archive has no such member).
//
// The record names members, never absolute paths: it stays valid when the
// workspace is moved, and a replay touches nothing outside the tree. A record
// is removed only by finishing its work (or by EndTreeSync of the edit that
// wrote it, once its tree is done or its archive commit failed).
struct TreeSyncEntry {
    QString treePath; // a file, or a directory when `directory`
    QString member;   // its canonical member name (for a directory: the member prefix)
    bool directory = false;
};
// Records the entries. An earlier edit's record is finished first; when that
// cannot be done the new edit is refused and the earlier record stays. Also
// refused: an entry whose member is unsafe or whose tree path is not the
// member's path in the tree.
bool BeginTreeSync(const WorkspacePaths& paths, const QList<TreeSyncEntry>& entries,
                   QString* error = nullptr);
// Removes the record the last BeginTreeSync of this process wrote: its tree
// is done, or its archive commit failed and the archive is as before. A record
// this process did not write (an earlier edit's, left unfinished) stays.
bool EndTreeSync(const WorkspacePaths& paths);

// What finishing a record found and did.
struct TreeSyncRecovery {
    enum class Outcome {
        Nothing,  // no record
        Finished, // the recorded paths match the archive; the record is gone
        SetAside, // the record was damaged or unsafe: renamed, nothing acted on
        Failed,   // the record stays (the archive cannot be read, a path cannot be written)
    };
    Outcome outcome = Outcome::Nothing;
    QString cause;      // Failed and SetAside: why
    QString setAsideAs; // SetAside: where the record went (empty when it had to be removed)
};
// At start (and before an edit): finishes an interrupted edit of the tree from
// the archive.
TreeSyncRecovery FinishTreeSyncRecord(const WorkspacePaths& paths);
// The same; true when there was nothing to finish, it was finished or the
// record was set aside.
bool FinishInterruptedTreeSync(const WorkspacePaths& paths, QString* error = nullptr);

// A record as read: its entries (canonical, safe member names) or why it is
// refused. A record is refused whole: one bad line and none is acted on.
struct TreeJournal {
    struct Entry {
        QString member;
        bool directory = false;
    };
    bool valid = false;
    bool unreadable = false; // the file is there but cannot be read
    QString cause;           // invalid or unreadable: why
    QByteArray token;
    QList<Entry> entries;
};
TreeJournal ParseTreeJournal(const QByteArray& bytes);
// Reads the file; an absent file is valid with no entries and no token.
TreeJournal ReadTreeJournal(const QString& journalPath);

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

// How the tree differs from the archive's file members: files missing or of
// another size, and files the archive lacks. The three configuration files
// are edited in the tree and put back on save: their size may differ, and
// they are never counted as extra.
struct TreeDifferences {
    QStringList missing;                      // member names
    QStringList differ;                       // member names
    QStringList extra;                        // tree files (relative to the tree) without a member
    QList<QPair<quint64, QString>> toExtract; // (index, tree path) that make it match
    QList<QByteArray> toRemove;               // native tree paths the archive lacks
    qsizetype count() const { return missing.size() + differ.size() + extra.size(); }
    // The first few differences, worded for the user.
    QStringList described(int limit) const;
};
// Reads the central directory once and stats the tree. Members whose names the
// tree can never hold are left out. False with the cause when the archive
// cannot be read.
bool CompareTreeWithArchive(const QString& tree, const QString& archive, TreeDifferences* out,
                            QString* error = nullptr);
// Makes the tree match the archive: writes what is missing or differs, removes
// what the archive lacks (never a configuration file).
bool RebuildTreeFromArchive(const QString& tree, const QString& archive,
                            const TreeDifferences& differences, QString* error = nullptr);
