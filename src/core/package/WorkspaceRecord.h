#pragma once

#include <QString>

// What the workspace's extracted tree and working archive belong to, kept in
// the workspace so that a later start knows whether they form a pair: the
// package they came from and whether its opening completed.
struct WorkspaceRecord {
    enum class Stage { None, Opening, Open };
    Stage stage = Stage::None;
    QString package; // the package the user opened

    // Reads the record of the workspace; Stage::None when there is none or
    // it cannot be read.
    static WorkspaceRecord read(const QString& recordPath);
    // Replaces the record (written beside it and renamed into place, flushed).
    bool write(const QString& recordPath, QString* error = nullptr) const;
    static bool remove(const QString& recordPath);
};
