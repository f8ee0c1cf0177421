#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

// What the workspace's extracted tree and working archive belong to, kept in
// the workspace so that a later start knows whether they form a pair: the
// package they came from and whether its opening completed.
struct WorkspaceRecord {
    enum class Stage { None, Opening, Open };
    Stage stage = Stage::None;
    QString package; // the package the user opened (any name a path may hold)
    // When the open began (UTC); invalid in a record of an earlier version.
    QDateTime opened;
    // There is a file, but it is not a record (damaged, foreign): Stage::None.
    bool damaged = false;

    // Reads the record of the workspace; Stage::None when there is none or
    // it cannot be read.
    static WorkspaceRecord read(const QString& recordPath);
    // The same from the file's bytes.
    static WorkspaceRecord parse(const QByteArray& bytes);
    // Replaces the record (written beside it and renamed into place, flushed
    // unless flush is false: a record that a lost write only takes back to
    // the record before it, which a start handles).
    bool write(const QString& recordPath, QString* error = nullptr, bool flush = true) const;
    static bool remove(const QString& recordPath);
};

// Sets a damaged record of the workspace aside, so that it is never acted on
// and never blocks: renamed beside itself to "<name>.damaged-<time>". Returns
// the new path; empty when it could not be renamed and was removed instead.
QString SetAsideDamagedFile(const QString& path);
