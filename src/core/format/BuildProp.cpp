#include "core/format/BuildProp.h"

namespace {

// One line of the text: its content and the line end that follows it.
struct Line {
    QByteArray content;
    QByteArray end;
};

QList<Line> splitLines(const QByteArray& text) {
    QList<Line> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype newline = text.indexOf('\n', start);
        if (newline < 0) {
            lines.append({text.mid(start), {}});
            break;
        }
        const bool crlf = newline > start && text.at(newline - 1) == '\r';
        const qsizetype contentEnd = crlf ? newline - 1 : newline;
        lines.append({text.mid(start, contentEnd - start), crlf ? "\r\n" : "\n"});
        start = newline + 1;
    }
    return lines;
}

// The key a line sets, trimmed; empty for a comment, a blank line or a line
// without '='.
QByteArray keyOf(const QByteArray& content) {
    const QByteArray trimmed = content.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith('#'))
        return {};
    const qsizetype equals = trimmed.indexOf('=');
    return equals <= 0 ? QByteArray() : trimmed.left(equals).trimmed();
}

} // namespace

QByteArray ApplyBuildPropEdits(const QByteArray& text, const QList<BuildPropEdit>& edits) {
    QList<Line> lines = splitLines(text);
    for (const BuildPropEdit& edit : edits) {
        const QByteArray key = edit.key.toUtf8();
        if (!edit.value) {
            lines.removeIf([&key](const Line& line) { return keyOf(line.content) == key; });
            continue;
        }
        const QByteArray value = edit.value->toUtf8();
        bool found = false;
        for (Line& line : lines) {
            if (keyOf(line.content) != key)
                continue;
            found = true;
            // The spacing around '=' stays as it was.
            const qsizetype equals = line.content.indexOf('=');
            qsizetype valueStart = equals + 1;
            while (valueStart < line.content.size() &&
                   (line.content.at(valueStart) == ' ' || line.content.at(valueStart) == '\t'))
                ++valueStart;
            line.content = line.content.left(valueStart) + value;
        }
        if (found)
            continue;
        // A new key goes last, in the line end the text uses.
        QByteArray end = "\n";
        for (const Line& line : lines) {
            if (!line.end.isEmpty()) {
                end = line.end;
                break;
            }
        }
        if (!lines.isEmpty() && lines.last().end.isEmpty())
            lines.last().end = end;
        lines.append({key + '=' + value, end});
    }
    QByteArray out;
    out.reserve(text.size() + 256);
    for (const Line& line : lines)
        out += line.content + line.end;
    return out;
}

std::optional<QString> BuildPropValue(const QByteArray& text, const QString& key) {
    const QByteArray wanted = key.toUtf8();
    std::optional<QString> value;
    for (const Line& line : splitLines(text)) {
        if (keyOf(line.content) != wanted)
            continue;
        const qsizetype equals = line.content.indexOf('=');
        value = QString::fromUtf8(line.content.mid(equals + 1).trimmed());
    }
    return value;
}

bool IsValidBuildPropKey(const QString& key) {
    if (key.isEmpty())
        return false;
    for (const QChar c : key) {
        if (c == QLatin1Char('=') || c == QLatin1Char('#') || c.isSpace())
            return false;
    }
    return true;
}
