#include "core/format/MemberNames.h"

#include <QStringList>

#include <cerrno>
#include <iconv.h>

namespace {

bool isAscii(const QByteArray& raw) {
    for (const char c : raw) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

// Code page 936 to UTF-8 with glibc's iconv. A byte that starts no valid
// character becomes U+FFFD and decoding goes on with the next byte.
QString decodeCp936(const QByteArray& raw) {
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return QString::fromLatin1(raw);
    QByteArray out;
    char* in = const_cast<char*>(raw.constData());
    size_t inLeft = static_cast<size_t>(raw.size());
    char buffer[512];
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<qsizetype>(outPtr - buffer));
        if (result != static_cast<size_t>(-1) || errno == E2BIG)
            continue;
        // EILSEQ or EINVAL (a character cut short at the end).
        out.append("\xEF\xBF\xBD");
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return QString::fromUtf8(out);
}

} // namespace

QString DecodeMemberName(const QByteArray& raw, bool utf8Flag) {
    const QString decoded = utf8Flag || isAscii(raw) ? QString::fromUtf8(raw) : decodeCp936(raw);
    return CanonicalMemberName(decoded);
}

QString ListedMemberName(const QByteArray& raw, bool utf8Flag) {
    const QString decoded = utf8Flag || isAscii(raw) ? QString::fromUtf8(raw) : decodeCp936(raw);
    QStringList segments;
    for (const QString& segment : decoded.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment != QLatin1String("."))
            segments << segment;
    }
    return segments.join(QLatin1Char('/'));
}

QString CanonicalMemberName(const QString& name) {
    QString copy = name;
    copy.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QStringList segments;
    for (const QString& segment : copy.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (segment != QLatin1String("."))
            segments << segment;
    }
    return segments.join(QLatin1Char('/'));
}

bool IsSafeMemberName(const QString& canonical) {
    if (canonical.isEmpty())
        return false;
    const QStringList segments = canonical.split(QLatin1Char('/'));
    return !segments.contains(QLatin1String(".."));
}

QString MemberPathInTree(const QString& tree, const QString& canonicalMember) {
    if (tree.isEmpty() || !IsSafeMemberName(canonicalMember) ||
        canonicalMember.contains(QChar(0)) ||
        CanonicalMemberName(canonicalMember) != canonicalMember)
        return QString();
    QString base = tree;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (base == QLatin1String("/"))
        return base + canonicalMember;
    return base + QLatin1Char('/') + canonicalMember;
}
