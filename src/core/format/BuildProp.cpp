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

QList<QPair<QString, QString>> ParseBuildPropLines(const QByteArray& text) {
    QList<QPair<QString, QString>> lines;
    for (const QByteArray& raw : text.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (key.isEmpty())
            continue;
        lines.append({key, line.mid(equals + 1).trimmed()});
    }
    return lines;
}

namespace {

// The device's rule for a key met again: a read-only one keeps its first value.
bool keepsFirstValue(const QString& key) {
    return key.startsWith(QLatin1String("ro."));
}

} // namespace

QMap<QString, QString> ParseBuildProp(const QByteArray& text) {
    QMap<QString, QString> properties;
    for (const auto& [key, value] : ParseBuildPropLines(text)) {
        if (keepsFirstValue(key) && properties.contains(key))
            continue;
        properties.insert(key, value);
    }
    return properties;
}

std::optional<QString> BuildPropValue(const QByteArray& text, const QString& key) {
    std::optional<QString> value;
    for (const auto& [lineKey, lineValue] : ParseBuildPropLines(text)) {
        if (lineKey != key)
            continue;
        value = lineValue;
        if (keepsFirstValue(key))
            break;
    }
    return value;
}

QStringList ParseAbiList(const QString& list) {
    QStringList abis;
    for (const QString& item : list.split(QLatin1Char(','))) {
        const QString abi = item.trimmed();
        if (!abi.isEmpty() && !abis.contains(abi))
            abis << abi;
    }
    return abis;
}

QStringList DeviceAbisOfBuildProp(const QMap<QString, QString>& properties) {
    const QStringList listed =
        ParseAbiList(properties.value(QStringLiteral("ro.product.cpu.abilist")));
    if (!listed.isEmpty())
        return listed;
    QStringList abis;
    for (const char* key : {"ro.product.cpu.abi", "ro.product.cpu.abi2"}) {
        const QString abi = properties.value(QLatin1String(key)).trimmed();
        if (!abi.isEmpty() && !abis.contains(abi))
            abis << abi;
    }
    return abis;
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
