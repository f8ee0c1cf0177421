#include "cli/CliReporter.h"

#include "core/base/PrintableText.h"

#include <cstdio>
#include <unistd.h>

namespace {

void writeStandardError(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

// The core's texts end in blanks or hold line breaks for message boxes.
// Blanks and line breaks become single spaces; any other character that is
// not printable (a name from a package may hold an escape) is escaped.
QString oneLine(const QString& text) {
    return EscapeUnprintable(text.simplified());
}

} // namespace

namespace {
CliVerbosity g_verbosity = CliVerbosity::Normal;
} // namespace

void SetCliVerbosity(CliVerbosity verbosity) {
    g_verbosity = verbosity;
}

void PrintStep(const QString& text) {
    if (g_verbosity == CliVerbosity::Verbose)
        PrintLine(text);
}

void PrintSummary(const QStringList& changes, const QString& output, qint64 size) {
    if (g_verbosity == CliVerbosity::Quiet)
        return;
    PrintLine(QStringLiteral("wrote %1 (%2 bytes): %3")
                  .arg(output)
                  .arg(size)
                  .arg(changes.isEmpty() ? QStringLiteral("no change")
                                         : changes.join(QStringLiteral(", "))));
}

void PrintStandardOutput(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

void PrintLine(const QString& text) {
    writeStandardError(QStringLiteral("corvane-cli: %1\n").arg(oneLine(text)).toUtf8());
}

void PrintError(const QString& cause) {
    PrintLine(QStringLiteral("error: ") + cause);
}

void PrintWarning(const QString& text) {
    if (g_verbosity == CliVerbosity::Quiet)
        return;
    PrintLine(QStringLiteral("warning: ") + text);
}

// What the core shows while an operation goes on (the version probe's
// complaint during an open) fails nothing: a warning here.
void CliReporter::message(const QString& text) {
    PrintWarning(text);
}

void CliReporter::warning(const QString& text) {
    PrintWarning(text);
}

void CliReporter::notify(const Notice& notice) {
    if (notice.kind == Notice::Kind::Warning)
        PrintWarning(notice.text);
}

bool CliReporter::askYesNo(const QString& text) {
    return ask(Question::Other, text);
}

bool CliReporter::ask(Question question, const QString& text) {
    // The APK being added replaces one of its name (the command asked for
    // it); its libraries replace others as --overwrite-libs says; anything
    // else is declined.
    const bool answer = question == Question::OverwriteApk ||
                        (question == Question::OverwriteLibrary && m_overwriteLibraries);
    PrintLine(
        QStringLiteral("%1 %2").arg(text, answer ? QStringLiteral("yes") : QStringLiteral("no")));
    return answer;
}

bool TerminalProgress::standardErrorIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void TerminalProgress::toolStarted(const ToolCommand& command, ToolRunner&) {
    m_text = command.busyText.isEmpty() ? QStringLiteral("Working") : command.busyText;
    m_percent = -1;
    draw();
}

void TerminalProgress::toolTick() {}

void TerminalProgress::toolProgress(int percent) {
    if (percent == m_percent)
        return;
    m_percent = percent;
    draw();
}

void TerminalProgress::toolFinished() {
    // Blanks over what was drawn, and back to the start of the line.
    writeStandardError("\r" + QByteArray(m_drawnWidth, ' ') + "\r");
    m_drawnWidth = 0;
    m_text.clear();
}

void TerminalProgress::draw() {
    QString line = QStringLiteral("\r") + m_text;
    if (m_percent >= 0)
        line += QStringLiteral(" %1%").arg(m_percent, 2);
    const QByteArray bytes = line.toUtf8();
    // A shorter line leaves no tail of a longer one behind.
    const int width = static_cast<int>(line.size()) - 1;
    QByteArray padding;
    if (width < m_drawnWidth)
        padding = QByteArray(m_drawnWidth - width, ' ');
    m_drawnWidth = qMax(m_drawnWidth, width);
    writeStandardError(bytes + padding);
}
