#include "cli/CliReporter.h"

#include "core/Messages.h"

#include <cstdio>
#include <unistd.h>

namespace {

void writeStandardError(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

// The core's texts end in blanks or hold line breaks for message boxes.
QString oneLine(const QString& text) {
    return text.simplified();
}

// The name an overwrite question is about; a null string for any other text.
QString overwriteSubject(const QString& question) {
    const QString probe = Msg::OverwriteQuestion(QStringLiteral("\x01"));
    const qsizetype at = probe.indexOf(QChar(1));
    const QString prefix = probe.left(at);
    const QString suffix = probe.mid(at + 1);
    if (question.size() <= prefix.size() + suffix.size() || !question.startsWith(prefix) ||
        !question.endsWith(suffix))
        return {};
    return question.mid(prefix.size(), question.size() - prefix.size() - suffix.size());
}

} // namespace

void PrintError(const QString& text) {
    writeStandardError(QStringLiteral("corvane-cli: %1\n").arg(text).toUtf8());
}

void CliReporter::message(const QString& text) {
    // The success of an open is the normal course, not news on stderr.
    if (text == Msg::UnzipSucceeded())
        return;
    PrintError(oneLine(text));
}

void CliReporter::warning(const QString& text) {
    PrintError(oneLine(text));
}

bool CliReporter::askYesNo(const QString& text) {
    bool answer = false;
    const QString subject = overwriteSubject(text);
    if (!subject.isNull() && !m_apk.isEmpty()) {
        // The APK itself, flat or in a directory of its own, was asked for.
        const bool apk = subject == m_apk || subject.endsWith(QLatin1Char('/') + m_apk);
        answer = apk || m_overwriteLibraries;
    }
    PrintError(QStringLiteral("%1 %2").arg(oneLine(text),
                                           answer ? QStringLiteral("yes") : QStringLiteral("no")));
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
