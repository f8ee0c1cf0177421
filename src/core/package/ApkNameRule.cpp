#include "core/package/ApkNameRule.h"

namespace {

bool isAcceptedCharacter(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') ||
           u == u'+' || u == u'-' || u == u'_' || u == u'.';
}

char16_t foldAsciiCase(char16_t u) {
    return (u >= u'A' && u <= u'Z') ? char16_t(u - u'A' + u'a') : u;
}

} // namespace

bool IsValidApkName(const QString& name) {
    if (name.isEmpty())
        return false;
    for (const QChar c : name) {
        if (!isAcceptedCharacter(c))
            return false;
    }
    return true;
}

bool HasApkExtension(const QString& name) {
    // The last three characters (the whole name when shorter) against "apk";
    // only ASCII letters are folded.
    static const char16_t extension[] = u"apk";
    const QString tail = name.right(3);
    if (tail.size() != 3)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (foldAsciiCase(tail.at(i).unicode()) != extension[i])
            return false;
    }
    return true;
}

QString FileNamePart(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}
