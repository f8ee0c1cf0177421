#pragma once

#include "core/base/Result.h"

#include <QString>

#include <functional>

struct Operation;

// Opening a package: checks that it is a non-empty readable ZIP with room for
// it in the workspace (before anything is deleted), clears the old tree,
// unpacks the package into the tree on every core while it is copied to the
// working archive (under a temporary name, renamed into place), probes the
// Android version and records in the workspace that tree and archive belong
// to this package. Tree, archive and that last record are not flushed: they
// can be made again from the package, and a start checks them first. Answers with the open's
// result: its notice (the success message, or the failure's with the cause below it where the
// reader gave one) is for the caller to present, after the hooks have run.
struct OpenPackageHooks {
    // The package passed the checks and would replace the open one: false
    // keeps the open package (the open is declined, nothing changed).
    std::function<bool()> mayReplace;
    // The package passed the checks; the old tree is about to go.
    std::function<void()> accepted;
    // The tree changed (on success and on a failure after the old tree went,
    // before the result is presented): the lists are re-read.
    std::function<void()> treeChanged;
};

enum class OpenOutcome {
    Refused, // the package was not taken (nothing changed)
    Failed,  // the old tree is gone and no package is open
    Opened,
};

struct OpenResult {
    Result result;
    OpenOutcome outcome;
};

OpenResult OpenPackage(const Operation& op, const QString& package,
                       const OpenPackageHooks& hooks = {});
