// The message a later start hands the running window, read over any bytes:
// no crash, bounded, and a complete message is exactly what encode() makes of
// its package, which is empty or absolute.

#include "core/base/InstanceMessage.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QString>

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const InstanceMessage::Parsed parsed = InstanceMessage::parse(bytes);
    switch (parsed.state) {
    case InstanceMessage::State::Complete:
        require(bytes.size() <= InstanceMessage::kMaxBytes);
        require(parsed.package.isEmpty() || parsed.package.startsWith(QLatin1Char('/')));
        require(!parsed.package.contains(QChar(0)));
        require(InstanceMessage::encode(parsed.package) == bytes);
        break;
    case InstanceMessage::State::Incomplete:
        require(bytes.size() < InstanceMessage::kMaxBytes);
        require(parsed.package.isEmpty());
        break;
    case InstanceMessage::State::Invalid:
        require(parsed.package.isEmpty());
        // Nothing appended makes it a message.
        require(InstanceMessage::parse(bytes + QByteArray("\n/x")).state ==
                InstanceMessage::State::Invalid);
        break;
    }
    // Every path survives the round trip.
    const QString path = QLatin1Char('/') + QString::fromUtf8(bytes.left(256)).remove(QChar(0));
    const InstanceMessage::Parsed again = InstanceMessage::parse(InstanceMessage::encode(path));
    require(again.state == InstanceMessage::State::Complete && again.package == path);
    return 0;
}
