#pragma once

// Earlier versions of corvane-cli unpacked the package into a private
// workspace below TMPDIR; a run that was killed could not remove its own.
// Each such leftover holds a whole unpacked package and nothing else removes
// it (TMPDIR is not always cleared at boot), so edit still removes those
// whose owner is provably gone; this goes once no build in use makes them.
//  - The directory is "corvane-cli-<pid>-XXXXXX" (mkdtemp, mode 0700), <pid>
//    the creating run's.
//  - Its first entry is "owner.lock", made under another name, locked with
//    flock() and only then renamed to its name: an owner.lock is locked from
//    the moment it exists until its run ends, however it ends.
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
void RemoveAbandonedCliWorkspaces();
