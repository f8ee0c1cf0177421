#pragma once

#include "core/Result.h"

#include <QString>

// The private workspace of one run: a directory below TMPDIR holding the link
// Config -> <bundle>/Config, used as the run's AppDirectory so that a running
// window's workspace is never touched. Removed, links first, when the object
// goes.
//
// A run that is killed cannot remove its workspace; the next run does, once
// the owner is provably gone:
//  - The directory is "corvane-cli-<pid>-XXXXXX" (mkdtemp, mode 0700), <pid>
//    the creating run's.
//  - Its first entry is "owner.lock", made under another name, locked with
//    flock() and only then renamed to its name: an owner.lock is locked from
//    the moment it exists until its run ends, however it ends (the kernel
//    drops the lock of a dead process; the tools the run started cannot keep
//    it, they do not inherit it, and they die with the run).
//  - A workspace whose owner.lock can be locked is abandoned. The run that
//    removes it holds that lock meanwhile and removes owner.lock last, so a
//    third run sees a locked workspace, never a half-removed one; what cannot
//    be removed keeps its lock file for the next run to try again.
//  - A workspace without owner.lock was left by a run killed in its first
//    instant (mkdtemp done, lock not yet named). It is abandoned when its
//    creator no longer exists and a minute has passed, or after an hour
//    whatever its name says (the pid reused, or a name without a pid).
//  - Only real directories of this user are judged; links and others' files
//    are never touched.
class PrivateWorkspace {
public:
    PrivateWorkspace() = default;
    ~PrivateWorkspace();
    PrivateWorkspace(const PrivateWorkspace&) = delete;
    PrivateWorkspace& operator=(const PrivateWorkspace&) = delete;

    // Removes the workspaces of runs that are gone, then makes this run's
    // directory, its lock and its links to the bundle's tools. Fails with the
    // cause when the bundle lacks them or the directory cannot be made.
    Result create(const QString& bundleDirectory);
    // Removes the workspaces of runs that are gone (what create does first),
    // for a run that needs no workspace of its own.
    static void removeAbandoned();
    // Removes the workspace now; true when it is gone.
    bool remove();
    QString path() const { return m_path; }

private:
    QString m_path;
    int m_lock = -1; // the descriptor holding owner.lock's lock
};
