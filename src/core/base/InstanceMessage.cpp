#include "core/base/InstanceMessage.h"

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <sys/stat.h>

namespace InstanceMessage {
namespace {

const QByteArray kHeader = "corvane-instance 1\n";
// Digits of the longest length.
constexpr qsizetype kMaxLengthDigits = 4;

} // namespace

QByteArray encode(const QString& package) {
    const QByteArray path = package.toUtf8();
    return kHeader + QByteArray::number(path.size()) + '\n' + path;
}

Parsed parse(const QByteArray& bytes) {
    Parsed parsed;
    const auto invalid = [] { return Parsed{State::Invalid, QString()}; };
    if (bytes.size() > kMaxBytes)
        return invalid();
    const qsizetype headerBytes = std::min(bytes.size(), kHeader.size());
    if (bytes.left(headerBytes) != kHeader.left(headerBytes))
        return invalid();
    if (bytes.size() <= kHeader.size())
        return parsed;

    // The length: digits up to a line feed, no leading zero.
    qsizetype at = kHeader.size();
    qsizetype length = 0;
    qsizetype digits = 0;
    for (; at < bytes.size() && bytes[at] != '\n'; ++at, ++digits) {
        const char c = bytes[at];
        if (c < '0' || c > '9' || digits == kMaxLengthDigits || (digits == 1 && length == 0))
            return invalid();
        length = length * 10 + (c - '0');
    }
    if (at == bytes.size())
        return parsed; // the length goes on
    if (digits == 0 || kHeader.size() + digits + 1 + length > kMaxBytes)
        return invalid();
    const qsizetype start = at + 1;
    const qsizetype have = bytes.size() - start;
    if (have > length)
        return invalid();
    const QByteArray path = bytes.mid(start);
    // What has come so far must already be the start of a path.
    if (path.contains('\0') || (!path.isEmpty() && path[0] != '/'))
        return invalid();
    if (have < length)
        return parsed;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString package = decoder(path);
    if (decoder.hasError())
        return invalid();
    return {State::Complete, package};
}

bool NamesRegularFile(const QString& path) {
    struct stat info;
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

} // namespace InstanceMessage
