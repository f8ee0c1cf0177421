#pragma once

#include <QString>

// How one run of an external program ended. Start failure, a stop by the
// user, a crash and the exit code are kept apart, so that each caller can
// decide what counts as success for its tool.
struct ToolRunResult {
    enum class Outcome {
        NotRun,        // no run yet
        FailedToStart, // the program could not be started (missing, not executable)
        Stopped,       // the user stopped it; it was killed
        Crashed,       // it ended by a signal of its own
        Exited,        // it ran to its end; exitCode holds its code
    };

    Outcome outcome = Outcome::NotRun;
    int exitCode = -1;
    QString errorText;

    // Ran to its end by itself (whatever its exit code).
    bool ranToEnd() const { return outcome == Outcome::Exited; }
    // Ran to its end and reported success with exit code 0.
    bool succeeded() const { return outcome == Outcome::Exited && exitCode == 0; }
};
