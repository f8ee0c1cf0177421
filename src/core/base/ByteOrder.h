#pragma once

#include <QByteArray>

#include <QtGlobal>

// Little-endian integers in byte buffers, as ZIP, deflate, binary XML and
// the signing formats store them. The readers take any alignment.

inline quint16 ReadLe16(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<quint16>(u[0] | (u[1] << 8));
}

inline quint32 ReadLe32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return static_cast<quint32>(u[0]) | (static_cast<quint32>(u[1]) << 8) |
           (static_cast<quint32>(u[2]) << 16) | (static_cast<quint32>(u[3]) << 24);
}

inline quint64 ReadLe64(const char* p) {
    return static_cast<quint64>(ReadLe32(p)) | (static_cast<quint64>(ReadLe32(p + 4)) << 32);
}

inline void AppendLe16(QByteArray* out, quint16 value) {
    out->append(static_cast<char>(value & 0xFF));
    out->append(static_cast<char>(value >> 8));
}

inline void AppendLe32(QByteArray* out, quint32 value) {
    AppendLe16(out, static_cast<quint16>(value & 0xFFFF));
    AppendLe16(out, static_cast<quint16>(value >> 16));
}

inline void AppendLe64(QByteArray* out, quint64 value) {
    AppendLe32(out, static_cast<quint32>(value & 0xFFFFFFFFu));
    AppendLe32(out, static_cast<quint32>(value >> 32));
}
