#include "core/base/PrintableText.h"

namespace {

// Calls visit(code, start, length) for each code point; a lone surrogate is
// a code point of its own.
template <typename Visit> void forEachCodePoint(const QString& text, Visit visit) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t code = text.at(i).unicode();
        qsizetype length = 1;
        if (QChar::isHighSurrogate(code) && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            length = 2;
        }
        if (!visit(code, i, length))
            return;
        i += length - 1;
    }
}

} // namespace

bool IsPrintableCodePoint(char32_t code) {
    const QChar::Category category = QChar::category(code);
    return QChar::isPrint(code) && category != QChar::Separator_Line &&
           category != QChar::Separator_Paragraph;
}

QString FirstUnprintable(const QString& text) {
    QString found;
    forEachCodePoint(text, [&](char32_t code, qsizetype, qsizetype) {
        if (IsPrintableCodePoint(code))
            return true;
        found = QStringLiteral("U+%1").arg(uint(code), 4, 16, QLatin1Char('0')).toUpper();
        return false;
    });
    return found;
}

QString EscapeUnprintable(const QString& text) {
    if (FirstUnprintable(text).isEmpty())
        return text;
    QString escaped;
    escaped.reserve(text.size() + 8);
    forEachCodePoint(text, [&](char32_t code, qsizetype start, qsizetype length) {
        if (IsPrintableCodePoint(code))
            escaped += text.mid(start, length);
        else if (code < 0x100)
            escaped += QStringLiteral("\\x%1").arg(uint(code), 2, 16, QLatin1Char('0'));
        else if (code < 0x10000)
            escaped += QStringLiteral("\\u%1").arg(uint(code), 4, 16, QLatin1Char('0'));
        else
            escaped += QStringLiteral("\\U%1").arg(uint(code), 8, 16, QLatin1Char('0'));
        return true;
    });
    return escaped;
}
