#pragma once

#include "cli/CliOptions.h"
#include "core/base/Reporter.h"
#include "core/base/ToolRunner.h"

#include <QString>
#include <QStringList>

// Lines on standard error, prefixed "corvane-cli: ": a failure's cause
// ("error: ..."), something worth attention that changes no outcome
// ("warning: ..."), and a plain line (a question answered).
void PrintError(const QString& cause);
void PrintWarning(const QString& text);
void PrintLine(const QString& text);

// What goes to standard error besides failures (-q, -v): Quiet drops the
// warnings and the summary, Verbose adds the steps. Normal until set.
void SetCliVerbosity(CliVerbosity verbosity);
// A step of the work ("reading the central directory"), only with -v.
void PrintStep(const QString& text);

// The one line that ends a successful edit (not with -q):
//   corvane-cli: wrote OUTPUT (SIZE bytes): CHANGE, CHANGE, ...
// changes: what the edit did, each in a few words ("added Karaoke.apk to
// system/app"), in order; none gives "no change". output: the path as the
// user gave it; size: the written file's size in bytes.
void PrintSummary(const QStringList& changes, const QString& output, qint64 size);

// Text on standard output, as UTF-8, flushed.
void PrintStandardOutput(const QString& text);

// The core's questions are answered from the command line and echoed with the
// answer:
// - "File ... exist, overwrite?" about the APK being added: yes (the command
//   asked for it); about anything else (its native libraries): the answer
//   of --overwrite-libs;
// - "... is not apk file, continue?" and any other question: no.
// Notices are chosen by their kind, never by their text: a success is the
// normal course and says nothing; a warning is printed as one; a failure's
// cause is printed by the command that failed (the window's text is not
// repeated). What the core shows in the middle of an operation that goes on
// is a warning.
class CliReporter : public Reporter {
public:
    void message(const QString& text) override;
    void warning(const QString& text) override;
    bool askYesNo(const QString& text) override;
    bool ask(Question question, const QString& text) override;
    void notify(const Notice& notice) override;

    void setOverwriteLibraries(bool overwrite) { m_overwriteLibraries = overwrite; }

private:
    bool m_overwriteLibraries = false;
};

// Progress on a terminal: "\r<busy text> NN%" while a tool runs, the line
// cleared when it ends. Installed only when standard error is a terminal.
class TerminalProgress : public ToolRunObserver {
public:
    void toolStarted(const ToolCommand& command, ToolRunner& runner) override;
    void toolTick() override;
    void toolProgress(int percent) override;
    void toolFinished() override;

    static bool standardErrorIsTerminal();

private:
    void draw();

    QString m_text;
    int m_percent = -1;
    int m_drawnWidth = 0;
};
