#pragma once

#include "core/base/Result.h"

struct Operation;

// What a start finds in the workspace and does with it.
enum class ResumeOutcome {
    Nothing,   // no tree was kept
    Continued, // the kept tree and working archive are taken up again
    Declined,  // the user chose not to continue: the tree is gone
    Cleared,   // the tree did not belong to a completely opened package: gone
};

// At start: removes the leftovers of interrupted work (temporary files of an
// update, a save, a copy or an add), takes up the change-log lines of a run
// that did not close, and then offers to continue only a tree and working
// archive that belong to one completely opened package (the question "Do you
// want to continue the last operation?"), once an edit of the tree interrupted
// after its archive commit is finished and the tree matches the archive (files
// missing or of another size are restored from it, files it lacks removed;
// the user is told what differed). Anything else is cleared with a message;
// a damaged record of the workspace is set aside with a message and never
// blocks; the user's own packages are never touched. The messages of the
// steps that go on are shown as they happen; the one that ends the start's
// clearing is the result's notice, for the caller to present.
struct ResumeResult {
    Result result;
    ResumeOutcome outcome;
};

ResumeResult ResumeWorkspace(const Operation& op);

// Removes the recognisable temporary files of interrupted work, and the
// folders of APKs being added ("Apktemp", "UzApk").
void RemoveWorkspaceLeftovers(const Operation& op);
